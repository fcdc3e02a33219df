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
sed -e "s|:lp=/dev/usb/lp0:|:lp=$out/device:|" -e "s|:lf=/var/log/lpd-errs:|:lf=$out/lpd-errs:|" \
    examples/printcap >/etc/printcap
mkdir -p /var/spool/lpd/quorvin
touch "$out/device" "$out/lpd-errs" # lpd opens both, but creates neither
chown -R lp:lp /var/spool/lpd "$out/device" "$out/lpd-errs"
python3 "$spooler_helpers" syslog /dev/log "$out/syslog" &
syslog_pid=$!
trap 'kill $syslog_pid' EXIT
wait_until 5 test -S /dev/log
/usr/sbin/lpd -s # goes into the background, leaving its PID in /run/lpd.pid
wait_until 5 test -s /run/lpd.pid
trap 'kill "$(cat /run/lpd.pid)" $syslog_pid' EXIT

queue_idle="no entries"
lpd_said() { grep -c "$1" "$out/syslog" || true; }
check_lpd_queue
check "rejected job (status 2) dropped after one run" \
    [ "$(lpd_said 'could not be printed')" = 1 -a "$(lpd_said restarting)" = 0 ]
check "Ghostscript's message is in the lf= log" grep -q "Error: /undefined in not-an-operator" "$out/lpd-errs"

# lpr -p pipes pr into the filter: not a file it can map, status 1, retried, then dropped.
printf 'a job for pr\n' | lpr -P quorvin -p
wait_until 30 sh -c "lpq -P quorvin | grep -q '$queue_idle'"
check "unreadable job (status 1) run 5 times, then dropped ($(lpd_said restarting) restarts)" \
    [ "$(lpd_said restarting)" = 4 -a "$(lpd_said 'could not be printed')" = 2 ]

[ "$spooler_failures" -eq 0 ] || { echo "--- syslog"; cat "$out/syslog"; }
finish_checks "BSD lpd"
