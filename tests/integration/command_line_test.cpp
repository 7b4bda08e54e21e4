// The command line and the exit protocol, seen from outside: the binary started as the parent
// starts it, with its streams captured.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/scratch.hpp"
#include "support/session_directory.hpp"

namespace quillmere {
namespace {

using testing::ProcessResult;
using testing::RunOptions;

constexpr std::string_view kBanner = "Quillmere network supervisor 1.0.0\n";
constexpr std::string_view kMarker = "NETWORK_SUPERVISOR_FAILED\n";

void expect_failure(const ProcessResult& result, const std::string& what) {
    EXPECT_EQ(result.exit_status, 1) << what;
    EXPECT_EQ(result.standard_output, "") << what;
    EXPECT_EQ(result.standard_error, kMarker) << what;
}

std::string describe(const std::vector<std::string>& args) {
    std::string text = "args:";
    for (const auto& a : args) text += " [" + a + "]";
    return text;
}

TEST(CommandLine, VersionPrintsExactlyTheBanner) {
    const ProcessResult result = testing::run_supervisor({"--version"});
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.standard_output, kBanner);
    EXPECT_EQ(result.standard_output.size(), 35U);
    EXPECT_EQ(result.standard_error, "");
}

TEST(CommandLine, VersionNeedsNoPrivilege) {
    if (!testing::running_as_root()) GTEST_SKIP() << "needs root to change user";
    RunOptions options;
    options.uid = testing::kNobodyUid;
    const ProcessResult result = testing::run_supervisor({"--version"}, options);
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.standard_output, kBanner);
    EXPECT_EQ(result.standard_error, "");
}

TEST(CommandLine, AnyOtherFormFailsWithTheMarkerOnly) {
    const std::vector<std::vector<std::string>> command_lines = {
        {},
        {""},
        {"--version", "x"},
        {"--version", ""},
        {"--Version"},
        {"-version"},
        {"--versio"},
        {"--version "},
        {"version"},
        {"-V"},
        {"--help"},
        {"RUN", "/tmp/quillmere-vpn-x"},
        {"Run", "/tmp/quillmere-vpn-x"},
        {"RECOVER", "/tmp/quillmere-vpn-x"},
        {"run"},
        {"recover"},
        {"run", "a", "b"},
        {"recover", "/tmp/quillmere-vpn-x", "extra"},
        {"check-app-routing", "extra"},
        {"Check-app-routing"},
        {"check_app_routing"},
        {"--run", "/tmp/quillmere-vpn-x"},
    };
    for (const auto& args : command_lines) expect_failure(testing::run_supervisor(args), describe(args));
}

// A launcher that closed standard descriptors must not make the supervisor crash or write its
// answer into whatever file would take those numbers.
TEST(CommandLine, ClosedStandardDescriptorsAreTolerated) {
    const std::string launcher = testing::test_program("exec_with_closed_fds");
    const std::string binary = testing::supervisor_binary();

    ProcessResult result = testing::run_program(launcher, {"2", binary, "--Version"});
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.standard_output, "");
    EXPECT_EQ(result.standard_error, "");

    result = testing::run_program(launcher, {"0,1,2", binary});
    EXPECT_EQ(result.exit_status, 1);

    // The banner goes to "/dev/null" in place of the closed standard output, which succeeds.
    result = testing::run_program(launcher, {"1", binary, "--version"});
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.standard_output, "");
    EXPECT_EQ(result.standard_error, "");
}

// A reader that went away is a failure of the query forms, not a death by SIGPIPE: the launcher
// leaves SIGPIPE at its default, as a shell does, so the supervisor's own ignoring is what counts.
TEST(CommandLine, QueryFormsIntoABrokenPipeFailWithTheMarker) {
    for (const char* form : {"--version", "check-app-routing"}) {
        SCOPED_TRACE(form);
        const ProcessResult result = testing::run_program(
            testing::test_program("hostile_launcher"), {"--broken-stdout", "--", testing::supervisor_binary(), form});
        expect_failure(result, form);
    }
}

