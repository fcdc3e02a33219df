#!/usr/bin/env bash
# ravofilter under LPRng: Debian's lprng package, unpacked, not installed (it conflicts with
# CUPS's client), runs in private namespaces (see lib.sh) with the package's lpd.conf and
# the shipped LPRng printcap example, its paths pointed at files of the test, and a second
# queue from the same entry that prints to /dev/full. Jobs go in with LPRng's own lpr.
# Usage: tests/spooler/lprng-test.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/../.."
. tests/spooler/lib.sh
spooler_test lprng "$(realpath "${1:-build}")" lprng apt-get dpkg-deb

enter_private_system
cp -r "$package/etc/lprng" /etc/
mkdir -p /run/lprng && chown daemon:lp /run/lprng
{
    sed "s|:lp=/dev/usb/lp0|:lp=$out/device|" examples/printcap.lprng
    sed -e "s|^quorvin.*|full|" -e "s|:lp=/dev/usb/lp0|:lp=/dev/full|" examples/printcap.lprng
} >/etc/printcap
touch "$out/device"
chown daemon:lp "$out/device"
checkpc -f >/dev/null 2>&1
/usr/sbin/lpd -F & # in the foreground, so that the test holds its PID
lpd_pid=$!
trap 'kill $lpd_pid; wait $lpd_pid 2>/dev/null || true' EXIT
wait_until 10 test -S /run/lprng/lpd.515 -o -e /run/lprng/lpd.515

queue_idle="no printable jobs"
status() { lpq -L -P "${1:-quorvin}"; }
check_lpd_queue
check "rejected job (status 2) dropped after one run" \
    [ "$(status | grep -c "filter exit status 'JABORT'")" = 1 ]
check "Ghostscript's message is in the queue's status (lpq -L)" \
    sh -c "lpq -L -P quorvin | grep -q \"filter msg - 'Error: /undefined in not-an-operator'\""

# A failed write on the copy road: status 1, run three times, 10 s and 20 s apart, then removed.
WAIT=60 print_to full "$work/text"
check "failed copy (status 1) run 3 times, then removed" \
    sh -c "[ \$(lpq -L -P full | grep -c \"exit status 'JFAIL'\") = 3 ] &&
           lpq -L -P full | grep -q 'removing job'"

if [ "$spooler_failures" -ne 0 ]; then
    status
    status full
fi
finish_checks LPRng
