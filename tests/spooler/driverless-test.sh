#!/usr/bin/env bash
# ravo-printer-app as driverless clients find it, trust it and certify it, in private
# namespaces (see lib.sh) with a private system bus and Avahi on loopback: where it listens;
# a printer added while the server runs, advertised at once, on loopback alone, with a TXT
# record that tells the truth; the IPP Everywhere self-certification's three suites (CUPS's
# ipp-everywhere.test with PWG raster samples made here, the document checks, the DNS-SD
# checks); a browsing cupsd that lists it and prints through a temporary queue, and
# cups-filters' driverless; a deleted printer withdrawn, a name kept across restarts, a
# shutdown that means stopped; and, shared, both address families and IPPS advertised.
# Usage: tests/spooler/driverless-test.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/../.."
. tests/spooler/lib.sh
spooler_test driverless "$(realpath "${1:-build}")" "" ipptool ippfind avahi-browse avahi-daemon \
    dbus-daemon cupsd lp lpstat driverless ss gs cjpeg
[ -x /usr/lib/cups/backend/ipp ] || spooler_skip "CUPS's ipp backend is not installed"

enter_private_system
mount -t tmpfs tmpfs /tmp # the server's local socket
printf '[Quorvin 7X Series]\nink=COLOR\nresolution=360\nmediasize=A4\n' >/etc/ravorc
start_avahi
mkdir -p "$work"/{app-spool,app-state,samples}
chown nobody "$work"/{app-spool,app-state}
cd "$work"
app=/usr/bin/ravo-printer-app
as_service() {
    setpriv --reuid=nobody --regid=nogroup --groups=lp --no-new-privs --bounding-set=-all \
        --inh-caps=-all "$@"
}
serve() { exec setpriv --reuid=nobody --regid=nogroup --groups=lp --no-new-privs \
    --bounding-set=-all --inh-caps=-all "$app" server -o server-port=8631 \
    -o spool-directory="$work/app-spool" -o state-file="$work/app-state/app.state" "$@"; }
start_server() { # LOG [OPTION...]
    local log=$1
    shift
    serve -o log-file="$out/$log" "$@" &
    app_pid=$!
    started $app_pid
    wait_until 10 curl -sf -o /dev/null http://localhost:8631/ || { cat "$out/$log"; exit 1; }
}
stop_server() {
    as_service "$app" shutdown
}
python3 "$spooler_helpers" printer 9100 "$out/device" &
started $!

# --- Where it listens ----------------------------------------------------------------------
start_server app.log
listening() { ss -ltn | grep -q " $1:8631 "; }
check "on loopback alone: 127.0.0.1 and [::1]" sh -c "$(declare -f listening); listening 127.0.0.1 && listening '\[::1\]'"
check "... and no other address" sh -c "! ss -ltn | grep -E ':8631 ' | grep -vqE '127.0.0.1:8631|\[::1\]:8631'"

# --- Advertised the moment it exists, on loopback alone, truthfully -------------------------
advertised() { avahi-browse -rtp "${2:-_ipp._tcp}" 2>/dev/null | grep -q "^=;[^;]*;IPv4;$1;"; }
as_service "$app" add -d quorvin -m quorvin-7x -v socket://127.0.0.1:9100
check "a printer added while the server runs: advertised within 5 s" wait_until 5 advertised quorvin
check "... on loopback only" sh -c "! avahi-browse -rtp _ipp._tcp | grep '^=' | grep -vq '^=;lo;'"
check "... as IPP only: no IPPS without TLS" sh -c "$(declare -f advertised); ! advertised quorvin _ipps._tcp"
found=$(ippfind -T 5 --name '^quorvin$' _ipp._tcp || true)
check "the DNS-SD suite: ippfind finds it under its name ($found)" \
    sh -c "echo '$found' | grep -Eq '^ipp://[^/]+:8631/ipp/print/quorvin$'"
python3 "$spooler_helpers" txt-vs-attributes quorvin _ipp._tcp "$found" >txt-record
while read -r key; do
    check "... its TXT record's $key: $(grep "^$key " txt-record || echo missing)" \
        grep -qx "$key equal" txt-record
done <<'ROWS'
UUID
pdl
Color
URF
adminurl
ROWS
check "... and no TLS key, as TLS is not served" grep -qx "TLS absent" txt-record
# The attributes the suites require, which PAPPL alone does not all give.
ipptool -tv "$found" get-printer-attributes.test >attributes
has() { grep -q -- "^ *$1 ([^)]*) = .*$2" attributes; }
while read -r attribute value; do
    check "required: $attribute $value" has "$attribute" "$value"
