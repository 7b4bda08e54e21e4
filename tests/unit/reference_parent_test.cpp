// The reference parent's own session material: what it writes must be what the supervisor
// accepts, or every test built on it fails for the wrong reason.

#include <sys/wait.h>

#include <gtest/gtest.h>

#include "reference_parent/parent_options.hpp"
#include "reference_parent/state_directory.hpp"
#include "reference_parent/supervisor_process.hpp"

namespace quillmere::reference {
namespace {

TEST(ReferenceParentNonce, IsSixtyFourLowerCaseHexDigitsAndFreshEachTime) {
    const auto first = fresh_nonce();
    const auto second = fresh_nonce();
    ASSERT_TRUE(first.has_value() && second.has_value());
    ASSERT_EQ(first->size(), 64U);
    EXPECT_EQ(first->find_first_not_of("0123456789abcdef"), std::string::npos) << *first;
    EXPECT_NE(*first, *second);
}

TEST(ReferenceParentSessionDocument, HoldsFormatOneAndTheNonce) {
    EXPECT_EQ(session_document(std::string(64, 'a')),
              "{\"format\":1,\"parent_nonce\":\"" + std::string(64, 'a') + "\"}\n");
}

// pkexec's own refusals must never read as the supervisor's failure, nor the reverse.
TEST(ReferenceParentEnding, TellsPkexecsStatusesFromTheSupervisors) {
    struct Case {
        int wait_status;
        Launch launch;
        Ending ending;
    } const cases[] = {
        {W_EXITCODE(0, 0), Launch::pkexec, Ending::success},
        {W_EXITCODE(1, 0), Launch::pkexec, Ending::failure},
        {W_EXITCODE(127, 0), Launch::pkexec, Ending::not_authorised},
        {W_EXITCODE(126, 0), Launch::pkexec, Ending::authentication_dismissed},
        {W_EXITCODE(127, 0), Launch::direct, Ending::unexpected_status},
        {W_EXITCODE(2, 0), Launch::pkexec, Ending::unexpected_status},
        {W_EXITCODE(0, SIGKILL), Launch::pkexec, Ending::signalled},
    };
    for (const Case& c : cases) {
        SupervisorOutcome outcome;
        outcome.wait_status = c.wait_status;
        EXPECT_EQ(ending_of(outcome, c.launch), c.ending) << "wait status " << c.wait_status;
    }
}

TEST(ReferenceParentLaunch, PutsPkexecInFrontAndNamesTheInstalledSupervisorByDefault) {
    const LaunchCommand direct = launch_command(Launch::direct, "/b/sv", SupervisorMode::run, "/d");
    EXPECT_EQ(direct.program, "/b/sv");
    EXPECT_EQ(direct.args, (std::vector<std::string>{"/b/sv", "run", "/d"}));
    const LaunchCommand pkexec = launch_command(Launch::pkexec, "/b/sv", SupervisorMode::recover, "/d");
    EXPECT_EQ(pkexec.program, kPkexecPath);
    EXPECT_EQ(pkexec.args, (std::vector<std::string>{std::string(kPkexecPath), "/b/sv", "recover", "/d"}));

    const auto options = parse_parent_options({"demo", "--launch", "pkexec", "--as-user", "1000", "--dir", "/run/x"});
    ASSERT_TRUE(options.has_value());
    EXPECT_EQ(options->supervisor_or("/build/sv"), kInstalledSupervisorPath);
    EXPECT_EQ(options->as_user, std::optional<uid_t>(1000));
    EXPECT_EQ(options->dir, "/run/x");
    EXPECT_EQ(parse_parent_options({"demo"})->supervisor_or("/build/sv"), "/build/sv");
}

TEST(ReferenceParentOptions, RefusesWhatCannotWork) {
    const std::vector<std::vector<std::string_view>> refused = {
        {"demo", "--as-user", "1000"},                                        // no root for a direct start
        {"demo", "--launch", "pkexec", "--as-user", "1000", "--owner", "1"},  // two owners
        {"demo", "--launch", "sudo"},
        {"demo", "--as-user", "-1", "--launch", "pkexec"},
        {"demo", "--core", "x"},                       // the demo brings its own inputs
        {"session", "--guard", "g", "--config", "c"},  // no core for a run
        {"demo", "--dir"},
    };
    for (const auto& words : refused) EXPECT_FALSE(parse_parent_options(words).has_value()) << words.at(1);
    EXPECT_TRUE(parse_parent_options({"session", "--recover", "--guard", "g", "--config", "c"}).has_value());
}

}  // namespace
}  // namespace quillmere::reference