// With standard output closed and no descriptor left under the limit, /dev/null cannot take its
// place; the supervisor then ends at once, saying so on the standard error it still has.
TEST(CommandLine, AStandardDescriptorThatCannotBeRefilledEndsInTheMarker) {
    // A dynamically linked build (sanitizers, valgrind) cannot even load its libraries so.
    if (testing::has_program_interpreter(testing::supervisor_binary())) GTEST_SKIP() << "needs the static supervisor";
    const std::string launcher = testing::test_program("hostile_launcher");
    const ProcessResult result = testing::run_program(
        launcher, {"--close", "1", "--nofile", "1", "--", testing::supervisor_binary(), "--version"});
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.standard_output, "");
    EXPECT_EQ(result.standard_error, "NETWORK_SUPERVISOR_FAILED\n");
}

class PrivilegedFormTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testing::running_as_root()) GTEST_SKIP() << "needs root to set owners";
    }

    // Runs both privileged forms on `argument` and checks that each failed and left
    // `directory` holding exactly what it held before.
    static void expect_both_forms_refuse(const std::string& argument, const std::string& directory,
                                         const RunOptions& options = {}) {
        const std::vector<std::string> before = testing::directory_entries(directory);
        for (const std::string form : {"run", "recover"}) {
            std::string label = form;
            label += ' ';
            label += argument;
            expect_failure(testing::run_supervisor({form, argument}, options), label);
            EXPECT_EQ(testing::directory_entries(directory), before) << label;
        }
    }

    testing::ScratchDir scratch_;
};

TEST_F(PrivilegedFormTest, RelativeStateDirectoryIsRefused) {
    const std::string directory = testing::make_session_directory(scratch_.path());
    const std::vector<std::string> before = testing::directory_entries(directory);
    for (const std::string form : {"run", "recover"}) {
        // Started from the parent of a good state directory, so that the relative name would
        // lead to it if it were followed.
        const std::string command = "cd '" + scratch_.path() + "' && exec '" + testing::supervisor_binary() + "' " +
                                    form + " " + std::string(testing::kTestSessionName);
        expect_failure(testing::run_program("/bin/sh", {"-c", command}), form + " relative");
        EXPECT_EQ(testing::directory_entries(directory), before);
    }
}

TEST_F(PrivilegedFormTest, BadStateDirectoryNamesAreRefused) {
    for (const std::string name :
         {"quillmere-vpn-", "quillmere-vpn-a_b", "quillmere-vpn-a-b", "quillmere-vpn-\xff", "session-a"}) {
        const std::string directory = testing::make_session_directory(scratch_.path(), name);
        expect_both_forms_refuse(directory, directory);
    }
}

TEST_F(PrivilegedFormTest, BadModesAreRefused) {
    const std::string directory = testing::make_session_directory(scratch_.path());
    const std::string session_file = directory + "/supervisor.json";

    ASSERT_EQ(::chmod(directory.c_str(), 0750), 0);
    expect_both_forms_refuse(directory, directory);
    ASSERT_EQ(::chmod(directory.c_str(), 0711), 0);
    expect_both_forms_refuse(directory + "/", directory);
    ASSERT_EQ(::chmod(directory.c_str(), 0700), 0);

    ASSERT_EQ(::chmod(session_file.c_str(), 0640), 0);
    expect_both_forms_refuse(directory, directory);
}

TEST_F(PrivilegedFormTest, MissingSessionFileIsRefused) {
    const std::string directory = testing::make_session_directory(scratch_.path());
    ASSERT_EQ(::unlink((directory + "/supervisor.json").c_str()), 0);
    expect_both_forms_refuse(directory, directory);
}

// An unprivileged caller with a session it owns is refused after the load, and the refusal
// comes before any state file is written.
TEST_F(PrivilegedFormTest, UnprivilegedCallerWithAValidSessionIsRefused) {
    ASSERT_EQ(::chmod(scratch_.path().c_str(), 0711), 0);
    const std::string directory =
        testing::make_session_directory(scratch_.path(), testing::kTestSessionName, testing::kNobodyUid);
    RunOptions options;
    options.uid = testing::kNobodyUid;
    expect_both_forms_refuse(directory, directory, options);
    EXPECT_FALSE(testing::path_exists(directory + "/helper.pid"));
    EXPECT_FALSE(testing::path_exists(directory + "/recovery.pid"));
}

}  // namespace
}  // namespace quillmere
