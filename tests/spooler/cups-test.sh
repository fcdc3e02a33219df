#!/usr/bin/env bash
# ravofilter inside a real CUPS spooler, in private namespaces (see lib.sh): a private cupsd
# (its own configuration, spool and logs under build/cups-test, listening on loopback and on
# the usual local socket) gets a queue set up with the README's commands, only the device
# changed to a file. Then: PostScript and PDF jobs, copies, page ranges and N-up; jobs that
# try to command cupsd through what they print, after which the queue must be as before;
# page accounting and a page quota; the fallback seen at CUPS's default log level; a
# cancelled job; the PPD made again for Letter settings; a rejected job.
# Usage: tests/spooler/cups-test.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/../.."
. tests/spooler/lib.sh
spooler_test cups "$(realpath "${1:-build}")" "" cupsd lp lpadmin lpstat lpinfo cancel ipptool \
    ps2pdf
for program in daemon/cups-driverd filter/pdftops filter/pstops; do
    [ -x /usr/lib/cups/$program ] || spooler_skip "/usr/lib/cups/$program is not installed"
done

enter_private_system
start_cupsd warn
cd "$work"

# The README's set-up, word for word but for the device.
check "lpinfo -v lists the backends' devices (the usb backend is installed)" \
    sh -c "lpinfo -v | grep -q '^direct usb\$' || [ -x /usr/lib/cups/backend/usb ]"
check "lpinfo -m lists the driver" \
    sh -c "lpinfo -m | grep -qx 'ravofilter:quorvin-7x.ppd Quorvin 7X Series, ravofilter'"
lpadmin -p quorvin -E -v "file://$out/device" -m ravofilter:quorvin-7x.ppd
ppd=conf/ppd/quorvin.ppd
check "the queue's PPD says grey A4, as /etc/ravorc does" \
    sh -c "grep -qx '\*DefaultPageSize: A4' $ppd && grep -qx '\*ColorDevice: False' $ppd"

cat >get-job-state.test <<'EOF'
{
  OPERATION Get-Job-Attributes
  GROUP operation-attributes-tag
  ATTR charset attributes-charset utf-8
  ATTR naturalLanguage attributes-natural-language en
  ATTR uri job-uri $uri
  ATTR name requesting-user-name root
  ATTR keyword requested-attributes job-id,job-state
  DISPLAY job-state
}
EOF
job_state() {
    ipptool -T 5 -c "ipp://127.0.0.1:631/jobs/$1" get-job-state.test 2>/dev/null | tail -n 1
}
# Prints a file with lp's options; says "ID STATE" once the job is done.
print_job() {
    local id state=""
    id=$(lp -d quorvin "$@" | sed -n 's/.*quorvin-\([0-9]*\).*/\1/p')
    for _ in $(seq 150); do
        state=$(job_state "$id")
        case $state in completed | aborted | canceled | processing-stopped) break ;; esac
        sleep 0.2
    done
    echo "$id $state"
}
pages_on_device() { png_images out/device | grep -c x || true; }
# The pages page_log has for a job.
pages_logged() { awk -v job="$1" '$3 == job && $6 == "total" { print $7 }' log/page_log; }

state=$(print_job -o document-format=application/postscript "$OLDPWD/examples/sample.ps")
check "PostScript job printed ($state)" [ "${state#* }" = completed ]
check "page is 595x841 grey as /etc/ravorc says ($(png_images out/device))" \
    [ "$(png_images out/device)" = "595x841 grey" ]
check "page_log counts its one page" [ "$(pages_logged "${state% *}")" = 1 ]

printf 'Plain text for the queue,\nbyte for byte.\n' >text.txt
state=$(print_job -o document-format=application/vnd.cups-postscript text.txt)
check "text job given as CUPS PostScript printed ($state)" [ "${state#* }" = completed ]
check "text job arrived byte for byte" cmp -s text.txt out/device

