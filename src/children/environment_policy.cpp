#include "children/environment_policy.hpp"

#include <cstdlib>

#include <nlohmann/json.hpp>

namespace quillmere {

// Kept as a document rather than a list in code so that the deny list reads, and is reviewed,
// as one fixed piece of data.
const std::string_view kEnvironmentPolicyDocument = R"([
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
  "GITHUB_TOKEN"
]
)";

namespace {

// The remaining loader search paths and the certificate locations that TLS libraries read.
constexpr std::string_view kNamesAddedInCode[] = {
    "DYLD_FRAMEWORK_PATH",
    "DYLD_FALLBACK_LIBRARY_PATH",
    "DYLD_FALLBACK_FRAMEWORK_PATH",
    "DYLD_ROOT_PATH",
    "SSL_CERT_FILE",
    "SSL_CERT_DIR",
};

// The document is a constant of the program, so a failure here is a defect of the build, not
// of any input: there is no caller that could handle it, and no child may run without the list.
// It stops without a word: the failure marker is the only text the supervisor writes there.
[[noreturn]] void stop_on_broken_policy() noexcept { std::abort(); }

std::vector<std::string> parse_denied_names() {
    nlohmann::json document;
    try {
        // strict parsing: only space, tab, line feed and carriage return may follow the array
        document = nlohmann::json::parse(kEnvironmentPolicyDocument);
    } catch (const nlohmann::json::exception&) {
        stop_on_broken_policy();
    }
    if (!document.is_array()) stop_on_broken_policy();

    std::vector<std::string> names;
    names.reserve(document.size() + std::size(kNamesAddedInCode));
    for (const nlohmann::json& name : document) {
        if (!name.is_string()) stop_on_broken_policy();
        names.push_back(name.get<std::string>());
    }
    for (std::string_view name : kNamesAddedInCode) names.emplace_back(name);
    return names;
}

}  // namespace

const std::vector<std::string>& denied_environment_names() {
    static const std::vector<std::string> names = parse_denied_names();
    return names;
}

}  // namespace quillmere
