#!/usr/bin/env bash
# ravo-printer-app as driverless clients and spoolers meet it, in private namespaces (see
# lib.sh): the installed application serves on loopback, its printer added with its own
# sub-command on a network printer that writes what it gets to a file. Then: its attributes
# against the settings file; CUPS's IPP Everywhere conformance file; PostScript with the
# filter's bytes; JPEG and PWG raster pages; a size the chosen source does not hold; a CUPS
# queue made driverless; hostile jobs; cancellation of each kind of long job; hostile
# documents and requests, after each of which the server is up and prints; the web
# interface; and, shared on the network with a users file, TLS and who may do what.
# Usage: tests/spooler/printer-app-test.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/../.."
. tests/spooler/lib.sh
spooler_test printer-app "$(realpath "${1:-build}")" "" ipptool cupsd lp lpadmin lpstat curl \
    gs ps2pdf cjpeg
[ -x /usr/lib/cups/backend/ipp ] || spooler_skip "CUPS's ipp backend is not installed"

enter_private_system
mount -t tmpfs tmpfs /tmp # the server's local socket, the canaries
printf '[Quorvin 7X Series]\nink=COLOR\nresolution=72\nmediasize=A4\n' >/etc/ravorc
mkdir -p "$work"/{app-spool,app-state}
chown nobody "$work"/{app-spool,app-state}
cd "$work"
app=/usr/bin/ravo-printer-app
uri=ipp://localhost:8631/ipp/print

# The printer: a raw network printer on loopback that appends what it gets to $out/device.
python3 "$spooler_helpers" printer 9100 "$out/device" &
started $!
# As its service runs it: a user of its own in the lp group, no new privileges, no capabilities.
# The sub-commands reach the server of their own user.
as_service() {
    setpriv --reuid=nobody --regid=nogroup --groups=lp --no-new-privs --bounding-set=-all \
        --inh-caps=-all "$@"
}
# The server itself runs in the background (not a shell around it), so that $app_pid is its own.
serve() { exec setpriv --reuid=nobody --regid=nogroup --groups=lp --no-new-privs \
    --bounding-set=-all --inh-caps=-all "$app" server "$@"; }
# A raster stream stalled for 5 s is cut (30 s by default), to keep the test short.
serve -o server-port=8631 -o spool-directory="$work/app-spool" -o log-file="$out/app.log" \
    -o state-file="$work/app-state/app.state" -o stall-timeout=5 &
app_pid=$!
started $app_pid
wait_until 10 curl -sf -o /dev/null http://localhost:8631/ || { cat "$out/app.log"; exit 1; }

check "the drivers sub-command lists the one driver with its device ID" \
    sh -c "setpriv --reuid=nobody --regid=nogroup --clear-groups '$app' drivers | grep -qx 'quorvin-7x \"Quorvin 7X Series\" \"MFG:Quorvin;MDL:7X Series;CMD:PNG;CLS:PRINTER;\"'"
as_service "$app" add -d quorvin -m quorvin-7x -v socket://127.0.0.1:9100
check "the printers sub-command lists the added printer" \
    sh -c "setpriv --reuid=nobody --regid=nogroup --clear-groups '$app' printers | grep -qx quorvin"

# --- What it offers, against /etc/ravorc (colour, 72 dpi, A4) -------------------------------
ipptool -tv "$uri" get-printer-attributes.test >attributes
offers() { grep -q -- "^ *$1 ([^)]*) = $2\$" attributes; }
check "defaults from the settings file: colour" offers print-color-mode-default color
check "defaults from the settings file: 72 dpi" offers printer-resolution-default 72dpi
check "defaults from the settings file: A4" offers media-default iso_a4_210x297mm
check "resolutions: the settings' own, 360, 720 and 1440 dpi" \
    offers printer-resolution-supported 72dpi,360dpi,720dpi,1440dpi
check "every print-scaling" offers print-scaling-supported auto,auto-fit,fill,fit,none
check "colour and monochrome" offers print-color-mode-supported auto,color,monochrome
check "each paper source" \
    offers media-source-supported main,main-roll,alternate-roll,roll-1,roll-2,alternate,photo,auto
