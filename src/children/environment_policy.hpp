#pragma once
// The environment variables no child may inherit: those that steer code preloading, library
// and module search and TLS trust in the children's runtimes, and the names under which
// signing keys and repository tokens travel.

#include <string>
#include <string_view>
#include <vector>

namespace quillmere {

// The built-in policy document: a JSON array of names.
extern const std::string_view kEnvironmentPolicyDocument;

// The document's names followed by the names added in code; parsed once.
[[nodiscard]] const std::vector<std::string>& denied_environment_names();

}  // namespace quillmere
