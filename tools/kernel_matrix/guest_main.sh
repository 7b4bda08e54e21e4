# The check's side inside a guest, run as its first process once the root is in place: by the
# host's bash on x86-64, by busybox sh in the arm64 userland. Settings come from matrix.env
# beside it; every result is a line of "report" there, which the host reads.
share=/run/matrix
# shellcheck source=/dev/null
. "$share/matrix.env"
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 TMPDIR=/tmp
report() { echo "$*" >>"$share/report"; }
now() { read -r up _ </proc/uptime; echo "$up"; }
# Runs a named step with its output in STEP.log; a line "step NAME passed|failed SECONDS".
step() {
    name=$1
    shift
    started=$(now)
    if "$@" >"$share/$name.log" 2>&1; then outcome=passed; else outcome=failed; fi
    report "step $name $outcome $(awk -v a="$started" -v b="$(now)" 'BEGIN { printf "%.1f", b - a }')"
}
finish() {
    report "guest finished"
    sync
    echo o >/proc/sysrq-trigger
    sleep 60
}

# One demo session under strace, started with descriptor 7 open and not close-on-exec.
cloexec_check() {
    trace=/tmp/cloexec.strace
    # Whether the session itself succeeds is the demo step's business: this one looks only at
    # the calls.
    strace -f -qq -e trace=close_range,fcntl,openat -o "$trace" \
        "$MATRIX_TREE/build/quillmere-reference-parent" demo 7</etc/hostname || true
    refused='close_range\(3, [0-9]+, CLOSE_RANGE_CLOEXEC\) = -1 EINVAL'
    grep -E 'close_range|/proc/self/fd"|fcntl\(7, F_SETFD' "$trace"
    if [ "$1" = walk ]; then
        grep -Eq "$refused" "$trace" && grep -q 'openat(AT_FDCWD, "/proc/self/fd"' "$trace" &&
            grep -Eq 'fcntl\(7, F_SETFD, FD_CLOEXEC\) += 0' "$trace"
    else
        ! grep -Eq "$refused" "$trace" && grep -Eq 'close_range\(3, [0-9]+, CLOSE_RANGE_CLOEXEC\) = 0' "$trace"
    fi
}

if [ "$MATRIX_ARCH" = arm64 ]; then /bin/busybox --install -s /bin; fi
report "release $(uname -r)"
mkdir -p /dev/pts /dev/shm
mount -t devpts -o gid=5,mode=620,ptmxmode=666 devpts /dev/pts
mount -t tmpfs -o mode=1777 tmpfs /dev/shm
[ -d /sys/fs/cgroup ] && mount -t cgroup2 cgroup2 /sys/fs/cgroup 2>/dev/null
ip link set lo up || report "step loopback failed 0"
# Modules the kernel asks for later come from the guest kernel's own tree, not the host's.
if [ -n "${MATRIX_MODULES:-}" ] && [ -x /usr/sbin/modprobe ]; then
    printf '#!/bin/sh\nexec /usr/sbin/modprobe -d %s "$@"\n' "$MATRIX_MODULES" >/run/modprobe
    chmod 0755 /run/modprobe
    echo /run/modprobe >/proc/sys/kernel/modprobe
fi
# The work tree, writable for what the tests write into it, on tmpfs.
mkdir -p /tmp/.tree/upper /tmp/.tree/work "$MATRIX_TREE"
mount -t overlay overlay -o "lowerdir=$MATRIX_TREE_LOWER,upperdir=/tmp/.tree/upper,workdir=/tmp/.tree/work" "$MATRIX_TREE" ||
    { report "step tree failed 0"; finish; }
cd "$MATRIX_TREE" || finish

if [ "$MATRIX_ARCH" = arm64 ]; then
    step tests sh "$share/arm64-tests"
    grep -E '^ *([0-9]+/[0-9]+ +)?Test +#' "$share/tests.log" >>"$share/report"
    build=$MATRIX_TREE/out/arm64
    printf '%s\n' "'use strict';" \
        "const [mode, , platform, flag, fd] = process.argv.slice(2);" \
        "if (flag !== '--sealed-config-fd' || platform !== 'linux') process.exit(2);" \
        "JSON.parse(require('node:fs').readFileSync('/proc/self/fd/' + Number(fd), 'utf8'));" \
        "process.exit(mode === 'preflight' || mode === 'cleanup' ? 0 : 2);" >/tmp/guard.cjs
    printf '{"log":{"level":"warn"},"inbounds":[],"outbounds":[]}\n' >/tmp/tun.json
    chmod 0644 /tmp/guard.cjs /tmp/tun.json
    # How long Debian's node takes to start here, against the guard's 6 s.
    step node-start /usr/bin/node -e 0
    # A guard that cannot start within its time cannot say yes: where node takes more than half
    # of it to start (TCG on a slow machine), the stand-in plays the runtime, and the host is told.
    started_in=$(sed -n 's/^step node-start passed //p' "$share/report")
    guard_node=${MATRIX_GUARD_NODE:-auto}
    if [ "$guard_node" = auto ]; then
        guard_node=real
        if [ -z "$started_in" ] || awk -v s="$started_in" 'BEGIN { exit !(s > 3) }'; then
            guard_node=stand-in
            report "note the stand-in played the guard's runtime: node took ${started_in:-too long} s to start, the guard has 6 s"
        fi
    fi
    node=/usr/bin/node
    [ "$guard_node" = stand-in ] && node=$build/test-programs/stand_in_child
    session="--core $build/quillmere-demo-core --guard /tmp/guard.cjs --config /tmp/tun.json --node $node"
    # shellcheck disable=SC2086
    step run "$build/quillmere-reference-parent" session $session --stop-after 2
    # shellcheck disable=SC2086
    step recover "$build/quillmere-reference-parent" session $session --recover
else
    # The differential's 500 generated directories took more than its 300 s under TCG; a guest
    # checks the kernel's side of each refusal, for which a hundred are plenty.
    export QUILLMERE_DIFFERENTIAL_CASES="${QUILLMERE_DIFFERENTIAL_CASES:-100}"
    # shellcheck disable=SC2086 # words of their own
    # A test that fails is run once more: a guest under TCG on a busy machine is slow, and what
    # passes only the second time is listed as such.
    ctest --test-dir "$MATRIX_TREE/build" -j2 --timeout 300 --repeat until-pass:2 --output-on-failure $MATRIX_CTEST_ARGS >"$share/tests.log" 2>&1
    grep -E '^ *([0-9]+/[0-9]+ +)?Test +#' "$share/tests.log" >>"$share/report"
    step demo "$MATRIX_TREE/build/quillmere-reference-parent" demo
    # Which way the supervisor marks inherited descriptors close-on-exec: close_range with
    # CLOSE_RANGE_CLOEXEC from 5.11 on, before that a walk of /proc/self/fd that must still find
    # the descriptor leaked to it here.
    release=$(uname -r)
    major=${release%%.*}
    minor=${release#*.}
    minor=${minor%%.*}
    if [ "$major" -lt 5 ] || { [ "$major" -eq 5 ] && [ "$minor" -lt 11 ]; }; then way=walk; else way=close-range; fi
    step "cloexec-$way" cloexec_check "$way"
    step pkexec env BUILD_DIR="$MATRIX_TREE/build" "$MATRIX_TREE/scripts/check-pkexec"
fi
finish