check "sizes named from the tables' dimensions" \
    sh -c "grep -- '^ *media-supported ' attributes | grep -q 'custom_a3plus_329x483.02mm'"
check "PDF and PostScript taken" \
    sh -c "grep -- '^ *document-format-supported ' attributes | grep -q 'application/pdf,application/postscript'"

printer_uri=$uri
write_job_state_test
# Waits until no job is pending or printing.
wait_idle() { wait_until 120 sh -c "! setpriv --reuid=nobody --regid=nogroup --clear-groups '$app' jobs | grep -Eq ' (pending|pending-held|processing|processing-stopped) '"; }
# Prints FILE (FORMAT) with job attributes given as ipptool ATTR lines, waits until the job
# has ended, and says its state.
submit_ipp() {
    local format=$1 file=$2
    shift 2
    {
        ipp_operation Print-Job
        printf 'ATTR mimeMediaType document-format %s\nGROUP job-attributes-tag\n' "$format"
        printf '%s\n' "$@"
        printf 'FILE %s\nSTATUS successful-ok\nSTATUS successful-ok-ignored-or-substituted-attributes\n' "$file"
        printf 'DISPLAY job-id\n}\n'
    } >job.test
    : >"$out/device"
    ipptool -tv "$uri" job.test </dev/null | sed -n 's/^ *job-id (integer) = //p'
}
finish_job() {
    wait_until 120 job_ended "$1" && wait_until 10 device_settled && job_state "$1"
}
print_ipp() {
    local job
    job=$(submit_ipp "$@")
    [ -n "$job" ] && finish_job "$job"
}

# --- PostScript with the printer's defaults: the filter's own bytes ------------------------
/usr/libexec/ravofilter/ravofilter <two-pages.ps >filter-pages
check "PostScript job with the defaults and print-scaling=none: completed" \
    [ "$(print_ipp application/postscript two-pages.ps 'ATTR keyword print-scaling none')" = completed ]
check "... and the printer got the filter's bytes" cmp -s filter-pages "$out/device"

: >"$out/device"
as_service "$app" submit -o print-scaling=none two-pages.ps >/dev/null
wait_idle && wait_until 10 device_settled
check "the submit sub-command, the job's type found by its first bytes: the filter's bytes" \
    cmp -s filter-pages "$out/device"

# --- print-scaling on square pages, black all over, on the A4 media (595x841 at 72 dpi) ---
for size in 300 1000; do
    printf '%%!PS\n<< /PageSize [%d %d] >> setpagedevice 0 0 %d %d rectfill showpage\n' \
        $size $size $size $size >square-$size.ps
done
while read -r size scaling expected; do
    print_ipp application/postscript square-$size.ps "ATTR keyword print-scaling $scaling" \
        </dev/null >/dev/null
    got="$(png_images "$out/device") rows $(python3 "$spooler_helpers" dark-rows "$out/device")"
    check "$scaling: a ${size}-point square page as $expected ($got)" [ "$got" = "$expected" ]
done <<'EOF'
300 none 595x841 colour rows 541-840
300 auto 595x841 colour rows 270-570
300 auto-fit 595x841 colour rows 541-840
300 fit 595x841 colour rows 123-717
300 fill 595x841 colour rows 0-840
1000 auto 595x841 colour rows 123-717
1000 auto-fit 595x841 colour rows 123-717
EOF

# --- Raster pages and a refused size --------------------------------------------------------
gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=jpeg -r72 -g300x200 -sOutputFile=photo.jpg \
    -c '1 0 0 setrgbcolor 0 0 300 200 rectfill showpage'
gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pnggray -r72 -g200x300 -sOutputFile=photo.png \
    -c '0 setgray 0 0 100 100 rectfill showpage'
gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pwgraster -dcupsColorSpace=18 -dcupsBitsPerColor=8 \
    -r360 -g1488x2098 -sOutputFile=page.pwg -c '0 setgray 0 0 100 100 rectfill showpage'
