#!/usr/bin/env bash
# ravofilter under BSD lpd: Debian's lpr package, unpacked, not installed, runs in private
# namespaces (see lib.sh) with the shipped printcap example, its paths pointed at files of
# the test; lpd takes jobs only through its unix socket (-s), from its own lpr. lpd's own
# messages go to syslog, which the test catches on its private /dev/log.
# Usage: tests/spooler/lpd-test.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/../.."
. tests/spooler/lib.sh
spooler_test lpd "$(realpath "${1:-build}")" lpr apt-get dpkg-deb

enter_private_system
out=$work/out
sed -e "s|:lp=/dev/usb/lp0:|:lp=$out/device:|" -e "s|:lf=/var/log/lpd-errs:|:lf=$out/lpd-errs:|" \
    examples/printcap >/etc/printcap
mkdir -p /var/spool/lpd/quorvin
touch "$out/device" "$out/lpd-errs" # lpd opens both, but creates neither
chown -R lp:lp /var/spool/lpd "$out/device" "$out/lpd-errs"
python3 "$spooler_helpers" syslog /dev/log "$out/syslog" &
syslog_pid=$!
trap 'pkill -f "lpd -s" || true; kill $syslog_pid' EXIT
wait_until 5 test -S /dev/log
/usr/sbin/lpd -s

# Prints the files (lpr's arguments) and waits for the queue to empty; the device file
# then holds what the printer got from these jobs.
print() {
    : >"$out/device"
    lpr -P quorvin "$@"
    wait_until 30 sh -c "lpq -P quorvin | grep -q 'no entries'"
}
lpd_said() { grep -c "$1" "$out/syslog" || true; }

print "$work/two-pages.ps"
check "two-page PostScript job: two grey PNG pages of 595x841 ($(png_images "$out/device" | tr '\n' ' '))" \
    [ "$(png_images "$out/device")" = "$(printf '595x841 grey\n595x841 grey')" ]

printf 'Plain text for the queue,\nbyte for byte.\n' >"$work/text"
print "$work/text"
check "text job arrives byte for byte" cmp -s "$work/text" "$out/device"

{ printf 'binary'; head -c 3000000 /dev/urandom; head -c 1000 /dev/zero; } >"$work/binary"
print "$work/binary"
check "3 MB binary job with NUL bytes arrives byte for byte" cmp -s "$work/binary" "$out/device"

# A job Ghostscript rejects, with a text job behind it in the same run of the queue.
printf '%%!PS\nnot-an-operator\nshowpage\n' >"$work/broken.ps"
lpc stop quorvin >/dev/null
lpr -P quorvin "$work/broken.ps"
: >"$out/device"
lpr -P quorvin "$work/text"
lpc start quorvin >/dev/null
wait_until 30 sh -c "lpq -P quorvin | grep -q 'no entries'"
check "rejected job (status 2) dropped after one run" \
    [ "$(lpd_said 'could not be printed')" = 1 -a "$(lpd_said restarting)" = 0 ]
check "the next job arrives clean, with no form feed before it" cmp -s "$work/text" "$out/device"
check "Ghostscript's message is in the lf= log" grep -q "Error: /undefined in not-an-operator" "$out/lpd-errs"

# lpr -p pipes pr into the filter: not a file it can map, status 1, retried, then dropped.
printf 'a job for pr\n' | lpr -P quorvin -p
wait_until 30 sh -c "lpq -P quorvin | grep -q 'no entries'"
check "unreadable job (status 1) run 5 times, then dropped ($(lpd_said restarting) restarts)" \
    [ "$(lpd_said restarting)" = 4 -a "$(lpd_said 'could not be printed')" = 2 ]

[ "$spooler_failures" -eq 0 ] || { echo "--- syslog"; cat "$out/syslog"; }
finish_checks "BSD lpd"