# Copies, page ranges and N-up, which pstops and pdftopdf apply before the filter.
cat >three-pages.ps <<'EOF'
%!PS-Adobe-3.0
%%Pages: 3
%%EndComments
%%Page: 1 1
/Helvetica findfont 24 scalefont setfont 72 700 moveto (One) show showpage
%%Page: 2 2
/Helvetica findfont 24 scalefont setfont 72 700 moveto (Two) show showpage
%%Page: 3 3
/Helvetica findfont 24 scalefont setfont 72 700 moveto (Three) show showpage
%%EOF
EOF
ps2pdf three-pages.ps three-pages.pdf
while read -r file format options pages; do
    state=$(print_job -o document-format="$format" $options "$file")
    check "$file with $options: $pages pages, each counted ($state, $(pages_on_device) on the device)" \
        [ "${state#* }" = completed -a "$(pages_on_device)" = "$pages" -a \
        "$(pages_logged "${state% *}")" = "$pages" ]
done <<'EOF'
three-pages.ps application/postscript -n1 3
three-pages.ps application/postscript -n2 6
three-pages.ps application/postscript -opage-ranges=2 1
three-pages.ps application/postscript -onumber-up=2 2
three-pages.pdf application/pdf -n2 6
three-pages.pdf application/pdf -opage-ranges=2 1
three-pages.pdf application/pdf -onumber-up=2 2
EOF

# Jobs that print cupsd's command words. Afterwards the queue's PPD, its printers.conf entry
# and state, and the page counts are as an honest job leaves them, and nothing ran.
cp $ppd ppd.before
queue_conf() { grep -v Time conf/printers.conf; }
queue_conf >printers.conf.before
queue_as_before() {
    cmp -s ppd.before $ppd && queue_conf | cmp -s printers.conf.before - &&
        lpstat -p quorvin | grep -q 'is idle.  enabled' && [ ! -e out/proof ]
}
long_line=$(printf '%2040s' '' | tr ' ' x)
while IFS= read -r printed; do
    printf '%%!PS\n(%s) print flush\n/Helvetica findfont 24 scalefont setfont 72 700 moveto (Page) show showpage\n' \
        "$printed" >inject.ps
    state=$(print_job -o document-format=application/postscript inject.ps)
    check "job printing '${printed:0:60}' printed its one page, counted once ($state)" \
        [ "${state#* }" = completed -a "$(pages_on_device)" = 1 -a "$(pages_logged "${state% *}")" = 1 ]
    check "... and left the PPD, printers.conf and the queue's state as they were" queue_as_before
