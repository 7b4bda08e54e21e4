#include "children/guard.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "children/input_files.hpp"
#include "children/sealed_configuration.hpp"
#include "linux/deadline.hpp"
#include "linux/path.hpp"
#include "linux/syscalls.hpp"
#include "support/scratch.hpp"
#include "support/stand_in.hpp"

namespace quillmere {
namespace {

using testing::ScopedVariable;

constexpr const char* kTunJson = "{\"log\":{\"level\":\"warn\"},\"inbounds\":[{\"type\":\"tun\"}]}\n";

// A state directory as the parent prepares it, with "node" being any program the test wants.
class GuardRun : public ::testing::Test {
protected:
    void prepare(const std::string& node_program, std::string_view script = "process.exit(0);\n") {
        session_.state_dir = dir_.path();
        session_.owner_uid = ::geteuid();
        std::filesystem::copy_file(node_program, dir_.file(kNodeExecutableName));
        ASSERT_EQ(::chmod(dir_.file(kNodeExecutableName).c_str(), 0700), 0);
        testing::write_file(dir_.file(kGuardScriptName), script, 0700);
        testing::write_file(dir_.file(kCoreConfigurationName), kTunJson, 0600);

        auto guard = open_guard_files(session_);
        ASSERT_TRUE(guard.has_value()) << guard.error().os_errno;
        guard_.emplace(std::move(*guard));
        auto tun = open_input_file(session_, kCoreConfigurationName, false);
        ASSERT_TRUE(tun.has_value());
        auto sealed = seal_configuration(tun->fd.get(), session_.owner_uid);
        ASSERT_TRUE(sealed.has_value());
        sealed_ = std::move(*sealed);
    }

    void prepare_stand_in() { prepare(testing::test_program("stand_in_child")); }

    Result<bool> run(GuardMode mode = GuardMode::preflight) {
        return run_guard(session_.state_dir, mode, sealed_.get(), *guard_);
    }

