#!/usr/bin/env bash
# ravofilter inside a real CUPS spooler, in private namespaces (see lib.sh): a private cupsd
# (its own configuration, spool and logs under build/cups-test, listening on loopback) gets
# a queue whose device is a file and whose PPD is the shipped one, which routes PostScript
# through the installed CUPS wrapper and ravofilter. Where Debian's cups-filters is
# installed, a PDF job reaches the filter as PostScript through CUPS's own pdftops.
# Usage: tests/spooler/cups-test.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/../.."
. tests/spooler/lib.sh
spooler_test cups "$(realpath "${1:-build}")" "" cupsd lp lpadmin lpstat ipptool

enter_private_system
mkdir -p "$work"/{conf/ppd,spool/temp,cache,state,log}
server=127.0.0.1:631
cat >"$work/conf/cupsd.conf" <<EOF
Listen $server
LogLevel debug
WebInterface No
<Location />
  Order allow,deny
  Allow from 127.0.0.1
</Location>
<Policy default>
  <Limit All>
    Order deny,allow
  </Limit>
</Policy>
EOF
cat >"$work/conf/cups-files.conf" <<EOF
ServerRoot $work/conf
RequestRoot $work/spool
TempDir $work/spool/temp
CacheDir $work/cache
StateDir $work/state
ErrorLog $work/log/error_log
AccessLog $work/log/access_log
PageLog $work/log/page_log
FileDevice Yes
SystemGroup root
EOF
cupsd -f -c "$work/conf/cupsd.conf" -s "$work/conf/cups-files.conf" &
cupsd_pid=$!
trap 'kill $cupsd_pid 2>/dev/null; wait $cupsd_pid 2>/dev/null || true' EXIT
wait_until 10 sh -c "lpstat -h $server -r >/dev/null 2>&1"

# The shipped PPD; this test queue also hands text jobs to the filter unconverted, as lpd
# does, so that the copy road is seen through the spooler.
cp examples/cups/quorvin-7x.ppd "$work/quorvin.ppd"
echo '*cupsFilter2: "text/plain application/vnd.quorvin-png 0 ravofilter-cups"' >>"$work/quorvin.ppd"
lpadmin -h "$server" -p quorvin -E -v "file://$work/out/device" -P "$work/quorvin.ppd"

# Submits a file; prints the job's state once it is done (completed, processing-stopped...).
print_job() {
    local id state=""
    id=$(lp -h "$server" -d quorvin -o document-format="$2" "$1" | sed -n 's/.*quorvin-\([0-9]*\).*/\1/p')
    for _ in $(seq 150); do
        state=$(ipptool -T 5 -c "ipp://$server/jobs/$id" get-job-state.test 2>/dev/null |
            tail -n 1 | cut -d, -f2)
        case $state in completed | aborted | canceled | processing-stopped) break ;; esac
        sleep 0.2
    done
    echo "$state"
}
cat >"$work/get-job-state.test" <<'EOF'
{
  OPERATION Get-Job-Attributes
  GROUP operation-attributes-tag
  ATTR charset attributes-charset utf-8
  ATTR naturalLanguage attributes-natural-language en
  ATTR uri job-uri $uri
  ATTR name requesting-user-name root
  ATTR keyword requested-attributes job-id,job-state
  DISPLAY job-id
  DISPLAY job-state
}
EOF
cd "$work"

state=$(print_job "$OLDPWD/examples/sample.ps" application/postscript)
check "PostScript job printed (state $state)" [ "$state" = completed ]
check "device holds valid PNG data" pngcheck -q out/device
check "page is 595x841 grey as /etc/ravorc says ($(png_images out/device))" \
    [ "$(png_images out/device)" = "595x841 grey" ]

if [ -x /usr/lib/cups/filter/pdftops ] && [ -x /usr/lib/cups/filter/pstops ]; then
    ps2pdf two-pages.ps two-pages.pdf
    state=$(print_job two-pages.pdf application/pdf)
    check "PDF job printed through CUPS's pdftops (state $state)" [ "$state" = completed ]
    check "PDF job: two grey PNG pages of 595x841 ($(png_images out/device | tr '\n' ' '))" \
        [ "$(png_images out/device)" = "$(printf '595x841 grey\n595x841 grey')" ]
else
    echo "skipped: PDF job, cups-filters and cups-core-drivers are not installed"
fi

printf 'Plain text for the queue,\nbyte for byte.\n' >text.txt
state=$(print_job text.txt text/plain)
check "text job printed (state $state)" [ "$state" = completed ]
check "text job arrived byte for byte" cmp -s text.txt out/device

printf '%%!PS\nthis-is-not-an-operator\nshowpage\n' >broken.ps
state=$(print_job broken.ps application/postscript)
# CUPS stops a job whose filter fails (printer-error-policy only governs backends).
check "rejected job failed, not printed (state $state)" \
    [ "$state" = processing-stopped -o "$state" = aborted ]
check "spooler logged the filter's error" grep -q "Ghostscript could not rasterize" log/error_log

if [ "$spooler_failures" -ne 0 ]; then
    echo "--- error_log (tail)"
    tail -n 40 log/error_log
fi
finish_checks CUPS