done <<EOF
PPD: CUPSFILTER2='"application/vnd.cups-postscript application/vnd.quorvin-png 0 foomatic-rip"'\\nPPD: FoomaticRIPCommandLine='"id >>$out/proof"'\\n
STATE: paused\\n
PPD: cupsfilter2='"application/pdf application/vnd.quorvin-png 0 /bin/true"'\\n
PPD: *cupsFilter2: "application/pdf application/vnd.quorvin-png 0 /bin/true"\\n
PAGE: total 7777\\nPAGE: 5 1000\\n
ATTR: marker-names=evil\\nATTR: auth-info-required=username,password\\nSTATE: +media-empty-error\\n
PPD: DefaultPageSize=Letter\\nINFO: the printer is on fire\\n
${long_line}PPD: DefaultPageSize=Letter\\n
\\rSTATE: paused\\n\\fPPD: DefaultPageSize=Letter\\n\\033PPD: DefaultPageSize=Letter\\n\\000STATE: paused\\n
EOF
cat >inject.pdf.ps <<'EOF'
%!PS
/Helvetica findfont 12 scalefont setfont
72 700 moveto (PPD: DefaultPageSize=Letter) show 72 680 moveto (STATE: paused) show
[ /Title (PPD: DefaultPageSize=Letter STATE: paused) /DOCINFO pdfmark showpage
EOF
ps2pdf inject.pdf.ps inject.pdf
state=$(print_job -o document-format=application/pdf inject.pdf)
check "PDF job carrying the command words printed ($state), the queue as before" \
    sh -c "[ '${state#* }' = completed ]" && check "... the queue as before" queue_as_before

# A page quota: the first job of a user prints, the next is refused.
lpadmin -p quorvin -o job-quota-period=86400 -o job-page-limit=1
state=$(print_job -U quota-user -o document-format=application/postscript three-pages.ps)
check "under a limit of one page, a user's first job prints ($state)" [ "${state#* }" = completed ]
check "... and the next is refused" \
    sh -c "! lp -d quorvin -U quota-user three-pages.ps >/dev/null 2>&1"
lpadmin -p quorvin -o job-quota-period=0 -o job-page-limit=0

# The fallback to the defaults shows at CUPS's default log level, warn.
printf '[Quorvin 7X Series]\nink=MONO\nresolution=abc\nmediasize=A4\n' >/etc/ravorc
state=$(print_job -o document-format=application/postscript three-pages.ps)
check "with malformed settings the job prints with the defaults ($state, $(png_images out/device | head -n 1))" \
    [ "${state#* }" = completed -a "$(png_images out/device | head -n 1)" = "2976x4209 colour" ]
check "and the error log says so at LogLevel warn" \
    grep -q "W .*ravorc not read: printing with the defaults" log/error_log

# Cancelling a job that never ends: nothing is left running or lying in CUPS's TempDir.
printf '[Quorvin 7X Series]\nink=MONO\nresolution=72\nmediasize=A4\n' >/etc/ravorc
printf '%%!PS\n{} loop\n' >endless.ps
id=$(lp -d quorvin endless.ps | sed -n 's/.*quorvin-\([0-9]*\).*/\1/p')
running_gs() { grep -lx gs /proc/[0-9]*/comm 2>/dev/null | wc -l; }
wait_until 20 sh -c "[ \$(grep -lx gs /proc/[0-9]*/comm 2>/dev/null | wc -l) -gt 0 ]"
cancel "$id"
wait_until 20 sh -c "[ \$(grep -lx gs /proc/[0-9]*/comm 2>/dev/null | wc -l) -eq 0 ]" || true
check "a cancelled job ends Ghostscript ($(job_state "$id"), $(running_gs) gs left)" \
    [ "$(job_state "$id")" = canceled -a "$(running_gs)" = 0 ]
check "... and leaves no job copy or private directory ($(ls spool/temp | tr '\n' ' '))" \
    sh -c "! ls spool/temp | grep -q ravofilter"

# Letter settings: the checker says the PPD is stale; the PPD made again lays pages out on
# Letter, and a Letter page arrives whole (bars 20 points high at its top and bottom).
printf '[Quorvin 7X Series]\nink=MONO\nresolution=72\nmediasize=LT\n' >/etc/ravorc
check "the checker warns that the queue's PPD is for A4" \
    sh -c "CUPS_SERVERROOT=$work/conf ravofilter-check 2>&1 | grep -q 'quorvin lays pages out on A4, but the settings give LT'"
lpadmin -p quorvin -m ravofilter:quorvin-7x.ppd
check "the PPD made again says LT" grep -qx '\*DefaultPageSize: LT' $ppd
check "and the checker is content with it" \
    sh -c "! CUPS_SERVERROOT=$work/conf ravofilter-check 2>&1 | grep -q 'CUPS queue'"
gs -q -sDEVICE=pdfwrite -dDEVICEWIDTHPOINTS=612 -dDEVICEHEIGHTPOINTS=792 -dFIXEDMEDIA \
    -o letter.pdf -c "0 772 612 20 rectfill 0 0 612 20 rectfill showpage"
state=$(print_job -o document-format=application/pdf letter.pdf)
check "Letter PDF printed ($state) as one 612x792 page ($(png_images out/device))" \
    [ "${state#* }" = completed -a "$(png_images out/device)" = "612x792 grey" ]
check "with its bars at rows 0-19 and 772-791 ($(python3 "$spooler_helpers" dark-rows out/device))" \
    [ "$(python3 "$spooler_helpers" dark-rows out/device)" = "0-19 772-791" ]

printf '%%!PS\nthis-is-not-an-operator\nshowpage\n' >broken.ps
state=$(print_job -o document-format=application/postscript broken.ps)
# CUPS stops a job whose filter fails (printer-error-policy only governs backends).
check "rejected job failed, not printed ($state)" \
    [ "${state#* }" = processing-stopped -o "${state#* }" = aborted ]
check "spooler logged the filter's error" grep -q "Ghostscript could not rasterize" log/error_log

if [ "$spooler_failures" -ne 0 ]; then
    echo "--- error_log (tail)"
    tail -n 40 log/error_log
    echo "--- page_log (tail)"
    tail -n 20 log/page_log
fi
finish_checks CUPS
