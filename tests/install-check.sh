#!/usr/bin/env bash
# Installs the release build into a staging directory and checks the installed tree, the
# manual page, the CUPS wrapper on both ways CUPS hands over a job, and the Debian package.
# Under CI (as root) the package is also installed with dpkg, tried, and removed.
# Usage: tests/install-check.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
stage=$build/install-check
rm -rf "$stage" && mkdir -p "$stage/tmp"
DESTDIR=$stage/root cmake --install "$build" --prefix /usr >/dev/null

failures=0
check() {
    local what=$1
    shift
    if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}

expected='usr/bin/ravo-printer-app
usr/lib/cups/driver/ravofilter
usr/lib/cups/filter/ravofilter-cups
usr/lib/systemd/system/ravo-printer-app.service
usr/libexec/ravofilter/ravo-rasterize
usr/libexec/ravofilter/ravofilter
usr/sbin/ravofilter-check
usr/share/doc/ravofilter/README.md
usr/share/doc/ravofilter/changelog.gz
usr/share/doc/ravofilter/copyright
usr/share/doc/ravofilter/examples/printcap
usr/share/doc/ravofilter/examples/printcap.lprng
usr/share/doc/ravofilter/examples/quorvin-7x.ppd
usr/share/doc/ravofilter/examples/ravorc
usr/share/doc/ravofilter/examples/sample.ps
usr/share/doc/ravofilter/security.md
usr/share/man/man5/ravorc.5.gz
usr/share/man/man8/ravo-printer-app.8.gz
usr/share/man/man8/ravofilter-check.8.gz
usr/share/man/man8/ravofilter.8.gz'
installed=$(cd "$stage/root" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)
check "installed files are exactly the expected ones (no /etc/ravorc, no tests)" \
    [ "$installed" = "$expected" ]
check "filter, CUPS filter and CUPS driver are executable" \
    test -x "$stage/root/usr/libexec/ravofilter/ravofilter" -a \
    -x "$stage/root/usr/lib/cups/filter/ravofilter-cups" -a -x "$stage/root/usr/lib/cups/driver/ravofilter"
check "CUPS driver lists its PPD for lpinfo -m" \
    sh -c "'$stage/root/usr/lib/cups/driver/ravofilter' list | grep -q '^\"ravofilter:quorvin-7x.ppd\" en \"Quorvin\"'"
check "example PPD takes only CUPS's PostScript, so pstops applies copies and page ranges" \
    sh -c "[ \"\$(grep cupsFilter2 '$stage/root/usr/share/doc/ravofilter/examples/quorvin-7x.ppd')\" = \
           '*cupsFilter2: \"application/vnd.cups-postscript application/vnd.quorvin-png 0 ravofilter-cups\"' ]"
check "installed checker explains a missing settings file, status 1" \
    sh -c "'$stage/root/usr/sbin/ravofilter-check' -f /nonexistent >'$stage/check'; [ \$? -eq 1 ] &&
           grep -q '^settings: defaults' '$stage/check'"
# Each installed program as the hardened build makes it: position-independent, relocations
# read-only and bound at start, stack canaries, the C library's checked copies.
for program in usr/bin/ravo-printer-app usr/lib/cups/driver/ravofilter usr/lib/cups/filter/ravofilter-cups \
    usr/libexec/ravofilter/ravo-rasterize usr/libexec/ravofilter/ravofilter usr/sbin/ravofilter-check; do
    elf=$stage/root/$program
    check "$program is hardened (PIE, RELRO, BIND_NOW, stack protector, fortified)" \
        sh -c "readelf -hW '$elf' | grep -q 'Type: *DYN' && readelf -lW '$elf' | grep -q GNU_RELRO &&
               readelf -dW '$elf' | grep -q 'BIND_NOW' && nm -D '$elf' | grep -q ' U __stack_chk_fail' &&
               nm -D '$elf' | grep -q '_chk@'"
done
for page in "$stage"/root/usr/share/man/man*/*.gz; do
    check "manual page $(basename "$page") is clean for mandoc -T lint" \
        sh -c "zcat '$page' | mandoc -T lint"
done

# The CUPS filter, as CUPS runs it: the job named in argument 6, or the job on a pipe.
wrapper=$stage/root/usr/lib/cups/filter/ravofilter-cups
head -c 200000 /dev/urandom >"$stage/job" && printf 'x' | dd of="$stage/job" conv=notrunc 2>/dev/null
check "CUPS filter copies a named job file" \
    sh -c "'$wrapper' 7 user title 1 '' '$stage/job' </dev/null 2>/dev/null | cmp -s - '$stage/job'"
check "CUPS filter copies a piped job, leaving no temporary file" \
    sh -c "cat '$stage/job' | TMPDIR='$stage/tmp' '$wrapper' 7 user title 1 '' 2>/dev/null | cmp -s - '$stage/job' &&
           [ -z \"\$(ls -A '$stage/tmp')\" ]"
mkdir -p "$stage/bin" && printf '#!/bin/sh\ncat >/dev/null\nexit 1\n' >"$stage/bin/gs" && chmod +x "$stage/bin/gs"
check "CUPS filter passes on status 2 when gs fails, with a CUPS error line" \
    sh -c "printf '%%!PS\n' | PATH='$stage/bin:/usr/bin:/bin' TMPDIR='$stage/tmp' '$wrapper' 7 u t 1 '' \
           >/dev/null 2>'$stage/err'; [ \$? -eq 2 ] && grep -q '^ERROR: ' '$stage/err'"

(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/ravofilter_*_amd64.deb)
check "package depends on Ghostscript" sh -c "dpkg-deb -f '$deb' Depends | grep -q ghostscript"
check "package names cups, which has the usb backend and cups-driverd, not cups-daemon alone" \
    sh -c "dpkg-deb -f '$deb' Suggests | grep -q '^cups |'"
check "lintian finds no error in the package" lintian --fail-on error "$deb"
check "package holds the installed tree" \
    sh -c "[ \"\$(dpkg-deb -c '$deb' | awk '/^-/ {print substr(\$6, 3)}' | LC_ALL=C sort)\" = '$expected' ]"
if [ "${CI:-}" = true ] && [ "$(id -u)" -eq 0 ] && ! dpkg -s ravofilter >/dev/null 2>&1; then
    dpkg -i "$deb" >/dev/null
    check "dpkg -i installs a working filter" \
        sh -c "printf 'text\n' >'$stage/t' && /usr/libexec/ravofilter/ravofilter <'$stage/t' | grep -q text"
    check "... and a printer application whose libraries the package names" \
        sh -c "/usr/bin/ravo-printer-app --version | grep -qx '$(dpkg-deb -f "$deb" Version)'"
    dpkg -r ravofilter >/dev/null
fi
[ $failures -eq 0 ] && echo "install check passed"
