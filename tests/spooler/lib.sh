# Sourced by the spooler tests: runs a real spooler with the installed filter in a private
# mount, network and PID namespace, so that the machine's own /etc, /usr, spool directories
# and print system stay untouched, nothing listens beyond loopback, and every process the
# test starts ends with it. Daemons are stopped by the PID the test saved, never by name.
# A test that cannot run exits 77, which CTest counts as skipped; with
# RAVO_SPOOLER_SKIP_FAILS=1 (as CI sets it) a skip fails instead.
#
#   spooler_test NAME BUILD PACKAGE COMMAND...
#                                        checks root, namespaces and the commands; stages the
#                                        release build's installed tree in $work/stage; sets
#                                        $package to Debian's PACKAGE (if not ""), unpacked,
#                                        not installed, under BUILD/spooler-packages; then
#                                        re-runs the test inside the namespaces
#   enter_private_system                 overlays /etc, /usr (the staged tree, the package
#                                        on top) and /dev, empties /run and /var/spool,
#                                        brings loopback up, writes /etc/ravorc (grey, 72
#                                        dpi, A4: 595x841) and $work/two-pages.ps
#   check DESCRIPTION COMMAND...         one check; finish_checks NAME reports them all
#   print_to QUEUE FILE...               prints with the spooler's lpr, waits until lpq
#                                        shows $queue_idle; $out/device then holds the job
#   check_lpd_queue                      what an lpd-style queue "quorvin" must do: two-page
#                                        PostScript, text and binary jobs, and a rejected job
#                                        with a text job behind it in one run of the queue
#   start_cupsd LOGLEVEL [LINE...]       a private cupsd: configuration, spool and logs under
#                                        $work, listening on 127.0.0.1:631 and the usual
#                                        local socket, the lines added to cupsd.conf; stopped
#                                        by its PID ($cupsd_pid) when the test ends
#   start_avahi                          a private system bus and avahi-daemon, on loopback
#                                        alone, for DNS-SD; stopped by their PIDs
#   started PID                          a daemon to stop by its PID when the test ends
#   png_images FILE                      "WIDTHxHEIGHT grey|colour" for each PNG in FILE
#   wait_until SECONDS COMMAND...        polls the command every 0.2 s

spooler_skip() {
    echo "skipped: $*"
    [ "${RAVO_SPOOLER_SKIP_FAILS:-}" != 1 ] || { echo "FAILED: a spooler test may not be skipped here"; exit 1; }
    exit 77
}

spooler_test() {
    local name=$1 package_name=$3 command
    build=$2
    shift 3
    work=$build/$name-test
    out=$work/out # device files and logs
    package=${package_name:+$build/spooler-packages/$package_name}
    spooler_helpers=$(realpath tests/spooler/helpers.py)
    [ "$(id -u)" -eq 0 ] || spooler_skip "needs root for private namespaces"
    for command in unshare ip python3 pngcheck "$@"; do
        command -v "$command" >/dev/null || spooler_skip "$command is not installed"
    done
    if [ "${RAVO_IN_NAMESPACE:-}" = 1 ]; then return; fi
    unshare --mount --net --pid --fork --mount-proc true 2>/dev/null ||
        spooler_skip "no private mount, network and PID namespace"
    [ -z "$package_name" ] || [ -d "$package" ] || fetch_package "$package_name"
    rm -rf "$work"
    mkdir -p "$work"/{stage,out}
    DESTDIR=$work/stage cmake --install "$build" --prefix /usr >/dev/null
    exec env RAVO_IN_NAMESPACE=1 unshare --mount --net --pid --fork --mount-proc \
        --propagation private "$0" "$build"
}

fetch_package() {
    local cache=$build/spooler-packages
    mkdir -p "$cache"
    (cd "$cache" && rm -f "$1"_*.deb && apt-get download -q "$1" >/dev/null 2>&1) ||
        spooler_skip "apt-get download $1 failed"
    dpkg-deb -x "$cache/$1"_*.deb "$cache/$1.new" && mv "$cache/$1.new" "$cache/$1"
}

enter_private_system() {
    mkdir -p "$work"/{etc,dev}-{upper,work}
    mount -t overlay overlay -o "lowerdir=/etc,upperdir=$work/etc-upper,workdir=$work/etc-work" /etc
    mount -t overlay overlay -o "lowerdir=${package:+$package/usr:}$work/stage/usr:/usr" /usr
    mount -t overlay overlay -o "lowerdir=/dev,upperdir=$work/dev-upper,workdir=$work/dev-work" /dev
    mount -t tmpfs tmpfs /run
    mount -t tmpfs tmpfs /var/spool
    ip link set lo up
    printf '[Quorvin 7X Series]\nink=MONO\nresolution=72\nmediasize=A4\n' >/etc/ravorc
    cat >"$work/two-pages.ps" <<'EOF'
%!PS-Adobe-3.0
%%Pages: 2
/Helvetica findfont 24 scalefont setfont
72 700 moveto (Page one) show showpage
72 700 moveto (Page two) show showpage
EOF
    chmod 0777 "$work/out" # the spooler's user writes the device files and logs here
}

