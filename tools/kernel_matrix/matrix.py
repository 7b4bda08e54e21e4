#!/usr/bin/env python3
"""Boots Debian's own kernels as qemu guests (TCG, no KVM needed) and runs the project's tests in
each: on x86-64 with the host's userland shared read-only over 9p, on arm64 with a userland
unpacked from Debian's arm64 packages. Prints one line per kernel and a total; exits 1 when any
test failed, 2 when a tool is missing.

Knobs (environment):
  KERNELS             which guests, by name (default: all); names: bullseye-amd64 bookworm-amd64 bookworm-arm64
  KERNELS_CACHE       the downloads and unpacked kernels, reused by every run
                      (default ${XDG_CACHE_HOME:-$HOME/.cache}/quillmere-kernels)
  KERNELS_ARM64_TESTS subset (default: the unit tests and the run and recover integration cases) or all
  KERNELS_ARM64_GUARD_NODE the guard's runtime in the arm64 run and recover: real (Debian's arm64
                      node), stand-in (the stand-in child), or auto (default: real where node starts
                      within half the guard's 6 s, the stand-in otherwise, and a note says so)
  KERNELS_CTEST_ARGS  more arguments for ctest in the x86-64 guests (e.g. "-L unit" while developing)
  KERNELS_TIMEOUT     seconds one guest may take before it is stopped (default 1800)
  KERNELS_KEEP        a directory to copy each guest's logs into
"""

import hashlib
import json
import os
import shlex
import shutil
import stat
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import cpio  # noqa: E402
import modules  # noqa: E402
import private_apt  # noqa: E402
import results  # noqa: E402

TREE = HERE.parent.parent
# What the initramfs loads before the root exists: the host's files over 9p, the overlay, and the
# socket-diagnostics family that the supervisor's checks query (loaded here because the arm64
# userland has no modprobe for the kernel to ask).
EARLY_MODULES = ["virtio_pci", "9pnet_virtio", "9p", "overlay",
                 "inet_diag", "tcp_diag", "udp_diag", "raw_diag", "unix_diag"]
# The arm64 cases that need a real kernel rather than qemu-user, besides every unit test: the run
# and recover cases, whose fixture becomes a child subreaper (their CTest label).
ARM64_SUBSET_LABEL = "run_recover"


@dataclass(frozen=True)
class Guest:
    name: str
    suite: str
    arch: str

    @property
    def qemu(self):
        if self.arch == "amd64":
            return ["qemu-system-x86_64", "-machine", "q35", "-cpu", "max"], "ttyS0"
        return ["qemu-system-aarch64", "-machine", "virt", "-cpu", "max,pauth-impdef=on"], "ttyAMA0"


GUESTS = [Guest("bullseye-amd64", "bullseye", "amd64"), Guest("bookworm-amd64", "bookworm", "amd64"),
          Guest("bookworm-arm64", "bookworm", "arm64")]


def log(text):
    print(f"kernels: {text}", file=sys.stderr, flush=True)


def extract(deb, into):
    Path(into).mkdir(parents=True, exist_ok=True)
    subprocess.run(["dpkg-deb", "-x", str(deb), str(into)], check=True)


def prepare_kernel(apt, cache):
    """The guest kernel: (vmlinuz, release, root of its unpacked package with modules.dep)."""
    package = apt.depends(f"linux-image-{apt.options['APT::Architecture']}")[0]
    (deb,) = apt.download([package])
    root = cache / "kernels" / deb.stem
    if not (root / ".ready").exists():
        shutil.rmtree(root, ignore_errors=True)
        root.mkdir(parents=True)
        extract(deb, root)
        release = next((root / "lib/modules").iterdir()).name
        subprocess.run(["depmod", "-b", str(root), release], check=True)
        (root / ".ready").touch()
    release = next((root / "lib/modules").iterdir()).name
    return root / "boot" / f"vmlinuz-{release}", release, root


def prepare_arm64_userland(apt, cache):
    """Debian's arm64 node and busybox, with everything they need, unpacked without running any
    package script; reused while the set of packages stays the same."""
    packages = apt.closure(["nodejs", "busybox-static"])
    debs = apt.download(packages)
    root = cache / "arm64-root" / hashlib.sha256(" ".join(d.name for d in debs).encode()).hexdigest()[:16]
    if not (root / ".ready").exists():
        shutil.rmtree(root, ignore_errors=True)
        root.mkdir(parents=True)
        for deb in debs:
            extract(deb, root)
        (root / "bin").mkdir(exist_ok=True)
        for applet in ("sh",):
            link = root / "bin" / applet
            if not link.exists():
                link.symlink_to("busybox")
        (root / ".ready").touch()
    return root