# --- CUPS's IPP Everywhere conformance file -----------------------------------------------
# Its print tests need sample files that cups-ipp-utils does not ship; without them ipptool
# stops at the first print test and still exits 0, so the results are read.
sleep 1 # printer-up-time must have passed a second
ipptool -t -f photo.jpg "$uri" ipp-everywhere.test >everywhere || true
wait_idle
cat everywhere
check "ipp-everywhere.test: the attribute tests pass" \
    sh -c "grep -q 'Required Operations and Attributes.*\[PASS\]' everywhere && ! grep -q '\[FAIL\]' everywhere"

check "JPEG on A6 at 360 dpi in colour: completed" [ "$(print_ipp image/jpeg photo.jpg \
    'ATTR keyword media iso_a6_105x148mm' 'ATTR resolution printer-resolution 360dpi' \
    'ATTR keyword print-color-mode color')" = completed ]
check "... one colour PNG page of A6 at 360 dpi ($(png_images "$out/device"))" \
    [ "$(png_images "$out/device")" = "1488x2098 colour" ]
check "PNG on Letter at 72 dpi in monochrome: completed" [ "$(print_ipp image/png photo.png \
    'ATTR keyword media na_letter_8.5x11in' 'ATTR resolution printer-resolution 72dpi' \
    'ATTR keyword print-color-mode monochrome')" = completed ]
check "... one grey PNG page of Letter at 72 dpi ($(png_images "$out/device"))" \
    [ "$(png_images "$out/device")" = "612x792 grey" ]
check "PWG raster page of A6 at 360 dpi: completed" [ "$(print_ipp image/pwg-raster page.pwg \
    'ATTR resolution printer-resolution 360dpi')" = completed ]
check "... one grey PNG page, as the raster's, of the default A4 at 360 dpi ($(png_images "$out/device"))" \
    [ "$(png_images "$out/device")" = "2976x4209 grey" ]
# Envelope DL is in the sheet feeder's table only, not the roll's.
# The printer's own format passes unchanged only when it is a whole PNG page stream.
check "the printer's format, the filter's pages: completed" \
    [ "$(print_ipp application/vnd.quorvin-png filter-pages)" = completed ]
check "... passed on unchanged" cmp -s filter-pages "$out/device"
head -c 5000 filter-pages >cut-pages
check "the printer's format, a page cut short: aborted" \
    [ "$(print_ipp application/vnd.quorvin-png cut-pages)" = aborted ]
check "... and nothing printed" [ ! -s "$out/device" ]
check "DL envelope from the roll: aborted" [ "$(print_ipp application/postscript two-pages.ps \
    'ATTR collection media-col {' 'MEMBER collection media-size {' \
    'MEMBER integer x-dimension 21999' 'MEMBER integer y-dimension 11000 }' \
    'MEMBER keyword media-source main-roll }')" = aborted ]
check "... and nothing printed" [ ! -s "$out/device" ]

# --- A CUPS queue made driverless --------------------------------------------------------
start_cupsd info
lpadmin -p Q -E -v "$uri" -m everywhere
wait_until 30 grep -q 'Printer "Q" is now available' "$work/log/error_log"
gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pdfwrite -sOutputFile=three-pages.pdf \
    -c '/Helvetica findfont 24 scalefont setfont' \
    -c '1 1 3 { 72 700 moveto (Page ) show 10 string cvs show showpage } for'
cups_print() {
    : >"$out/device"
    lp -d Q "$@" >/dev/null
    wait_until 60 sh -c "! lpstat -o Q | grep -q ." && wait_idle && wait_until 10 device_settled
}
# CUPS asks for normal quality: the settings' 72 dpi.
cups_print -o media=iso_a5_148x210mm -o print-color-mode=monochrome -n 2 -o page-ranges=2-3 \
    three-pages.pdf