spooler_failures=0
check() {
    local what=$1
    shift
    if "$@"; then
        echo "ok: $what"
    else
        echo "FAILED: $what"
        spooler_failures=$((spooler_failures + 1))
    fi
}

finish_checks() {
    [ "$spooler_failures" -eq 0 ] || exit 1
    echo "$1 spooler test passed"
}

print_to() {
    local queue=$1
    shift
    : >"$out/device"
    lpr -P "$queue" "$@"
    wait_until "${WAIT:-30}" sh -c "lpq -P $queue | grep -q '$queue_idle'"
}

check_lpd_queue() {
    print_to quorvin "$work/two-pages.ps"
    check "two-page PostScript job: two grey PNG pages of 595x841 ($(png_images "$out/device" | tr '\n' ' '))" \
        [ "$(png_images "$out/device")" = "$(printf '595x841 grey\n595x841 grey')" ]

    printf 'Plain text for the queue,\nbyte for byte.\n' >"$work/text"
    print_to quorvin "$work/text"
    check "text job arrives byte for byte" cmp -s "$work/text" "$out/device"

    { printf 'binary'; head -c 3000000 /dev/urandom; head -c 1000 /dev/zero; } >"$work/binary"
    print_to quorvin "$work/binary"
    check "3 MB binary job with NUL bytes arrives byte for byte" cmp -s "$work/binary" "$out/device"

    printf '%%!PS\nnot-an-operator\nshowpage\n' >"$work/broken.ps"
    lpc stop quorvin >/dev/null
    lpr -P quorvin "$work/broken.ps"
    : >"$out/device"
    lpr -P quorvin "$work/text"
    lpc start quorvin >/dev/null
    wait_until 30 sh -c "lpq -P quorvin | grep -q '$queue_idle'"
    check "after a rejected job the next one arrives clean, with no form feed before it" \
        cmp -s "$work/text" "$out/device"
}

# Daemons the test started, stopped by their PIDs when it ends.
started_pids=()
started() {
    started_pids+=("$1")
    trap stop_started EXIT
}
stop_started() {
    local pid
    for pid in "${started_pids[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
}

start_cupsd() {
    mkdir -p "$work"/{conf/ppd,spool/temp,cache,state,log} /run/cups
    cat >"$work/conf/cupsd.conf" <<EOF
Listen 127.0.0.1:631
Listen /run/cups/cups.sock
LogLevel $1
$(shift; printf '%s\n' "$@")
DirtyCleanInterval 0
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
    started $cupsd_pid
    wait_until 10 test -S /run/cups/cups.sock
}

start_avahi() {
    mkdir -p /run/dbus /run/avahi-daemon
    ip link set lo multicast on
    dbus-daemon --system --nofork --nopidfile &
    started $!
    wait_until 10 test -S /run/dbus/system_bus_socket
    cat >"$work/avahi-daemon.conf" <<EOF
[server]
use-ipv4=yes
use-ipv6=no
allow-interfaces=lo
enable-dbus=yes
[wide-area]
enable-wide-area=no
[publish]
publish-hinfo=no
publish-workstation=no
EOF
    avahi-daemon -f "$work/avahi-daemon.conf" --no-drop-root --no-chroot --no-rlimits &
    started $!
    wait_until 10 avahi-daemon -c
}

# ipptool against the printer application, at the URI in $printer_uri: an operation's
# request header, and a job's state and message once write_job_state_test has run (in the
# working directory).
ipp_operation() {
    printf '{\nOPERATION %s\nGROUP operation-attributes-tag\n' "$1"
    printf 'ATTR charset attributes-charset utf-8\nATTR naturalLanguage attributes-natural-language en\n'
    printf 'ATTR uri printer-uri $uri\nATTR name requesting-user-name $user\n'
}
write_job_state_test() {
    ipp_operation Get-Job-Attributes >state.test
    printf 'ATTR integer job-id $job\nSTATUS successful-ok\nDISPLAY job-state\nDISPLAY job-state-message\n}\n' >>state.test
}
job_state() { ipptool -tv -d job="$1" "$printer_uri" state.test | sed -n 's/^ *job-state (enum) = //p'; }
job_message() { ipptool -tv -d job="$1" "$printer_uri" state.test | sed -n 's/^ *job-state-message ([^)]*) = //p'; }
job_ended() { case $(job_state "$1") in completed | aborted | canceled) return 0 ;; esac; return 1; }
# Waits until the printer has written all it got: the device file $out/device stops growing.
device_settled() {
    local before
    before=$(stat -c %s "$out/device")
    sleep 0.3
    [ "$(stat -c %s "$out/device")" = "$before" ]
}

png_images() { python3 "$spooler_helpers" png-images "$1"; }

wait_until() {
    local seconds=$1 tries
    shift
    for tries in $(seq $((seconds * 5))); do
        "$@" && return 0
        sleep 0.2
    done
    return 1
}
