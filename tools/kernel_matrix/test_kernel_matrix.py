"""Unit tests for what the kernel matrix computes: no network, no qemu, no root."""

import json
import stat
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import cpio  # noqa: E402
import matrix  # noqa: E402
import modules  # noqa: E402
import private_apt  # noqa: E402
import results  # noqa: E402

DEP = """\
kernel/fs/netfs/netfs.ko:
kernel/fs/fscache/fscache.ko: kernel/fs/netfs/netfs.ko
kernel/fs/9p/9p.ko: kernel/net/9p/9pnet.ko kernel/fs/fscache/fscache.ko kernel/fs/netfs/netfs.ko
kernel/net/9p/9pnet.ko:
kernel/net/9p/9pnet_virtio.ko: kernel/net/9p/9pnet.ko kernel/drivers/virtio/virtio_ring.ko kernel/drivers/virtio/virtio.ko
kernel/drivers/virtio/virtio.ko:
kernel/drivers/virtio/virtio_ring.ko: kernel/drivers/virtio/virtio.ko
kernel/net/ipv4/inet_diag.ko.xz:
kernel/net/ipv4/tcp_diag.ko.xz: kernel/net/ipv4/inet_diag.ko.xz
"""


class LoadOrder(unittest.TestCase):
    def test_every_module_comes_after_what_it_needs_and_once(self):
        needs = modules.parse_modules_dep(DEP)
        cases = [["9p"], ["9pnet_virtio", "9p"], ["9p", "9pnet_virtio"], ["tcp_diag", "inet_diag"],
                 ["9p", "9p"], ["tcp-diag"]]
        for wanted in cases:
            with self.subTest(wanted=wanted):
                order = modules.load_order(needs, wanted)
                self.assertEqual(len(order), len(set(order)))
                for position, path in enumerate(order):
                    self.assertTrue(set(needs[path]) <= set(order[:position]), path)
                names = {modules.module_name(p) for p in order}
                self.assertTrue({w.replace("-", "_") for w in wanted} <= names)

    def test_builtin_needs_nothing_and_unknown_is_an_error(self):
        needs = modules.parse_modules_dep(DEP)
        self.assertEqual(modules.load_order(needs, ["overlay"], ["kernel/fs/overlayfs/overlay.ko"]), [])
        with self.assertRaises(KeyError):
            modules.load_order(needs, ["overlay"])

    def test_a_cycle_is_refused(self):
        with self.assertRaises(ValueError):
            modules.load_order({"a.ko": ["b.ko"], "b.ko": ["a.ko"]}, ["a"])


class GuestLines(unittest.TestCase):
    def test_outcomes(self):
        log = "\n".join([
            "release 5.10.0-32-amd64",
            "[    1.2] some kernel message",
            "  1/6 Test   #1: Unit.Passes ......................   Passed    0.01 sec",
            "  2/6 Test   #2: Unit.Fails .......................***Failed    0.50 sec",
            "  3/6 Test   #3: Unit.Hangs .......................***Timeout 300.02 sec",
            "  4/6 Test   #4: Unit.Crashes .....................***Exception: SegFault  0.02 sec",
            "  5/6 Test   #5: RealEngine .......................   Skipped   0.10 sec",
            "  6/6 Test   #6: Unit.Flaky .......................***Failed    0.50 sec",
            "  7/7 Test #278: Inputs/Missing.Fails/TunJson  # GetParam() = TunJson ......***Failed    2.00 sec",
            "8/8 Test #8: Sweep/Left.Ended/Core  # GetParam() = Core ... Passed 1.00 sec",
            " 46/351 Test  #45: Shapes/Accepted.Nonce/whitespace and a final line feed ....   Passed    0.02 sec",
            "      Test   #6: Unit.Flaky .......................   Passed    0.40 sec",
            "step demo passed 3.2",
            "step pkexec failed 15.0\r",
            "note the stand-in played the guard's runtime",
            "guest finished",
        ])
        report = results.parse(log)
        self.assertEqual(report.release, "5.10.0-32-amd64")
        self.assertEqual(report.passed, ["Unit.Passes", "Unit.Flaky", "Sweep/Left.Ended/Core",
                                          "Shapes/Accepted.Nonce/whitespace and a final line feed", "step:demo"])
        self.assertEqual(report.failed,
                         ["Unit.Fails", "Unit.Hangs", "Unit.Crashes", "Inputs/Missing.Fails/TunJson", "step:pkexec"])
        self.assertEqual(report.skipped, ["RealEngine"])
        self.assertEqual(report.rerun, ["Unit.Flaky"])
        self.assertEqual(report.notes, ["the stand-in played the guard's runtime"])
        self.assertTrue(report.finished)
        self.assertFalse(report.ok)

    def test_a_guest_that_never_finished_or_ran_nothing_is_not_a_pass(self):
        for log in ["release 6.1\n  1/1 Test #1: A.B ... Passed 0.1 sec\n", "release 6.1\nguest finished\n", ""]:
            with self.subTest(log=log):
                self.assertFalse(results.parse(log).ok)
        self.assertTrue(results.parse("1/1 Test #1: A.B ... Passed 0.1 sec\nguest finished\n").ok)


