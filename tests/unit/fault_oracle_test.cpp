#include "support/fault_oracle.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quillmere::testing {
namespace {

struct OutcomeCase {
    const char* what;
    std::vector<std::string> trace;  // the injected call is the last line
    const char* errno_name;
    SweepOutcome expected;
};

class ExpectedOutcome : public ::testing::TestWithParam<OutcomeCase> {};

TEST_P(ExpectedOutcome, FollowsFromTheInjectedCall) {
    const OutcomeCase& c = GetParam();
    EXPECT_EQ(outcome_name(expected_outcome(c.trace, c.trace.size() - 1, c.errno_name)), outcome_name(c.expected))
        << c.what;
}

const std::string kPidFile =
    R"(openat(AT_FDCWD, "/tmp/d/quillmere-vpn-demo1/helper.pid", O_WRONLY|O_CREAT|O_EXCL, 0600) = 4)";
const std::string kListing = R"(openat(AT_FDCWD, "/proc/self/task/77/children", O_RDONLY|O_CLOEXEC) = 9)";

INSTANTIATE_TEST_SUITE_P(
    Calls, ExpectedOutcome,
    ::testing::Values(
        OutcomeCase{"an input file that cannot be opened",
                    {R"(openat(AT_FDCWD, "/tmp/d/tun.json", O_RDONLY|O_NONBLOCK) = -1 EMFILE (INJECTED))"},
                    "EMFILE",
                    SweepOutcome::fail},
        OutcomeCase{"an interrupted open is repeated",
                    {R"(openat(AT_FDCWD, "/tmp/d/tun.json", O_RDONLY) = -1 EINTR (INJECTED))"},
                    "EINTR",
                    SweepOutcome::same},
        OutcomeCase{"an interrupted connect is not",
                    {"connect(5, {sa_family=AF_UNIX}, 110) = -1 EINTR (INJECTED)"},
                    "EINTR",
                    SweepOutcome::fail},
        OutcomeCase{"an interrupted link check is a stop",
                    {R"(recvfrom(5, 0x7ffd, 1, MSG_PEEK|MSG_DONTWAIT, NULL, NULL) = -1 EINTR (INJECTED))"},
                    "EINTR",
                    SweepOutcome::stop},
        OutcomeCase{"an interrupted acknowledgement is repeated",
                    {R"(recvfrom(5, 0x7ffd, 3, 0, NULL, NULL) = -1 EINTR (INJECTED))"},
                    "EINTR",
                    SweepOutcome::same},
        OutcomeCase{"a failed link check is a stop",
                    {R"(recvfrom(5, 0x7ffd, 1, MSG_PEEK|MSG_DONTWAIT, NULL, NULL) = -1 EIO (INJECTED))"},
                    "EIO",
                    SweepOutcome::stop},
        OutcomeCase{"a failed acknowledgement fails",
                    {R"(recvfrom(5, 0x7ffd, 3, 0, NULL, NULL) = -1 EIO (INJECTED))"},
                    "EIO",
                    SweepOutcome::fail},
        OutcomeCase{"a look at the stop marker fails the stage without the clean-up, even interrupted",
                    {R"(newfstatat(AT_FDCWD, "/tmp/d/stop", 0x7ffd, AT_SYMLINK_NOFOLLOW) = -1 EINTR (INJECTED))"},
                    "EINTR",
                    SweepOutcome::abandoned},
        OutcomeCase{"another interrupted stat fails",
                    {R"(newfstatat(AT_FDCWD, "/tmp/d", 0x7ffd, 0) = -1 EINTR (INJECTED))"},
                    "EINTR",
                    SweepOutcome::fail},
        OutcomeCase{"close_range has a fallback",
                    {"close_range(3, 4294967295, CLOSE_RANGE_CLOEXEC) = -1 ENOSYS (INJECTED)"},
                    "ENOSYS",
                    SweepOutcome::same},
        OutcomeCase{"statx has a fallback",
                    {R"(statx(7, "", AT_EMPTY_PATH, STATX_TYPE, 0x7ffd) = -1 ENOSYS (INJECTED))"},
                    "ENOSYS",
                    SweepOutcome::same},
        OutcomeCase{"statx's other errors fail",
                    {R"(statx(7, "", AT_EMPTY_PATH, STATX_TYPE, 0x7ffd) = -1 EIO (INJECTED))"},
                    "EIO",
                    SweepOutcome::fail},
        OutcomeCase{"ignoring SIGPIPE cannot fail the start",
                    {"rt_sigaction(SIGPIPE, {sa_handler=SIG_IGN}, NULL, 8) = -1 EINVAL (INJECTED)"},
                    "EINVAL",
                    SweepOutcome::same},
        OutcomeCase{"another disposition fails",
                    {"rt_sigaction(SIGCHLD, NULL, 0x7ffd, 8) = -1 EINVAL (INJECTED)"},
                    "EINVAL",
                    SweepOutcome::fail},
        OutcomeCase{"the standard descriptors' probe",
                    {"fcntl(1, F_GETFD) = -1 EBADF (INJECTED)"},
                    "EBADF",
                    SweepOutcome::same},
        OutcomeCase{
            "a lease given back", {"fcntl(7, F_SETLEASE, F_UNLCK) = -1 EIO (INJECTED)"}, "EIO", SweepOutcome::same},
        OutcomeCase{
            "a lease taken", {"fcntl(7, F_SETLEASE, F_RDLCK) = -1 EAGAIN (INJECTED)"}, "EAGAIN", SweepOutcome::fail},
        OutcomeCase{"the first children listing, before the pid file, fails the mode",
                    {R"(openat(AT_FDCWD, "/proc/self/task/77/children", O_RDONLY) = -1 EACCES (INJECTED))"},
                    "EACCES",
                    SweepOutcome::fail},
        OutcomeCase{"interrupted, it is repeated",
                    {R"(openat(AT_FDCWD, "/proc/self/task/77/children", O_RDONLY) = -1 EINTR (INJECTED))"},
                    "EINTR",
                    SweepOutcome::same},
        OutcomeCase{"the final sweep's listing reports nothing",
                    {kPidFile, R"(openat(AT_FDCWD, "/proc/self/task/77/children", O_RDONLY) = -1 EACCES (INJECTED))"},
                    "EACCES",
                    SweepOutcome::same},
        OutcomeCase{"nor does a read of the listing's descriptor",
                    {kPidFile, kListing, R"(read(9, 0x7ffd, 4096) = -1 EIO (INJECTED))"},
                    "EIO",
                    SweepOutcome::same},
        OutcomeCase{"a first listing that cannot be read fails the mode",
                    {kListing, R"(read(9, 0x7ffd, 4096) = -1 EIO (INJECTED))"},
                    "EIO",
                    SweepOutcome::fail},
        OutcomeCase{"a failed look for exited orphans is made up for later",
                    {R"(waitid(P_ALL, 0, 0x7ffd, WNOHANG|WEXITED|WNOWAIT, NULL) = -1 EINVAL (INJECTED))"},
                    "EINVAL",
                    SweepOutcome::same},
        OutcomeCase{"and so is a failed reap of one",
                    {R"(waitid(P_PID, 4242, 0x7ffd, WNOHANG|WEXITED, NULL) = -1 EINVAL (INJECTED))"},
                    "EINVAL",
                    SweepOutcome::same},
        OutcomeCase{"but not a failed wait on a child's pidfd",
                    {R"(waitid(P_PIDFD, 6, 0x7ffd, WNOHANG|WEXITED, NULL) = -1 EINVAL (INJECTED))"},
                    "EINVAL",
                    SweepOutcome::fail},
        OutcomeCase{"a read of another descriptor fails",
                    {kListing, R"(read(8, 0x7ffd, 4096) = -1 EIO (INJECTED))"},
                    "EIO",
                    SweepOutcome::fail}));

// A run that ended as the clean one did, as the oracle reads it.
SweepSession clean_run() {
    SweepSession session;
    session.mode = "run";
    session.label = "clean";
    session.status = 0;
    session.orphans = 0;
    session.inputs_before = session.inputs_after = "tun.json regular file 600\n";
    for (const char* name : {"helper.pid", "core.pid", "core-exit", "done"}) {
        std::string content = "4242";
        if (std::string(name) == "core-exit") content = R"({"format":1,"signal":15,"stop_requested":true})";
        if (std::string(name) == "done") content = R"({"format":2,"session":"quillmere-vpn-demo1"})";
        session.state.push_back(StateEntry{name, "regular file", "644", "1", content});
    }
    return session;
}

struct JudgementCase {
    const char* what;
    void (*spoil)(SweepSession&);
    const char* violation;  // a part of the one expected violation, or "" for none
};

class JudgeSession : public ::testing::TestWithParam<JudgementCase> {};

TEST_P(JudgeSession, FindsWhatTheSessionBroke) {
    SweepSession session = clean_run();
    GetParam().spoil(session);
    const SweepJudgement judgement = judge_session(session);
    if (std::string(GetParam().violation).empty()) {
        EXPECT_TRUE(judgement.violations.empty()) << judgement.violations.front();
        return;
    }
    ASSERT_EQ(judgement.violations.size(), 1U) << GetParam().what;
    EXPECT_NE(judgement.violations.front().find(GetParam().violation), std::string::npos)
        << judgement.violations.front();
}

INSTANTIATE_TEST_SUITE_P(
    Sessions, JudgeSession,
    ::testing::Values(
        JudgementCase{"the clean session", [](SweepSession&) {}, ""},
        JudgementCase{"a word on standard output", [](SweepSession& s) { s.standard_output = "hello"; },
                      "standard output"},
        JudgementCase{"more than the marker",
                      [](SweepSession& s) {
                          s.status = 1;
                          s.state.pop_back();
                          s.label = "read:EIO:1";
                          s.trace = {"read(3, 0x7ffd, 4097) = -1 EIO (INJECTED)"};
                          s.standard_error = "NETWORK_SUPERVISOR_FAILED\ncause\n";
                      },
                      "without exactly the marker"},
        JudgementCase{"an injected failure that passed",
                      [](SweepSession& s) {
                          s.label = "read:EIO:1";
                          s.trace = {"read(3, 0x7ffd, 4097) = -1 EIO (INJECTED)"};
                      },
                      "expected a failure"},
        JudgementCase{"an unfinished file after its own write failed",
                      [](SweepSession& s) {
                          s.status = 1;
                          s.standard_error = "NETWORK_SUPERVISOR_FAILED\n";
                          s.label = "write:EIO:2";
                          s.trace = {R"(write(4, "4242", 4) = -1 EIO (INJECTED))"};
                          s.state.front().mode = "600";
                      },
                      ""},
        JudgementCase{"an unfinished file otherwise", [](SweepSession& s) { s.state.front().mode = "600"; },
                      "left unfinished"},
        JudgementCase{"a child left to the subreaper", [](SweepSession& s) { s.orphans = 1; }, "unreaped"},
        JudgementCase{"a changed input file", [](SweepSession& s) { s.inputs_after = "tun.json regular file 644\n"; },
                      "files changed"},
        JudgementCase{"a wrong end marker", [](SweepSession& s) { s.state.back().content = "{}"; }, "done holds"}));

TEST(RecordProblems, CountTheDescriptorsEachRoleHolds) {
    StandInRecord core;
    core.descriptors = {{0, "/dev/null"},
                        {1, "/dev/null"},
                        {2, "/dev/null"},
                        {3, "/tmp/d/sing-box"},
                        {4, "/memfd:quillmere-vpn-config (deleted)"}};
    EXPECT_TRUE(record_problems("core", core).empty());
    core.descriptors[5] = "/tmp/d/tun.json";
    EXPECT_EQ(record_problems("core", core).size(), 1U);

    StandInRecord guard;
    guard.descriptors = {
        {3, "/tmp/d/node"}, {4, "/memfd:quillmere-vpn-guard (deleted)"}, {5, "/memfd:quillmere-vpn-config (deleted)"}};
    EXPECT_TRUE(record_problems("preflight", guard).empty());
    guard.environment = {"NODE_OPTIONS=--require x"};
    EXPECT_EQ(record_problems("preflight", guard).size(), 1U);
}

}  // namespace
}  // namespace quillmere::testing