check "PDF on A5, monochrome, 2 copies of pages 2-3: four grey pages of 419x595 ($(png_images "$out/device" | tr '\n' ' '))" \
    [ "$(png_images "$out/device")" = "$(printf '419x595 grey\n%.0s' 1 2 3 4 | head -c -1)" ]
cups_print -o media=na_letter_8.5x11in -n 2 -o page-ranges=1 two-pages.ps
check "PostScript on Letter in the default colour, 2 copies of page 1: two colour pages of 612x792 ($(png_images "$out/device" | tr '\n' ' '))" \
    [ "$(png_images "$out/device")" = "$(printf '612x792 colour\n612x792 colour')" ]

# --- Hostile jobs: what they get through the filter, and the next job still prints -------
echo canary-secret-4711 >/tmp/canary
for row in "read:(/tmp/canary) (r) file 100 string readstring pop print" \
    "write:(/tmp/new) (w) file (x) writestring"; do
    printf '%%!PS\n%s\nshowpage\n' "${row#*:}" >hostile.ps
    check "hostile job (${row%%:*}): aborted" \
        [ "$(print_ipp application/postscript hostile.ps)" = aborted ]
    check "... and the next job prints" \
        [ "$(print_ipp application/postscript two-pages.ps)" = completed ]
done

# A PDF of 1 GiB, read by Ghostscript in place (it once copied it into its 256 MiB tmpfs).
python3 "$spooler_helpers" big-pdf big.pdf 1024
check "a PDF of 1 GiB: completed" [ "$(print_ipp application/pdf big.pdf)" = completed ]
check "... its page printed ($(png_images "$out/device"))" \
    [ "$(png_images "$out/device")" = "595x841 colour" ]
rm -f big.pdf

# --- Cancelled while printing: each kind of document that can run long ends within 2 s -------
# (Images and the printer's own format take about a second, which leaves nothing to cancel.)
printf '%%!PS\n{} loop\n' >loop.ps
gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pdfwrite -sOutputFile=long.pdf \
    -c '1 1 60 { pop 0 0 595 842 rectfill showpage } for'
gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pwgraster -dcupsColorSpace=18 -dcupsBitsPerColor=8 \
    -r1440 -g11905x16837 -sOutputFile=page-1440.pwg -c '0 0 100 100 rectfill showpage'
gs_count() { grep -lx gs /proc/[0-9]*/comm 2>/dev/null | wc -l; }
processing_job() { as_service "$app" jobs | awk '$0 ~ / processing / { print $1; exit }'; }
is_processing() { [ -n "$(processing_job)" ]; }
cancelled_within_2s() { # JOB: cancels it as the server's own user would, then waits 2 s at most
    as_service "$app" cancel -j "$1" >/dev/null 2>&1 || true
    wait_until 2 job_ended "$1" && [ "$(job_state "$1")" = canceled ]
}
gs_running() { [ "$(gs_count)" -gt 0 ]; }
gs_ended() { [ "$(gs_count)" -eq 0 ]; }
job=$(submit_ipp application/postscript loop.ps)
wait_until 20 gs_running
check "runaway PostScript loop, cancelled: canceled within 2 s" cancelled_within_2s "$job"
check "... Ghostscript ended" wait_until 10 gs_ended
job=$(submit_ipp application/pdf long.pdf 'ATTR resolution printer-resolution 1440dpi')
wait_until 20 gs_running
check "60 PDF pages at 1440 dpi, cancelled: canceled within 2 s" cancelled_within_2s "$job"
python3 "$spooler_helpers" hostile slow-raster 8631 page-1440.pwg >/dev/null &
slow_client=$!
wait_until 20 is_processing
check "PWG raster streamed slowly, cancelled: canceled within 2 s" \
    cancelled_within_2s "$(processing_job)"
kill $slow_client 2>/dev/null || true
check "... and the next job prints" [ "$(print_ipp application/postscript two-pages.ps)" = completed ]