class PrivateAptConfiguration(unittest.TestCase):
    def test_the_mirror_is_the_machines_main_archive(self):
        deb822 = ("Types: deb\nURIs: http://mirror.example/debian\nSuites: bookworm bookworm-updates\n"
                  "Components: main\n\nTypes: deb\nURIs: http://mirror.example/debian-security\n"
                  "Suites: bookworm-security\n")
        one_line = "# deb http://old.example/debian bookworm main\ndeb [arch=amd64] http://one.example/debian/ bookworm main\n"
        cases = [([deb822], "http://mirror.example/debian"), ([one_line], "http://one.example/debian"),
                 (["deb https://other.example/apt stable main\n", deb822], "http://mirror.example/debian"),
                 (["Types: deb\nURIs: http://mirror.example/debian-security\nSuites: bookworm-security\n"], None)]
        for texts, expected in cases:
            with self.subTest(texts=texts):
                self.assertEqual(private_apt.debian_mirror(texts), expected)

    def test_every_path_apt_reads_or_writes_is_under_its_root(self):
        files, directories, options = private_apt.configuration("/cache/apt-x", "http://m/debian", "bullseye", "arm64")
        for key, value in options.items():
            if key.startswith("Dir"):
                with self.subTest(key=key):
                    self.assertTrue(value.startswith("/cache/apt-x/"), value)
        for key in ["Dir::Etc::SourceList", "Dir::Etc::SourceParts", "Dir::Etc::Parts", "Dir::State::Lists",
                    "Dir::State::status", "Dir::Cache::Archives"]:
            self.assertIn(key, options)
        self.assertEqual(options["APT::Architecture"], "arm64")
        self.assertEqual(files["etc/sources.list"].split()[-3:], ["http://m/debian", "bullseye", "main"])
        self.assertIn("arch=arm64", files["etc/sources.list"])

    def test_depends(self):
        show = ("Package: linux-image-amd64\nDepends: linux-image-6.1.0-50-amd64 (= 6.1.176-1), foo:any | bar\n"
                "Pre-Depends: baz\n\nPackage: other\nDepends: never\n")
        self.assertEqual(private_apt.parse_depends(show), ["linux-image-6.1.0-50-amd64", "foo", "baz"])


class Arm64Tests(unittest.TestCase):
    def test_the_emulator_is_dropped_and_only_built_programs_run(self):
        listed = {"tests": [
            {"name": "Unit.A", "command": ["/usr/bin/qemu-aarch64-static", "-L", "/usr/aarch64-linux-gnu",
                                           "/t/out/arm64/tests/unit_tests",
                                           "--gtest_filter=Unit.A"],
             "properties": [{"name": "WORKING_DIRECTORY", "value": "/t/out/arm64/tests"},
                            {"name": "TIMEOUT", "value": 300.0},
                            {"name": "ENVIRONMENT", "value": ["A=b c"]}]},
            {"name": "Tools", "command": ["/usr/bin/python3", "-m", "unittest"], "properties": []},
        ]}
        script = matrix.arm64_test_script(json.dumps(listed))
        self.assertIn("total=1\n", script)
        self.assertIn("t Unit.A 300 /t/out/arm64/tests env 'A=b c' /t/out/arm64/tests/unit_tests "
                      "--gtest_filter=Unit.A\n", script)
        self.assertNotIn("qemu", script)
        self.assertNotIn("-L", script)
        self.assertNotIn("python3", script)


class Initramfs(unittest.TestCase):
    def test_entries_are_aligned_and_end_in_the_trailer(self):
        data = cpio.archive([("bin", stat.S_IFDIR | 0o755, b""), ("dev/console", stat.S_IFCHR | 0o600, (5, 1)),
                             ("init", stat.S_IFREG | 0o755, b"#!/bin/sh\n")])
        offset, names = 0, []
        while True:
            self.assertEqual(data[offset:offset + 6], b"070701")
            fields = [int(data[offset + 6 + 8 * i: offset + 14 + 8 * i], 16) for i in range(13)]
            size, name_size = fields[6], fields[11]
            name = data[offset + 110: offset + 110 + name_size - 1].decode()
            names.append((name, fields[1], fields[9:11]))
            offset = (offset + 110 + name_size + 3) // 4 * 4
            offset = (offset + size + 3) // 4 * 4
            if name == "TRAILER!!!":
                break
        self.assertEqual(offset, len(data))
        self.assertEqual([n for n, _, _ in names], ["bin", "dev/console", "init", "TRAILER!!!"])
        self.assertEqual(names[1][2], [5, 1])


if __name__ == "__main__":
    unittest.main()
