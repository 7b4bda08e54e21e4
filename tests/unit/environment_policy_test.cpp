#include "children/environment_policy.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "children/scrubbed_command.hpp"

namespace quillmere {
namespace {

const std::vector<std::string> kExpectedNames = {
    "NODE_OPTIONS",
    "NODE_PATH",
    "NODE_EXTRA_CA_CERTS",
    "NODE_TLS_REJECT_UNAUTHORIZED",
    "NODE_ICU_DATA",
    "ICU_DATA",
    "NODE_CHANNEL_FD",
    "NODE_UNIQUE_ID",
    "OPENSSL_CONF",
    "OPENSSL_MODULES",
    "LD_PRELOAD",
    "LD_LIBRARY_PATH",
    "DYLD_INSERT_LIBRARIES",
    "DYLD_LIBRARY_PATH",
    "TAURI_SIGNING_PRIVATE_KEY",
    "TAURI_SIGNING_PRIVATE_KEY_PATH",
    "TAURI_SIGNING_PRIVATE_KEY_PASSWORD",
    "GH_TOKEN",
    "GITHUB_TOKEN",
    "DYLD_FRAMEWORK_PATH",
    "DYLD_FALLBACK_LIBRARY_PATH",
    "DYLD_FALLBACK_FRAMEWORK_PATH",
    "DYLD_ROOT_PATH",
    "SSL_CERT_FILE",
    "SSL_CERT_DIR",
};

TEST(EnvironmentPolicy, DeniesTheDocumentNamesThenTheSixAddedInCode) {
    EXPECT_EQ(denied_environment_names(), kExpectedNames);
    // Parsed once: the same list object every time.
    EXPECT_EQ(&denied_environment_names(), &denied_environment_names());
}

TEST(EnvironmentPolicy, DocumentIsOneQuotedNamePerLine) {
    ASSERT_EQ(kEnvironmentPolicyDocument.size(), 434U);
    std::string expected = "[\n";
    for (std::size_t i = 0; i < 19; ++i) {
        expected += "  \"" + kExpectedNames[i] + "\"";
        expected += i + 1 < 19 ? ",\n" : "\n";
    }
    expected += "]\n";
    EXPECT_EQ(kEnvironmentPolicyDocument, expected);
}

TEST(EnvironmentPolicy, MatchesOnlyExactNames) {
    const auto& names = denied_environment_names();
    const auto denied = [&](const std::string& name) {
        return std::find(names.begin(), names.end(), name) != names.end();
    };
    for (const char* name : {"ld_preload", "Node_Options", "LD_PRELOAD_", "LD_PRELOADX", "SSL_CERT", "NODE",
                             "GH_TOKENS", "PATH", "HOME", ""}) {
        EXPECT_FALSE(denied(name)) << name;
    }
}

TEST(ScrubbedCommand, RunsTheProgramAsItsOwnArgvZeroWithTheDenyList) {
    const ChildCommand command = scrubbed_command("/proc/self/fd/7");
    EXPECT_EQ(command.program, "/proc/self/fd/7");
    EXPECT_EQ(command.argv, std::vector<std::string>{"/proc/self/fd/7"});
    EXPECT_EQ(command.env_removals, kExpectedNames);
    EXPECT_TRUE(command.hooks.empty());
}

}  // namespace
}  // namespace quillmere
