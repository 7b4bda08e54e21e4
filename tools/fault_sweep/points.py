"""The fault sweep's injection points (scripts/fault-sweep): read from the clean sessions'
traces under WORK/points/clean-{run,recover}, written to WORK/points.list (every position, or
those of SWEEP_CALLS) and WORK/chosen.list (SWEEP_POINTS of them, evenly spread, each with its
number). Prints "positions: TOTAL, sweeping CHOSEN".

Usage: points.py WORK
"""

import os
import re
import sys
from pathlib import Path

# The error each call gets. EINTR wherever the call can be interrupted, then one failure that
# the call can plausibly meet. Nothing for close (a failed close still closes), getpid, geteuid
# and the exits: no failure of theirs is plausible.
ERRORS = {
    "openat": "EINTR EMFILE",
    "read": "EINTR EIO",
    "write": "EINTR ENOSPC EIO",
    "fsync": "EINTR EIO ENOSPC",
    "fchmod": "EINTR EPERM",
    "pread64": "EINTR EIO",
    "waitid": "EINTR EINVAL",
    "pidfd_open": "EINTR EMFILE",
    "pidfd_send_signal": "EINTR EPERM",
    "clock_nanosleep": "EINTR",
    "poll": "EINTR ENOMEM",
    "recvfrom": "EINTR ECONNRESET",
    "sendto": "EINTR EPIPE",
    "connect": "EINTR ECONNREFUSED",
    "newfstatat": "EINTR EACCES",
    "statx": "ENOSYS EIO",
    "fgetxattr": "EOPNOTSUPP",
    "readlink": "EACCES",
    "fcntl": "EINVAL",
    "memfd_create": "EMFILE ENOSYS",
    "pipe2": "EMFILE",
    "clone": "EAGAIN",
    "socket": "EMFILE",
    "setsockopt": "ENOMEM",
    "ioctl": "EIO",
    "rt_sigaction": "EINVAL",
    "prctl": "EINVAL",
    "close_range": "ENOSYS",
}

# The forked children between fork and exec: calls the supervisor itself never makes. (A
# child's PR_SET_PDEATHSIG cannot be hit alone: strace counts calls per process, and the
# supervisor's own first prctl, the one that makes it a subreaper, comes first in its count;
# the containment tests fail a hook.)
CHILD_POINTS = [
    "run rt_sigprocmask:EINVAL:1 -f -e inject=rt_sigprocmask:error=EINVAL:when=1",
    "run close_range:ENOSYS:1 -f --seccomp-bpf -e trace=close_range -e inject=close_range:error=ENOSYS",
    "recover close_range:ENOSYS:1 -f --seccomp-bpf -e trace=close_range -e inject=close_range:error=ENOSYS",
    "run getppid:retval1:1 -f -e inject=getppid:retval=1",
]

CALL = re.compile(r"^([a-z_0-9]+)\(")
# The supervisor's first instruction of its own ignores SIGPIPE: the dynamic loader's calls
# before that are not the program's.
OWN_START = re.compile(r"rt_sigaction\(SIGPIPE")


def supervisor_calls(trace):
    """The names of the supervisor's own calls in a strace -f log whose first line is its own,
    split into those before its first instruction of its own and those from it on."""
    lines = trace.split("\n")
    if not lines or not lines[0]:
        return [], []
    main_pid = lines[0].split(" ")[0]
    own = [re.sub(rf"^{re.escape(main_pid)} *", "", line) for line in lines if line.startswith(main_pid + " ")]
    start = next((i for i, line in enumerate(own) if OWN_START.match(line)), len(own))

    def names(part):
        return [m.group(1) for m in map(CALL.match, part) if m]

    return names(own[:start]), names(own[start:])


def call_points(mode, before, calls):
    """One point per error and per position of each call the supervisor made: when=N counts
    from the process's first call, loader's calls included."""
    points = []
    for name in sorted(set(calls)):
        offset, count = before.count(name), calls.count(name)
        for errno in ERRORS.get(name, "").split():
            for n in range(offset + 1, offset + count + 1):
                points.append(f"{mode} {name}:{errno}:{n} -e inject={name}:error={errno}:when={n}")
    return points


def executable_fd(record, name):
    """The descriptor number a stand-in child recorded for the executable called name."""
    pattern = re.compile(rf"^fd ([0-9]*) .*/{re.escape(name)}$")
    for line in record.split("\n"):
        if m := pattern.match(line):
            return m.group(1)
    return ""


def exec_points(core_fd, run_node_fd, recover_node_fd):
    """The exec of a descriptor path that only a child executes."""
    return [
        f"run execve:EACCES:core -f -P /proc/self/fd/{core_fd} -e trace=execve -e inject=execve:error=EACCES",
        f"run execve:ENOEXEC:guard -f -P /proc/self/fd/{run_node_fd} -e trace=execve -e inject=execve:error=ENOEXEC",
        f"recover execve:ENOMEM:guard -f -P /proc/self/fd/{recover_node_fd} -e trace=execve "
        "-e inject=execve:error=ENOMEM",
    ]


def only_calls(points, calls):
    """The points of the named system calls (SWEEP_CALLS, space-separated), or all."""
    if calls is None:
        return points
    wanted = set(calls.split())
    return [p for p in points if p.split()[1].split(":")[0] in wanted]


def spread(points, wanted):
    """wanted of the points, evenly spread, each with its 1-based number."""
    total = len(points)
    wanted = min(wanted, total)
    if wanted <= 0:
        return []
    step = total / wanted
    chosen, next_pick = [], 0.0
    for number, point in enumerate(points, 1):
        if number - 1 >= next_pick and len(chosen) < wanted:
            chosen.append(f"{number} {point}")
            next_pick += step
    return chosen


def read(path):
    try:
        return Path(path).read_text(errors="replace")
    except FileNotFoundError:
        return ""


def main(argv):
    work = Path(argv[1])
    clean = work / "points"
    points = []
    for mode in ("run", "recover"):
        points += call_points(mode, *supervisor_calls(read(clean / f"clean-{mode}" / "trace")))
    points += CHILD_POINTS
    points += exec_points(executable_fd(read(clean / "clean-run" / "core.record"), "sing-box"),
                          executable_fd(read(clean / "clean-run" / "preflight.record"), "node"),
                          executable_fd(read(clean / "clean-recover" / "cleanup.record"), "node"))
    points = only_calls(points, os.environ.get("SWEEP_CALLS") or None)
    chosen = spread(points, int(os.environ.get("SWEEP_POINTS") or len(points)))
    (work / "points.list").write_text("".join(p + "\n" for p in points))
    (work / "chosen.list").write_text("".join(p + "\n" for p in chosen))
    print(f"positions: {len(points)}, sweeping {len(chosen)}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