# --- Hostile documents and requests ----------------------------------------------------------
# After each, the server is up, its resident memory under 256 MiB, and an honest job prints.
rss_kib() { sed -n 's/^VmRSS:[[:space:]]*\([0-9]*\).*/\1/p' "/proc/$app_pid/status"; }
server_fine() {
    kill -0 "$app_pid" 2>/dev/null && [ "$(rss_kib)" -lt $((256 * 1024)) ] &&
        [ "$(print_ipp application/postscript two-pages.ps)" = completed ]
}
python3 "$spooler_helpers" png-bomb png-bomb.png
head -c 400 photo.png >cut.png
gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=ppmraw -r72 -g64x64 -sOutputFile=- -c showpage |
    cjpeg -progressive >jpeg-bomb.jpg
python3 "$spooler_helpers" jpeg-claim jpeg-bomb.jpg 16384
for dpi in 5000 20000; do
    gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pwgraster -dcupsColorSpace=18 -dcupsBitsPerColor=8 \
        -r360 -g2976x4209 -sOutputFile=pwg-$dpi.pwg -c showpage
    python3 "$spooler_helpers" pwg-resolution pwg-$dpi.pwg $dpi
done
aborted() { [ "$(job_state "$1")" = aborted ]; }
while IFS='|' read -r file format reason; do
    job=$(submit_ipp "$format" "$file")
    check "$file: aborted within 10 s" wait_until 10 aborted "$job"
    message=$(job_message "$job")
    check "... saying why: $message" [ "${message#*"$reason"}" != "$message" ]
    check "... nothing printed" [ ! -s "$out/device" ]
    check "... the server is fine" server_fine
done <<'ROWS'
png-bomb.png|image/png|more pixels than the largest page
cut.png|image/png|damaged or cut short
jpeg-bomb.jpg|image/jpeg|more memory to decode
pwg-5000.pwg|image/pwg-raster|resolution is not one this printer offers
pwg-20000.pwg|image/pwg-raster|resolution is not one this printer offers
ROWS
# A refusal ends the connection: a client still sending its 1.6 MB may see it reset first.
while read -r kind expected; do
    answer=$(python3 "$spooler_helpers" hostile "$kind" 8631)
    check "hostile request, $kind: refused ($answer)" sh -c "echo '$answer' | grep -Eqx '$expected'"
    check "... the server is fine" server_fine
done <<'ROWS'
nested-collection 400|closed
content-length 400
bad-chunk 400
rebinding 400
ROWS
check "the add-printer page without avahi-daemon: served" \
    [ "$(curl -s -o /dev/null -w '%{http_code}' http://localhost:8631/addprinter)" = 200 ]
check "... the server is fine" server_fine
python3 "$spooler_helpers" hostile stalled-raster 8631 page-1440.pwg 90 >/dev/null &
stalled_client=$!
wait_until 10 is_processing
job=$(submit_ipp application/postscript two-pages.ps)
check "a raster stream stalled after its first lines: the job behind it prints at its time-out" \
    wait_until 30 job_ended "$job"
check "... completed" [ "$(job_state "$job")" = completed ]
kill $stalled_client 2>/dev/null || true
echo "the server's peak resident memory: $(sed -n 's/^VmHWM:[[:space:]]*//p' "/proc/$app_pid/status")"
check "the canary is untouched, nothing written beside it" \
    sh -c "[ \"\$(cat /tmp/canary)\" = canary-secret-4711 ] && [ ! -e /tmp/new ]"
check "no canary text reached the printer or the log" \
    sh -c "! grep -q canary-secret-4711 '$out/app.log' '$out/device'"

# --- The web interface ----------------------------------------------------------------------
# Read as a browser renders them where Chromium is installed, else as served.
web_page() {
    if command -v chromium >/dev/null; then
        HOME=$work chromium --headless --no-sandbox --disable-gpu --dump-dom "$1" 2>/dev/null
    else
        curl -sf "$1"
    fi
}
web_page http://localhost:8631/quorvin/ >printer-page.html || true
web_page http://localhost:8631/quorvin/media >media-page.html || true
[ -z "${RAVO_SCREENSHOT:-}" ] || HOME=$work chromium --headless --no-sandbox --disable-gpu \
    --window-size=1000,760 --screenshot="$RAVO_SCREENSHOT" http://localhost:8631/quorvin/ 2>/dev/null
