#!/usr/bin/env bash
# ravofilter inside a real CUPS spooler. A private cupsd (its own configuration, spool and
# logs under build/cups-test, listening only on loopback) gets a queue whose device is a file
# and whose PPD routes jobs through the installed CUPS wrapper and ravofilter, staged from
# the release build. It runs in a private mount namespace whose /etc is an overlay, so the
# filter reads the test's own /etc/ravorc while the machine's /etc stays untouched.
# Usage: tests/spooler/cups-test.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/../.."
build=$(realpath "${1:-build}")
work=$build/cups-test

skip() { echo "skipped: $*"; exit 0; }
[ "$(id -u)" -eq 0 ] || skip "needs root for a private mount namespace and cupsd"
for command in cupsd lp lpadmin lpstat ipptool pngcheck unshare; do
    command -v $command >/dev/null || skip "$command is not installed"
done

if [ "${RAVO_IN_NAMESPACE:-}" != 1 ]; then
    rm -rf "$work"
    mkdir -p "$work"/{stage,etc-upper,etc-work}
    DESTDIR=$work/stage cmake --install "$build" --prefix /usr >/dev/null
    exec env RAVO_IN_NAMESPACE=1 unshare --mount --propagation private "$0" "$@"
fi

mount -t overlay overlay -o "lowerdir=/etc,upperdir=$work/etc-upper,workdir=$work/etc-work" /etc
printf '[Quorvin 7X Series]\nink=MONO\nresolution=72\nmediasize=A4\n' >/etc/ravorc

mkdir -p "$work"/{conf/ppd,spool/temp,cache,state,log,out}
chmod 0755 "$work" "$work/out"
port=$((20000 + RANDOM % 20000))
server=127.0.0.1:$port
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
for _ in $(seq 50); do lpstat -h "$server" -r >/dev/null 2>&1 && break; sleep 0.2; done

failures=0
check() { # description, then a command that must succeed
    local what=$1
    shift
    if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}

# The shipped PPD, pointed at the staged wrapper; this test queue also hands text jobs to
# the filter unconverted, as lpd does, so that the copy road is seen through the spooler.
wrapper=$work/stage/usr/lib/cups/filter/ravofilter-cups
sed "s|0 ravofilter-cups\"|0 $wrapper\"|" examples/cups/quorvin-7x.ppd >"$work/quorvin.ppd"
echo "*cupsFilter2: \"text/plain application/vnd.quorvin-png 0 $wrapper\"" >>"$work/quorvin.ppd"
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

png_size() { # width x height of the PNG in the device file, from its IHDR chunk
    od -An -tu1 -j16 -N8 out/device | awk '{printf "%dx%d", $1*2^24+$2*2^16+$3*2^8+$4, $5*2^24+$6*2^16+$7*2^8+$8}'
}
state=$(print_job "$OLDPWD/examples/sample.ps" application/postscript)
check "PostScript job printed (state $state)" [ "$state" = completed ]
check "device holds valid PNG data" pngcheck -q out/device
check "page is 595x841 grey as /etc/ravorc says (got $(png_size))" [ "$(png_size)" = 595x841 ]
check "grey PNG" sh -c "pngcheck -v out/device | grep -q grayscale"

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

if [ $failures -ne 0 ]; then
    echo "--- error_log (tail)"
    tail -n 40 log/error_log
    exit 1
fi
echo "CUPS spooler test passed"
