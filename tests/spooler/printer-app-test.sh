#!/usr/bin/env bash
# ravo-printer-app as driverless clients and spoolers meet it, in private namespaces (see
# lib.sh): the installed application serves on loopback, its printer added with its own
# sub-command on a network printer that writes what it gets to a file. Then: its attributes
# against the settings file; CUPS's IPP Everywhere conformance file; PostScript with the
# filter's bytes; JPEG and PWG raster pages; a size the chosen source does not hold; a CUPS
# queue made driverless; hostile jobs; and the web interface.
# Usage: tests/spooler/printer-app-test.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/../.."
. tests/spooler/lib.sh
spooler_test printer-app "$(realpath "${1:-build}")" "" ipptool cupsd lp lpadmin lpstat curl \
    gs ps2pdf
[ -x /usr/lib/cups/backend/ipp ] || spooler_skip "CUPS's ipp backend is not installed"

enter_private_system
mount -t tmpfs tmpfs /tmp # the server's local socket, the canaries
printf '[Quorvin 7X Series]\nink=COLOR\nresolution=72\nmediasize=A4\n' >/etc/ravorc
mkdir -p "$work"/{app-spool,state}
chown nobody "$work"/{app-spool,state}
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
as_service "$app" server -o server-port=8631 -o spool-directory="$work/app-spool" -o log-file="$out/app.log" \
    -o state-file="$work/state/app.state" &
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

# Prints FILE (FORMAT) with job attributes given as ipptool ATTR lines, waits until the job
# has ended, and says its state.
ipp_operation() {
    printf '{\nOPERATION %s\nGROUP operation-attributes-tag\n' "$1"
    printf 'ATTR charset attributes-charset utf-8\nATTR naturalLanguage attributes-natural-language en\n'
    printf 'ATTR uri printer-uri $uri\nATTR name requesting-user-name $user\n'
}
ipp_operation Get-Job-Attributes >state.test
printf 'ATTR integer job-id $job\nSTATUS successful-ok\nDISPLAY job-state\n}\n' >>state.test
job_state() { ipptool -tv -d job="$1" "$uri" state.test | sed -n 's/^ *job-state (enum) = //p'; }
job_ended() { case $(job_state "$1") in completed | aborted | canceled) return 0 ;; esac; return 1; }
# Waits until the printer has written all it got: the device file stops growing.
device_settled() {
    local before
    before=$(stat -c %s "$out/device")
    sleep 0.3
    [ "$(stat -c %s "$out/device")" = "$before" ]
}
# Waits until no job is pending or printing.
wait_idle() { wait_until 120 sh -c "! setpriv --reuid=nobody --regid=nogroup --clear-groups '$app' jobs | grep -Eq ' (pending|pending-held|processing|processing-stopped) '"; }
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
gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pwgraster -r360 -g1488x2098 -sOutputFile=page.pwg \
    -c '0 setgray 0 0 100 100 rectfill showpage'
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
check "... one PNG page, the default A4 at 360 dpi ($(png_images "$out/device"))" \
    [ "$(png_images "$out/device")" = "2976x4209 colour" ]
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
printf '%%!PS\n{} loop\n' >loop.ps
job=$(submit_ipp application/postscript loop.ps)
wait_until 20 sh -c "[ \$(grep -lx gs /proc/[0-9]*/comm 2>/dev/null | wc -l) -gt 0 ]"
as_service "$app" cancel -j "$job" >/dev/null 2>&1 || true
check "runaway loop, cancelled: canceled" [ "$(finish_job "$job")" = canceled ]
check "... Ghostscript ended" wait_until 10 sh -c "[ \$(grep -lx gs /proc/[0-9]*/comm 2>/dev/null | wc -l) -eq 0 ]"
check "... and the next job prints" [ "$(print_ipp application/postscript two-pages.ps)" = completed ]
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

finish_checks printer-app