def initramfs(busybox, kernel_root, release, settings):
    """The guest's initramfs: busybox, the early modules in load order, the settings, /init."""
    tree = kernel_root / "lib/modules" / release
    needs = modules.parse_modules_dep((tree / "modules.dep").read_text())
    builtin = (tree / "modules.builtin").read_text().split()
    order = modules.load_order(needs, EARLY_MODULES, builtin)
    entries = [(d, stat.S_IFDIR | 0o755, b"") for d in ("bin", "dev", "modules", "proc", "sys")]
    entries.append(("dev/console", stat.S_IFCHR | 0o600, (5, 1)))
    entries.append(("bin/busybox", stat.S_IFREG | 0o755, busybox.read_bytes()))
    entries += [(f"modules/{Path(p).name}", stat.S_IFREG | 0o644, (tree / p).read_bytes()) for p in order]
    entries.append(("modules/order", stat.S_IFREG | 0o644, "".join(p + "\n" for p in order).encode()))
    entries.append(("matrix.env", stat.S_IFREG | 0o644, env_file(settings).encode()))
    entries.append(("init", stat.S_IFREG | 0o755, (HERE / "guest_init.sh").read_bytes()))
    return cpio.archive(entries)


def env_file(settings):
    return "".join(f"{key}={shlex.quote(str(value))}\n" for key, value in settings.items())


def arm64_test_script(tests_json, emulator="qemu-aarch64-static"):
    """A busybox sh script that runs CTest's tests of the arm64 build without CTest (which the
    guest does not have), printing CTest's own progress lines. `tests_json` is
    `ctest --show-only=json-v1`, whose tests may repeat; the emulator that the host's CTest puts
    first is dropped."""
    tests, seen = [], set()
    for test in json.loads(tests_json)["tests"]:
        # Only the project's own programs, which the host's CTest starts through the emulator:
        # the guest has no interpreter of the host's.
        command = test.get("command") or [""]
        if Path(command[0]).name == emulator and test["name"] not in seen:
            seen.add(test["name"])
            tests.append(test)
    # As the x86-64 guests' CTest with --repeat until-pass:2, a failed test is run once more.
    lines = ["total=%d" % len(tests), "n=0",
             "t() { n=$((n + 1)); name=$1; limit=$2; dir=$3; shift 3; for attempt in 1 2; do",
             "  started=$(cut -d' ' -f1 /proc/uptime)",
             '  if (cd "$dir" && exec timeout "$limit" "$@") >>/run/matrix/tests-output.log 2>&1; then r=Passed',
             '  else case $? in 143|124) r="***Timeout";; *) r="***Failed";; esac; fi',
             "  s=$(awk -v a=\"$started\" -v b=\"$(cut -d' ' -f1 /proc/uptime)\" 'BEGIN { printf \"%.2f\", b - a }')",
             '  echo "$n/$total Test #$n: $name ... $r $s sec"; [ "$r" = Passed ] && break; done; }']
    for test in tests:
        command = test["command"][1:]
        # The emulator's own options (the toolchain gives it "-L SYSROOT") go with it.
        while command and command[0].startswith("-"):
            command = command[2:]
        properties = {p["name"]: p["value"] for p in test.get("properties", [])}
        directory = properties.get("WORKING_DIRECTORY", "/")
        timeout = int(float(properties.get("TIMEOUT", 300)))
        environment = [f"{v}" for v in properties.get("ENVIRONMENT", [])]
        prefix = ["env", *environment] if environment else []
        lines.append(" ".join(shlex.quote(w) for w in ["t", test["name"], str(timeout), directory, *prefix, *command]))
    return "\n".join(lines) + "\n"