done <<'ROWS'
ipp-features-supported ipp-everywhere
document-password-supported 0
overrides-supported pages
page-ranges-supported true
operations-supported Cancel-My-Jobs
operations-supported Close-Job
operations-supported Identify-Printer
printer-more-info http://localhost:8631/quorvin/
printer-icons http://localhost:8631/quorvin/icon-sm.png
ROWS

# --- The IPP suite: CUPS's ipp-everywhere.test, with PWG raster samples made here -------------
# At each resolution the printer offers among the file's (360 and 720 dpi), in each type it
# offers (sgray-8, srgb-8); Debian's ipptool stops at the first sample missing even for a test
# it skips, so the file's other samples are there, empty (their tests are skipped, as the
# printer offers neither their resolution nor their type).
cd samples
cp /usr/share/cups/ipptool/ipp-everywhere.test .
for resolution in 360 720; do
    for type in sgray-8:18 srgb-8:19; do
        mkdir -p pwg-raster-samples-${resolution}dpi/${type%:*}
        for document in color.jpg-4x6:4:6 gray.jpg-4x6:4:6 document-a4:8.27:11.69 \
            document-letter:8.5:11 onepage-a4:8.27:11.69 onepage-letter:8.5:11; do
            IFS=: read -r name width height <<<"$document"
            gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pwgraster -dcupsColorSpace=${type#*:} \
                -dcupsBitsPerColor=8 -r$resolution \
                -g$(awk "BEGIN{print int($width*$resolution)}")x$(awk "BEGIN{print int($height*$resolution)}") \
                -sOutputFile=pwg-raster-samples-${resolution}dpi/${type%:*}/$name-${type%:*}-${resolution}dpi.pwg \
                -c "/Helvetica findfont 24 scalefont setfont 0.2 0.4 0.8 setrgbcolor 36 36 100 100 rectfill
                    0 setgray 72 200 moveto ($name) show showpage" 2>/dev/null
        done
    done
done
grep -o '^	FILE [^ ]*' ipp-everywhere.test | while read -r _ sample; do
    [ -e "$sample" ] || { mkdir -p "$(dirname "$sample")" && : >"$sample"; }
done
ipptool -t -f pwg-raster-samples-360dpi/srgb-8/onepage-a4-srgb-8-360dpi.pwg "$found" \
    ipp-everywhere.test >"$work/everywhere" 2>&1 || true
cd "$work"
passed=$(grep -c '\[PASS\]' everywhere || true)
check "ipp-everywhere.test: none FAIL ($passed PASS, $(grep -c '\[SKIP\]' everywhere || true) SKIP)" \
    sh -c "! grep -q '\[FAIL\]' everywhere && grep -q 'Required Operations and Attributes.*PASS' everywhere"
check "... every print test of the offered resolutions and types ran (66)" \
    [ "$(grep -cE 'Print .* @ (360|720)dpi, s(gray|rgb)-8.*\[PASS\]' everywhere)" = 66 ]
check "... none stopped short of its end" grep -q 'onepage-letter @ 720dpi, srgb-8, gzip.*\[PASS\]' everywhere

# --- The document suite: each format as Letter and A4, and at the finest resolution on the
# largest media (A3+ at 1440 dpi), with ipp-attribute-fidelity, retried while busy ---------
printer_uri=$found
write_job_state_test
print_document() { # FORMAT FILE MEDIA DPI: prints it with fidelity, says its state
    {
        ipp_operation Print-Job
        printf 'ATTR mimeMediaType document-format %s\nATTR boolean ipp-attribute-fidelity true\n' "$1"
        printf 'GROUP job-attributes-tag\nATTR keyword media %s\nATTR resolution printer-resolution %sdpi\n' "$3" "$4"
        printf 'FILE %s\nSTATUS successful-ok\nSTATUS server-error-busy REPEAT-MATCH\nREPEAT-LIMIT 100\nDISPLAY job-id\n}\n' "$2"
    } >document.test
    : >"$out/device"
    local job
    job=$(ipptool -tv "$found" document.test </dev/null | sed -n 's/^ *job-id (integer) = //p' | tail -1)
    [ -n "$job" ] && wait_until 120 job_ended "$job" && wait_until 10 device_settled && job_state "$job"
}
# One page of each kind for its row, made by Ghostscript: raster pages and the printer's own
# PNG pages in the row's page size and resolution, photos of a camera's size (the printer
# places them on the page), documents as they come.
make_document() { # FORMAT WIDTHxHEIGHT-IN-DOTS DPI FILE
    local device=pdfwrite size="-r$3 -g$2"
    case $1 in
    application/postscript) device=ps2write ;;
    image/jpeg) device=jpeg size="-r72 -g800x600" ;;
    image/png) device=png16m size="-r72 -g800x600" ;;
    application/vnd.quorvin-png) device=pnggray ;;
    image/pwg-raster) device="pwgraster -dcupsColorSpace=19 -dcupsBitsPerColor=8" ;;
    image/urf) device="urf -dcupsColorSpace=19 -dcupsBitsPerColor=8" ;;
    esac
    gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=$device $size -sOutputFile="$4" \
        -c '/Helvetica findfont 36 scalefont setfont 0.8 0.1 0.1 setrgbcolor 36 36 200 200 rectfill
            0 setgray 72 300 moveto (Quorvin) show showpage' 2>/dev/null
}
while read -r format; do
    while read -r media dots dpi; do
        file=document-${format//\//-}-$media
        make_document "$format" "$dots" "$dpi" "$file"
        state=$(print_document "$format" "$file" "$media" "$dpi")
        colour=colour
        [ "$format" != application/vnd.quorvin-png ] || colour=grey # passed on as it is
        check "$format on $media at $dpi dpi: $state, one page of ${dots} ($(png_images "$out/device"))" \
            [ "$state $(png_images "$out/device")" = "completed $dots $colour" ]
    done <<'ROWS'
na_letter_8.5x11in 3060x3960 360
iso_a4_210x297mm 2976x4209 360
custom_a3plus_329x483.02mm 18652x27384 1440
ROWS
done <<'ROWS'
application/pdf
application/postscript
image/jpeg
image/png
image/pwg-raster
image/urf
application/vnd.quorvin-png
ROWS

# --- Real clients: a browsing cupsd lists it and prints through a temporary queue; so does
# cups-filters' driverless ---------------------------------------------------------------
start_cupsd warn "Browsing On" "BrowseLocalProtocols dnssd"
check "a browsing cupsd lists it (lpstat -e)" wait_until 20 sh -c "lpstat -e | grep -qx quorvin"
gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pdfwrite -sOutputFile=two-pages.pdf two-pages.ps
for job in two-pages.ps two-pages.pdf; do
    : >"$out/device"
    lp -d quorvin "$job" >/dev/null
    check "lp -d quorvin $job: two pages at the printer" \
        wait_until 60 sh -c "[ \$(python3 '$spooler_helpers' png-images '$out/device' | grep -c x) = 2 ] &&
                             ! lpstat -o | grep -q ."
done
kill $cupsd_pid # its temporary queue keeps a connection open
wait $cupsd_pid || true
# driverless asks ippfind with no time to wait; a run may end before the first answer.
listed_by_driverless() { driverless 2>/dev/null | grep -q 'quorvin'; }
check "cups-filters' driverless lists it" wait_until 10 listed_by_driverless

# --- Across restarts, a shutdown that means stopped, a port already taken --------------------
stop_server
check "the shutdown sub-command returned once the server had ended" \
    sh -c "! grep -qs '^State:.*[RSD] ' /proc/$app_pid/status"
start_server app-again.log
check "after a restart, advertised under the same name" wait_until 5 advertised quorvin
check "a second server on the port: a failure, with a message" \
    sh -c "! timeout 10 setpriv --reuid=nobody --regid=nogroup --clear-groups '$app' server -o server-port=8631 \
           -o state-file='$work/second.state' -o log-file=- 2>second.err && grep -q 'cannot listen on port 8631' second.err"
as_service "$app" delete -d quorvin
check "a deleted printer: withdrawn within 5 s" wait_until 5 sh -c "$(declare -f advertised); ! advertised quorvin"
stop_server

# --- Shared: both address families, IPPS advertised with TLS -------------------------------
start_server app-shared.log -o listen-hostname='*'
check "shared: 0.0.0.0 and [::]" sh -c "$(declare -f listening); listening 0.0.0.0 && listening '\[::\]'"
as_service "$app" add -d quorvin -m quorvin-7x -v socket://127.0.0.1:9100
check "... advertised as IPPS too, within 5 s" wait_until 5 advertised quorvin _ipps._tcp
found=$(ippfind -T 5 --name '^quorvin$' _ipps._tcp || true)
check "... its record says TLS: $(python3 "$spooler_helpers" txt-vs-attributes quorvin _ipps._tcp "$found" | tail -1)" \
    sh -c "python3 '$spooler_helpers' txt-vs-attributes quorvin _ipps._tcp '$found' | grep -qx TLS=1.2"
stop_server

finish_checks driverless