    testing::ScratchDir dir_;
    testing::ScratchDir records_;
    Session session_;
    std::optional<GuardFiles> guard_;
    UniqueFd sealed_;
};

TEST_F(GuardRun, GivesTheRuntimeItsExactCommandLineAndThreeDescriptors) {
    ASSERT_NO_FATAL_FAILURE(prepare_stand_in());
    const std::string record = records_.file("record");
    ScopedVariable knob("QUILLMERE_STAND_IN_RECORD", record);

    for (const GuardMode mode : {GuardMode::preflight, GuardMode::cleanup}) {
        SCOPED_TRACE(guard_mode_word(mode));
        ::unlink(record.c_str());
        const auto answer = run(mode);
        ASSERT_TRUE(answer.has_value());
        EXPECT_TRUE(*answer);
        const auto seen = testing::read_stand_in_record(record);
        ASSERT_TRUE(seen.has_value());

        const int node = guard_->node.fd.get();
        // The guard's own descriptors of the sealed copies, whatever numbers they got.
        ASSERT_EQ(seen->argv.size(), 11U);
        const int script = std::stoi(seen->argv.at(4));
        const int config = std::stoi(seen->argv.back());
        const std::vector<std::string> expected{
            dir_.file("node"),
            "--eval",
            std::string(kGuardLoader),
            "--",
            decimal(static_cast<unsigned>(script)),
            dir_.file("network-guard.cjs"),
            std::string(guard_mode_word(mode)),
            dir_.path(),
            "linux",
            "--sealed-config-fd",
            decimal(static_cast<unsigned>(config)),
        };
        EXPECT_EQ(seen->argv, expected);

        std::set<int> expected_descriptors{node, script, config};
        for (int fd = 0; fd <= 2; ++fd) {
            if (::fcntl(fd, F_GETFD) >= 0) expected_descriptors.insert(fd);
        }
        std::set<int> held;
        for (const auto& [fd, target] : seen->descriptors) held.insert(fd);
        EXPECT_EQ(held, expected_descriptors);
        EXPECT_EQ(seen->descriptors.at(node), dir_.file("node"));
        EXPECT_EQ(seen->descriptors.at(script), "/memfd:quillmere-vpn-guard (deleted)");
        EXPECT_EQ(seen->descriptors.at(config), "/memfd:quillmere-vpn-config (deleted)");
        // Read-only, at the start, apart from the supervisor's own, which filled the copies.
        EXPECT_EQ(seen->open_modes.at(script), "r@0");
        EXPECT_EQ(seen->open_modes.at(config), "r@0");
        EXPECT_EQ(seen->config_size, std::string_view(kTunJson).size());
        EXPECT_EQ(seen->config_hash, testing::fnv1a64_hex(kTunJson));
    }
}

TEST_F(GuardRun, ApprovesOnlyAnExitWithStatusZero) {
    ASSERT_NO_FATAL_FAILURE(prepare_stand_in());
    struct Case {
        const char* knob;
        const char* value;
        bool approved;
    };
    for (const Case& c : {Case{"QUILLMERE_STAND_IN_EXIT", "0", true}, Case{"QUILLMERE_STAND_IN_EXIT", "1", false},
                          Case{"QUILLMERE_STAND_IN_EXIT", "255", false}, Case{"QUILLMERE_STAND_IN_SIGNAL", "9", false},
                          Case{"QUILLMERE_STAND_IN_SIGNAL", "15", false}}) {
        SCOPED_TRACE(std::string(c.knob) + "=" + c.value);
        ScopedVariable knob(c.knob, c.value);
        const auto answer = run();
        ASSERT_TRUE(answer.has_value());
        EXPECT_EQ(*answer, c.approved);
    }
}

TEST_F(GuardRun, AGuardStillRunningAfterSixSecondsIsEndedAndRefuses) {
    ASSERT_NO_FATAL_FAILURE(prepare_stand_in());
    const std::string record = records_.file("record");
    ScopedVariable knob("QUILLMERE_STAND_IN_RECORD", record);
    ScopedVariable ignore("QUILLMERE_STAND_IN_IGNORE_TERM", "1");
    ScopedVariable forever("QUILLMERE_STAND_IN_RUN_UNTIL_SIGNALLED", "1");

    const Nanoseconds start = monotonic_now();
    const auto answer = run();
    const double elapsed = static_cast<double>(monotonic_now() - start) / 1e9;
    ASSERT_TRUE(answer.has_value());
    EXPECT_FALSE(*answer);
    EXPECT_GE(elapsed, 5.9);
    EXPECT_LE(elapsed, 8.0);
    const auto seen = testing::read_stand_in_record(record);
    ASSERT_TRUE(seen.has_value());
    // Reaped before the answer came back: the pid names no process any more.
    EXPECT_EQ(::kill(seen->pid, 0), -1);
    EXPECT_EQ(errno, ESRCH);
}

TEST_F(GuardRun, StartsNothingWhenAFileNoLongerPasses) {
    ASSERT_NO_FATAL_FAILURE(prepare_stand_in());
    const std::string record = records_.file("record");
    ScopedVariable knob("QUILLMERE_STAND_IN_RECORD", record);
    struct Case {
        const char* what;
        std::function<void()> change;
        std::function<void()> undo;
        int expected;
    };
    const std::string node = dir_.file("node");
    const std::string script = dir_.file("network-guard.cjs");
    const Case cases[] = {
        {"node gained a group bit", [&] { ::chmod(node.c_str(), 0750); }, [&] { ::chmod(node.c_str(), 0700); }, EPERM},
        {"script lost its execute bit", [&] { ::chmod(script.c_str(), 0600); }, [&] { ::chmod(script.c_str(), 0700); },
         EPERM},
        {"script gained a second link", [&] { ::link(script.c_str(), dir_.file("copy").c_str()); },
         [&] { ::unlink(dir_.file("copy").c_str()); }, EPERM},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.change();
        const auto answer = run();
        c.undo();
        ASSERT_FALSE(answer.has_value());
        EXPECT_TRUE(answer.error().is_os_error(c.expected)) << answer.error().os_errno;
        EXPECT_FALSE(testing::path_exists(record)) << "a guard was started";
    }

    UniqueFd unsealed(raw_memfd_create("unsealed", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    ASSERT_EQ(::write(unsealed.get(), "{}", 2), 2);
    const auto answer = run_guard(session_.state_dir, GuardMode::preflight, unsealed.get(), *guard_);
    ASSERT_FALSE(answer.has_value());
    EXPECT_TRUE(answer.error().is_os_error(EPERM));
    EXPECT_FALSE(testing::path_exists(record)) << "a guard was started";

    EXPECT_TRUE(run().has_value());
}

// The real runtime: proves that the loader runs the script from its descriptor and that the
// script sees the command line and the configuration it is promised, reading the very
// descriptor it is given (not a fresh open of its path) from where it stands.
TEST_F(GuardRun, RealNodeRunsTheScriptFromItsDescriptorWithTheSealedConfiguration) {
    if (!testing::path_exists("/usr/bin/node")) GTEST_SKIP() << "no Node.js on this host";
    constexpr std::string_view kScript = R"(const fs = require('node:fs');
const at = process.argv.indexOf('--sealed-config-fd');
const config = fs.readFileSync(Number(process.argv[at + 1]));
fs.writeFileSync(process.env.QUILLMERE_GUARD_OUTPUT, JSON.stringify({
  argv: process.argv, filename: __filename, config: config.toString('base64'),
}));
process.exit(Number(process.env.QUILLMERE_GUARD_EXIT || '0'));
)";
    ASSERT_NO_FATAL_FAILURE(prepare("/usr/bin/node", kScript));
    const std::string output = records_.file("output.json");
    ScopedVariable output_knob("QUILLMERE_GUARD_OUTPUT", output);

    const auto answer = run(GuardMode::cleanup);
    ASSERT_TRUE(answer.has_value());
    EXPECT_TRUE(*answer);
    const auto seen = nlohmann::json::parse(testing::read_file(output));
    const auto argv = seen.at("argv").get<std::vector<std::string>>();
    const std::vector<std::string> expected{
        dir_.file("node"), dir_.file("network-guard.cjs"), "cleanup", dir_.path(), "linux", "--sealed-config-fd",
    };
    ASSERT_EQ(argv.size(), expected.size() + 1);
    EXPECT_EQ(std::vector<std::string>(argv.begin(), argv.end() - 1), expected);
    EXPECT_EQ(seen.at("filename").get<std::string>(), dir_.file("network-guard.cjs"));

    // Base64 of the exact tun.json bytes, computed here so no decoder is needed.
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const std::string_view raw(kTunJson);
    std::string encoded;
    for (std::size_t i = 0; i < raw.size(); i += 3) {
        unsigned value = static_cast<unsigned char>(raw[i]) << 16;
        if (i + 1 < raw.size()) value |= static_cast<unsigned char>(raw[i + 1]) << 8;
        if (i + 2 < raw.size()) value |= static_cast<unsigned char>(raw[i + 2]);
        encoded += kAlphabet[(value >> 18) & 63];
        encoded += kAlphabet[(value >> 12) & 63];
        encoded += i + 1 < raw.size() ? kAlphabet[(value >> 6) & 63] : '=';
        encoded += i + 2 < raw.size() ? kAlphabet[value & 63] : '=';
    }
    EXPECT_EQ(seen.at("config").get<std::string>(), encoded);

    // Bytes written into the script after it was opened never run: both runs read the copy.
    {
        const UniqueFd writer(::open(dir_.file("network-guard.cjs").c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC));
        ASSERT_TRUE(writer.valid());
        ASSERT_EQ(::write(writer.get(), "process.exit(9);\n", 17), 17);
    }
    ::unlink(output.c_str());
    const auto again = run(GuardMode::cleanup);
    ASSERT_TRUE(again.has_value());
    EXPECT_TRUE(*again) << "the rewritten script ran";
    EXPECT_TRUE(testing::path_exists(output));

    // A later run is handed a descriptor at the start again, whatever the first read moved.
    ScopedVariable refuse("QUILLMERE_GUARD_EXIT", "3");
    const auto refused = run(GuardMode::preflight);
    ASSERT_TRUE(refused.has_value());
    EXPECT_FALSE(*refused);
    EXPECT_EQ(nlohmann::json::parse(testing::read_file(output)).at("config").get<std::string>(), encoded);
}

}  // namespace
}  // namespace quillmere