def run_guest(guest, cache, mirror, work, timeout):
    apt = private_apt.PrivateApt(cache / f"apt-{guest.suite}-{guest.arch}", mirror, guest.suite, guest.arch, log)
    if not apt.has_lists():
        apt.update()
    vmlinuz, release, kernel_root = prepare_kernel(apt, cache)
    (busybox_deb,) = apt.download(["busybox-static"])
    busybox_root = cache / "busybox" / busybox_deb.stem
    if not (busybox_root / "bin/busybox").exists():
        extract(busybox_deb, busybox_root)
    share = work / guest.name
    share.mkdir()
    settings = {"MATRIX_ARCH": guest.arch, "MATRIX_TREE": str(TREE)}
    if guest.arch == "arm64":
        userland = prepare_arm64_userland(apt, cache)
        init = {"MATRIX_ROOT": str(userland), "MATRIX_SHELL": "/bin/busybox sh"}
        settings["MATRIX_TREE_LOWER"] = f"/host{TREE}"
        settings["MATRIX_GUARD_NODE"] = os.environ.get("KERNELS_ARM64_GUARD_NODE", "auto")
        selection = [] if os.environ.get("KERNELS_ARM64_TESTS", "subset") == "all" else ["-L", "unit"]
        listed = subprocess.run(["ctest", "--test-dir", str(TREE / "out/arm64"), "--show-only=json-v1", *selection],
                                check=True, capture_output=True, text=True).stdout
        script = arm64_test_script(listed)
        if selection:
            subset = subprocess.run(["ctest", "--test-dir", str(TREE / "out/arm64"), "--show-only=json-v1",
                                     "-L", ARM64_SUBSET_LABEL], check=True, capture_output=True, text=True).stdout
            merged = json.loads(listed)
            merged["tests"] += json.loads(subset)["tests"]
            script = arm64_test_script(json.dumps(merged))
        (share / "arm64-tests").write_text(script)
    else:
        init = {"MATRIX_ROOT": "/", "MATRIX_SHELL": "/bin/bash"}
        settings.update({"MATRIX_TREE_LOWER": str(TREE), "MATRIX_MODULES": str(kernel_root),
                         "MATRIX_CTEST_ARGS": os.environ.get("KERNELS_CTEST_ARGS", "")})
        if os.environ.get("CI"):
            settings["CI"] = os.environ["CI"]
    (share / "matrix.env").write_text(env_file(settings) + "".join(
        f"export {key}\n" for key in settings if key == "CI"))
    (share / "guest-main").write_text((HERE / "guest_main.sh").read_text())
    initrd = work / f"{guest.name}.cpio"
    initrd.write_bytes(initramfs(busybox_root / "bin/busybox", kernel_root, release, init))
    machine, console = guest.qemu
    command = ["nice", "-n", "10", *machine, "-accel", "tcg", "-m", "3072", "-smp", "2", "-nodefaults",
               "-display", "none", "-no-reboot", "-serial", f"file:{work / (guest.name + '.console')}",
               "-kernel", str(vmlinuz), "-initrd", str(initrd),
               "-append", f"console={console} panic=-1 quiet loglevel=4",
               "-virtfs", "local,path=/,mount_tag=host,security_model=none,readonly=on,multidevs=remap",
               "-virtfs", f"local,path={share},mount_tag=work,security_model=none,multidevs=remap"]
    started = time.monotonic()
    try:
        subprocess.run(command, stdin=subprocess.DEVNULL, timeout=timeout, check=False)
    except subprocess.TimeoutExpired:
        log(f"{guest.name}: stopped after {timeout} s")
    elapsed = time.monotonic() - started
    report_path = share / "report"
    report = results.parse(report_path.read_text(errors="replace") if report_path.exists() else "")
    return report, elapsed


def main():
    names = os.environ.get("KERNELS", "").split() or [g.name for g in GUESTS]
    chosen = [g for g in GUESTS if g.name in names]
    if len(chosen) != len(names):
        log(f"unknown guest in KERNELS={' '.join(names)} (guests: {' '.join(g.name for g in GUESTS)})")
        return 2
    for tool in ["apt-get", "dpkg-deb", "depmod", "ctest", *{g.qemu[0][0] for g in chosen}]:
        if not shutil.which(tool):
            log(f"{tool} not found (./dev setup kernels installs it)")
            return 2
    mirror = private_apt.machine_mirror()
    if not mirror:
        log("no Debian archive in the machine's apt sources")
        return 2
    default_cache = Path(os.environ.get("XDG_CACHE_HOME", Path.home() / ".cache")) / "quillmere-kernels"
    cache = Path(os.environ.get("KERNELS_CACHE", default_cache))
    timeout = int(os.environ.get("KERNELS_TIMEOUT", "1800"))
    passed = failed = 0
    with tempfile.TemporaryDirectory(prefix="quillmere-kernels-") as directory:
        work = Path(directory)
        for guest in chosen:
            report, elapsed = run_guest(guest, cache, mirror, work, timeout)
            print(f"{guest.name}: {report.release or 'no release reported'}: {len(report.passed)} passed, "
                  f"{len(report.failed)} failed, {len(report.skipped)} skipped, {len(report.rerun)} rerun, "
                  f"{elapsed:.0f} s", flush=True)
            for name in report.failed:
                print(f"  failed: {name}", flush=True)
            for text in report.notes:
                print(f"  note: {text}", flush=True)
            for name in report.rerun:
                print(f"  passed only on its rerun: {name}", flush=True)
            if not report.finished:
                print(f"  the guest did not finish; its console:", flush=True)
                console = work / f"{guest.name}.console"
                print("".join(console.read_text(errors="replace").splitlines(True)[-40:]) if console.exists() else "",
                      flush=True)
            for name in report.failed:
                step_log = work / guest.name / f"{name.removeprefix('step:')}.log"
                if name.startswith("step:") and step_log.exists():
                    print("".join(step_log.read_text(errors="replace").splitlines(True)[-30:]), flush=True)
            if os.environ.get("KERNELS_KEEP"):
                shutil.copytree(work / guest.name, Path(os.environ["KERNELS_KEEP"]) / guest.name, dirs_exist_ok=True)
            if report.ok:
                passed += 1
            else:
                failed += 1
    print(f"kernels: {passed} passed, {failed} failed")
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
