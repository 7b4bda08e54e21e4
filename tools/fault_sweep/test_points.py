import unittest

import points as p

TRACE = """\
700 execve("/sup", ["sup", "run"], 0x7ffd /* 3 vars */) = 0
700 openat(AT_FDCWD, "/etc/ld.so.cache", O_RDONLY|O_CLOEXEC) = 3
700 read(3, "..."..., 832) = 832
700 rt_sigaction(SIGPIPE, {sa_handler=SIG_IGN}, NULL, 8) = 0
701 openat(AT_FDCWD, "child", O_RDONLY) = 3
700 openat(AT_FDCWD, "supervisor.json", O_RDONLY|O_NOFOLLOW) = 3
700 read(3, "{}", 4097) = 2
700  --- SIGCHLD {si_signo=SIGCHLD} ---
700 close(3) = 0
700 openat(AT_FDCWD, "tun.json", O_RDONLY) = 4
700 +++ exited with 0 +++
"""


class Enumeration(unittest.TestCase):
    def test_the_supervisors_own_calls_start_where_it_ignores_sigpipe(self):
        before, calls = p.supervisor_calls(TRACE)
        self.assertEqual(before, ["execve", "openat", "read"])
        self.assertEqual(calls, ["rt_sigaction", "openat", "read", "close", "openat"])

    def test_positions_count_from_the_process_start_and_each_error_gets_all(self):
        before, calls = p.supervisor_calls(TRACE)
        self.assertEqual(p.call_points("run", before, calls), [
            "run openat:EINTR:2 -e inject=openat:error=EINTR:when=2",
            "run openat:EINTR:3 -e inject=openat:error=EINTR:when=3",
            "run openat:EMFILE:2 -e inject=openat:error=EMFILE:when=2",
            "run openat:EMFILE:3 -e inject=openat:error=EMFILE:when=3",
            "run read:EINTR:2 -e inject=read:error=EINTR:when=2",
            "run read:EIO:2 -e inject=read:error=EIO:when=2",
            "run rt_sigaction:EINVAL:1 -e inject=rt_sigaction:error=EINVAL:when=1",
        ])

    def test_an_executables_descriptor_is_the_first_recorded_for_its_name(self):
        record = "fd 0 /dev/null\nfd 7 /proc/1/fd/x/sing-box.old\nfd 9 /run/s/sing-box\nfd 5 /a/sing-box\n"
        self.assertEqual(p.executable_fd(record, "sing-box"), "9")
        self.assertEqual(p.executable_fd(record, "node"), "")


class Selection(unittest.TestCase):
    POINTS = ["run openat:EINTR:1 x", "run read:EIO:1 y", "recover openat:EMFILE:2 z", "run getppid:retval1:1 w"]

    def test_sweep_calls_keeps_the_named_calls_only(self):
        self.assertEqual(p.only_calls(self.POINTS, " openat getppid "),
                         ["run openat:EINTR:1 x", "recover openat:EMFILE:2 z", "run getppid:retval1:1 w"])
        self.assertEqual(p.only_calls(self.POINTS, None), self.POINTS)

    def test_spread_numbers_and_spaces_the_picks(self):
        numbered = [n.split()[0] for n in p.spread([str(i) for i in range(10)], 3)]
        self.assertEqual(numbered, ["1", "5", "8"])
        for wanted, count in ((0, 0), (4, 4), (99, 10)):
            with self.subTest(wanted=wanted):
                self.assertEqual(len(p.spread([str(i) for i in range(10)], wanted)), count)


if __name__ == "__main__":
    unittest.main()
