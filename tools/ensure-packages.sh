# Sourced by the set-up scripts: installs the Debian packages that are missing.

install_packages() {
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    echo "Installing $* with apt-get" >&2
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "$@" >/dev/null
}

# ensure_packages COMMAND:PACKAGE ...: installs the package of each command not on PATH.
ensure_packages() {
    local missing=() pair
    for pair in "$@"; do
        command -v "${pair%%:*}" >/dev/null 2>&1 || missing+=("${pair#*:}")
    done
    [ ${#missing[@]} -eq 0 ] || install_packages "${missing[@]}"
}

# What a build needs: the compilers, PAPPL (with CUPS's and Avahi's headers) and libpng and
# libjpeg for the printer application and, for the tests it builds, GoogleTest.
ensure_build_tools() {
    ensure_packages cmake:cmake ninja:ninja-build g++:g++ nm:binutils pkg-config:pkg-config
    local missing=()
    [ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
    [ -f /usr/include/png.h ] || missing+=(libpng-dev)
    [ -f /usr/include/jpeglib.h ] || missing+=(libjpeg-dev)
    [ -f /usr/include/avahi-client/lookup.h ] || missing+=(libavahi-client-dev)
    # and what PAPPL 1.4.11's own build needs beside
    [ -f /usr/include/gnutls/gnutls.h ] || missing+=(libgnutls28-dev)
    [ -f /usr/include/libusb-1.0/libusb.h ] || missing+=(libusb-1.0-0-dev)
    [ -f /usr/include/security/pam_appl.h ] || missing+=(libpam0g-dev)
    [ -f /usr/include/pappl/pappl.h ] || missing+=(libpappl-dev)
    [ ${#missing[@]} -eq 0 ] || install_packages "${missing[@]}"
}

# What the tests need besides: Ghostscript, pngcheck, valgrind, clang with its sanitizer and
# fuzzer runtimes, mandoc and lintian; CUPS (with cups-driverd, which lists and builds PPDs
# from driver programs) and its PDF filters, python3 and iproute2 for the spooler tests
# (which fetch BSD lpd and LPRng themselves), Chromium (a real browser) and curl for the
# printer application's web pages; a system bus, Avahi and nss-mdns for DNS-SD, with
# cups-filters' driverless as a client;
# groff, enscript, pdftops and cjpeg to make real jobs.
ensure_test_tools() {
    ensure_build_tools
    ensure_packages clang++:clang gs:ghostscript pngcheck:pngcheck valgrind:valgrind \
        mandoc:mandoc lintian:lintian cupsd:cups-daemon lp:cups-client ipptool:cups-ipp-utils \
        python3:python3 ip:iproute2 chromium:chromium curl:curl groff:groff-base enscript:enscript pdftops:poppler-utils \
        cjpeg:libjpeg-turbo-progs dbus-daemon:dbus avahi-daemon:avahi-daemon avahi-browse:avahi-utils \
        driverless:cups-filters ss:iproute2
    local missing=()
    ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 ||
        missing+=(libclang-rt-14-dev)
    [ -x /usr/lib/cups/daemon/cups-driverd ] || missing+=(cups)
    [ -x /usr/lib/cups/filter/pdftops ] || missing+=(cups-filters)
    [ -x /usr/lib/cups/filter/pstops ] || missing+=(cups-core-drivers)
    ls /lib/*/libnss_mdns4_minimal.so.2 >/dev/null 2>&1 || missing+=(libnss-mdns)
    [ ${#missing[@]} -eq 0 ] || install_packages "${missing[@]}"
}

# Configures (once) and builds one of the CMake presets: release, sanitize, coverage, and
# pappl-1.4 (on PAPPL 1.4.11, which it builds first).
build_preset() {
    local preset=$1 dir=build
    [ "$preset" = release ] || dir=build-$preset
    [ "$preset" != pappl-1.4 ] || tools/build-pappl.sh "$dir/pappl"
    [ -f "$dir/build.ninja" ] || cmake --preset "$preset"
    cmake --build "$dir"
}
