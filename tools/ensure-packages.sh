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

# The build tools and GoogleTest, then a Release build in build/.
build_filter() {
    ensure_packages cmake:cmake ninja:ninja-build g++:g++ nm:binutils
    [ -f /usr/include/gtest/gtest.h ] || install_packages libgtest-dev
    [ -f build/build.ninja ] || cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release
    cmake --build build
}
