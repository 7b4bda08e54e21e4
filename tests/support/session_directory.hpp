#pragma once
// A state directory as the parent prepares it, up to the session file: the part every test of
// "run" and "recover" starts from.

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

namespace quillmere::testing {

inline constexpr std::string_view kTestNonce = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";
inline constexpr std::string_view kTestSessionName = "quillmere-vpn-test1";

// {"format":1,"parent_nonce":NONCE} and a line feed.
[[nodiscard]] std::string session_file_content(std::string_view nonce = kTestNonce);

// Creates `parent`/`name` with mode 0700 and, inside, "supervisor.json" with mode 0600, both
// owned by `owner` (group follows the uid). Returns the directory's path.
std::string make_session_directory(const std::string& parent, std::string_view name = kTestSessionName,
                                   uid_t owner = 0);

// The names in `directory`, sorted, without "." and "..".
[[nodiscard]] std::vector<std::string> directory_entries(const std::string& directory);

}  // namespace quillmere::testing
