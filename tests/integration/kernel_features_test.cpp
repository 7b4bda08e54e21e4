// The supervisor on a kernel that lacks one of the features it relies on. A launcher takes the
// feature away as an older kernel lacks it (a seccomp filter answers the call, flag or option
// with that kernel's errno; the children listing is hidden under an empty mount) and starts the
// supervisor as the parent would. Without each feature the mode either fails before any child
// with the marker, or reaches the same result as with the feature, through its fallback.

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "app_routing/report.hpp"
#include "children/state_files.hpp"
#include "main/documents.hpp"
#include "support/supervised_session.hpp"

namespace quillmere {
namespace {

using reference::SupervisorMode;
using testing::Role;
using testing::SupervisedSession;

enum class WithoutIt { fails_closed, same_result };

struct MissingFeature {
    const char* name;
    std::vector<std::string> launch;  // the old kernel launcher's options
    WithoutIt outcome;
};

void PrintTo(const MissingFeature& c, std::ostream* out) { *out << c.name; }

// Descriptors a careless launcher leaves open without close-on-exec, half of them above the
// descriptor limit it then sets: a walk of the numbers below the limit alone would miss those.
constexpr int kFirstLeaked = 60;
constexpr int kLastLeaked = 70;
const std::vector<std::string> kCarelessLaunch = {testing::test_program("hostile_launcher"),
                                                  "--leak-fds",
                                                  std::to_string(kFirstLeaked) + "-" + std::to_string(kLastLeaked),
                                                  "--nofile",
                                                  "64",
                                                  "--"};

std::vector<std::string> launcher(const std::vector<std::string>& options) {
    std::vector<std::string> command{testing::test_program("old_kernel_launcher")};
    command.insert(command.end(), options.begin(), options.end());
    command.emplace_back("--");
    command.insert(command.end(), kCarelessLaunch.begin(), kCarelessLaunch.end());
    return command;
}

bool filters_can_be_installed() {
    return testing::run_program(testing::test_program("old_kernel_launcher"),
                                {"--refuse", "statx=ENOSYS", "--", "/bin/true"})
               .exit_status == 0;
}

// What a parent can see of a session once the supervisor is gone, less what differs between
// any two sessions (pids, paths): the exit, which children started with which descriptor
// numbers and which configuration, and the state files' contents.
std::string outcome_of(const SupervisedSession& session, const testing::RunReport& report) {
    std::ostringstream seen;
    seen << "exit " << report.supervisor.exit_code().value_or(-1) << " stderr " << report.supervisor.standard_error
         << "\n";
    for (const auto& [role, name] :
         {std::pair{Role::preflight, "preflight"}, {Role::core, "core"}, {Role::cleanup, "cleanup"}}) {
        const auto record = session.record(role);
        if (!record.has_value()) continue;
        seen << name << " fds";
        for (const auto& [fd, target] : record->descriptors) {
            seen << " " << fd;
            EXPECT_FALSE(fd >= kFirstLeaked && fd <= kLastLeaked) << name << " holds leaked descriptor " << fd;
        }
        seen << " config " << record->config_hash << "\n";
    }
    for (const std::string_view file : {kCoreExitFile, kDoneFile, kCleanupErrorFile, kCorePidFile}) {
        const auto content = session.state_file(file);
        if (!content.has_value()) continue;
        seen << file;
        if (file != kCorePidFile) seen << " " << *content;
        seen << "\n";
    }
    return seen.str();
}

std::string session_outcome(SupervisorMode mode, const std::vector<std::string>& launch) {
    SupervisedSession session;
    testing::SupervisorRun options;
    options.listen = mode == SupervisorMode::run;
    options.launcher = launch;
    const auto report = session.run(mode, options);
    return outcome_of(session, report);
}

class KernelWithout : public ::testing::TestWithParam<MissingFeature> {};

TEST_P(KernelWithout, RunAndRecoverFailClosedOrFallBackToTheSameResult) {
    if (!testing::running_as_root()) GTEST_SKIP() << "run and recover need root";
    if (!filters_can_be_installed()) GTEST_SKIP() << "cannot install a seccomp filter here";
    for (const SupervisorMode mode : {SupervisorMode::run, SupervisorMode::recover}) {
        SCOPED_TRACE(std::string(reference::mode_word(mode)));
        const std::string with_feature = session_outcome(mode, launcher({}));
        ASSERT_TRUE(with_feature.starts_with("exit 0 ")) << with_feature;
        const std::string without = session_outcome(mode, launcher(GetParam().launch));
        if (GetParam().outcome == WithoutIt::same_result) {
            EXPECT_EQ(without, with_feature);
        } else {
            // Nothing started, nothing to clean up after: only the failure, told as always.
            EXPECT_EQ(without, "exit 1 stderr " + std::string(testing::kFailureMarker) + "\n");
        }
    }
}

std::vector<std::string> refuse(const char* form_and_errno) { return {"--refuse", form_and_errno}; }

INSTANTIATE_TEST_SUITE_P(
    Features, KernelWithout,
    ::testing::Values(
        MissingFeature{"PidfdOpen", refuse("pidfd_open=ENOSYS"), WithoutIt::fails_closed},
        MissingFeature{"PidfdSendSignal", refuse("pidfd_send_signal=ENOSYS"), WithoutIt::fails_closed},
        MissingFeature{"WaitidOnAPidfd", refuse("waitid:P_PIDFD=EINVAL"), WithoutIt::fails_closed},
        MissingFeature{"MemfdCreate", refuse("memfd_create=ENOSYS"), WithoutIt::fails_closed},
        MissingFeature{"FileSeals", refuse("fcntl:F_ADD_SEALS=EINVAL"), WithoutIt::fails_closed},
        MissingFeature{"ChildSubreaper", refuse("prctl:PR_SET_CHILD_SUBREAPER=EINVAL"), WithoutIt::fails_closed},
        MissingFeature{"ChildrenListing", {"--hide-children-listing"}, WithoutIt::fails_closed},
        MissingFeature{"ReadLeases", refuse("fcntl:F_SETLEASE=EINVAL"), WithoutIt::fails_closed},
        MissingFeature{"ExtendedAttributes", refuse("fgetxattr=EOPNOTSUPP"), WithoutIt::fails_closed},
        MissingFeature{"CloseRange", refuse("close_range=ENOSYS"), WithoutIt::same_result},
        MissingFeature{"CloseRangeCloexec", refuse("close_range:CLOSE_RANGE_CLOEXEC=EINVAL"), WithoutIt::same_result},
        // The C library answers an ENOSYS of statx itself, from fstatat; a container's filter
        // that refuses the call with EPERM leaves the answer to the supervisor's own fallback.
        MissingFeature{"Statx", refuse("statx=ENOSYS"), WithoutIt::same_result},
        MissingFeature{"StatxRefusedByAFilter", refuse("statx=EPERM"), WithoutIt::same_result}),
    [](const auto& test) { return std::string(test.param.name); });

// Without socket diagnostics (or with the socket family refused) no kind can be listed, and
// each is reported false; the document is still whole and the exit clean.
TEST(KernelWithoutSockDiag, CheckAppRoutingReportsEveryKindFalse) {
    if (!filters_can_be_installed()) GTEST_SKIP() << "cannot install a seccomp filter here";
    const auto result = testing::run_program(testing::test_program("old_kernel_launcher"),
                                             {"--refuse", "socket:NETLINK_SOCK_DIAG=EPROTONOSUPPORT", "--",
                                              testing::supervisor_binary(), "check-app-routing"});
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.standard_output, app_routing_document(AppRoutingReport{}));
    EXPECT_EQ(result.standard_error, "");
}

}  // namespace
}  // namespace quillmere