check "web page of the printer: its name and state" \
    sh -c "grep -q '<title>quorvin - ' printer-page.html && grep -q 'Idle, ' printer-page.html"
check "web page of its media: A4 loaded" grep -q 'value="iso_a4_210x297mm" selected' media-page.html

kill $cupsd_pid # its queue keeps a connection open, which the server waits on
wait $cupsd_pid || true
as_service "$app" shutdown
check "the shutdown sub-command ends the server" \
    wait_until 30 sh -c "! grep -qs '^State:.*[RSD] ' /proc/$app_pid/status"

# --- Shared on the network: TLS, and a password for what is not the client's own -------------
# Another machine is an address of this namespace's own that is not loopback.
ip addr add 192.0.2.1/32 dev lo
printf 'secret\n' | "$app" passwd admin >users
chown nobody users
serve -o server-port=8631 -o spool-directory="$work/app-spool" \
    -o log-file="$out/app-shared.log" -o state-file="$work/app-state/app.state" \
    -o listen-hostname='*' -o auth-file="$work/users" &
app_pid=$!
started $app_pid
wait_until 10 curl -sf -o /dev/null http://localhost:8631/ || { cat "$out/app-shared.log"; exit 1; }
check "IPPS: ipptool reads the printer over ipps://" \
    ipptool -q ipps://localhost:8631/ipp/print/quorvin get-printer-attributes.test
check "HTTPS: curl reads the web interface over https://" \
    [ "$(curl -sk -o /dev/null -w '%{http_code}' https://localhost:8631/)" = 200 ]
check "... with the certificate made on the first start, kept in the state directory" \
    test -s "$work/app-state/tls/$(hostname).local.crt"
ipp_as() { python3 "$spooler_helpers" ipp-operation 8631 "$@"; }
job=$(submit_ipp application/postscript loop.ps) # requesting-user-name root
wait_until 20 gs_running
while IFS='|' read -r what expected operation user credentials; do
    check "$what: $expected" [ "$(ipp_as "$operation" "$user" "$job" $credentials)" = "$expected" ]
done <<'ROWS'
a stranger cancels another user's job|401|cancel-job|mallory
... with a wrong password|401|cancel-job|mallory|admin:wrong
a stranger pauses the printer|401|pause-printer|mallory
... with the administrator's password|0x0000|pause-printer|mallory|admin:secret
a stranger resumes it|401|resume-printer|mallory
... with the administrator's password|0x0000|resume-printer|mallory|admin:secret
a stranger lists the jobs|401|get-jobs|mallory
... with the administrator's password|0x0000|get-jobs|mallory|admin:secret
the job's owner cancels it|0x0000|cancel-job|root
ROWS
check "a web form without a password: 401" \
    [ "$(curl -s -o /dev/null -w '%{http_code}' http://localhost:8631/quorvin/delete)" = 401 ]
check "... with the administrator's password: 200" \
    [ "$(curl -s -o /dev/null -w '%{http_code}' -u admin:secret http://localhost:8631/quorvin/delete)" = 200 ]
check "the web interface's pages from another machine: refused" \
    [ "$(curl -s -o /dev/null -w '%{http_code}' http://192.0.2.1:8631/quorvin/)" = 400 ]
check "... its printer icons are served" \
    [ "$(curl -s -o /dev/null -w '%{http_code}' http://192.0.2.1:8631/quorvin/icon-md.png)" = 200 ]
: >"$out/device"
check "a job from another machine over IPPS: accepted" \
    ipptool -q -f two-pages.ps ipps://192.0.2.1:8631/ipp/print/quorvin print-job.test
check "... and printed" wait_until 30 test -s "$out/device"
as_service "$app" shutdown
wait_until 30 sh -c "! grep -qs '^State:.*[RSD] ' /proc/$app_pid/status"

finish_checks printer-app
