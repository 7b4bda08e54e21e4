#pragma once
// The rules every file taken from the state directory must meet, on the status read from its
// open descriptor, each one a named value so that whoever explains a refusal names the very
// rule that refused. Pure, and safe to use between fork and exec.

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>

namespace quillmere {

// In the order in which they are checked.
enum class FileRule : std::uint8_t {
    no_set_id,      // no set-user-id or set-group-id bit
    private_mode,   // no permission bit for group or others
    regular,        // a regular file
    non_empty,      // at least one byte
    owner,          // owned by the state directory's owner
    single_link,    // exactly one hard link
    owner_execute,  // an executable has the owner-execute bit
};
// owner_execute is the last rule.
inline constexpr int kFileRuleCount = static_cast<int>(FileRule::owner_execute) + 1;

// A set of rules, as the rules a status breaks.
class FileRuleSet {
public:
    constexpr FileRuleSet() noexcept = default;
    [[nodiscard]] constexpr bool empty() const noexcept { return bits_ == 0; }
    [[nodiscard]] constexpr bool contains(FileRule rule) const noexcept { return (bits_ & bit(rule)) != 0; }
    constexpr void add(FileRule rule) noexcept { bits_ |= bit(rule); }
    friend constexpr bool operator==(FileRuleSet, FileRuleSet) noexcept = default;

private:
    [[nodiscard]] static constexpr std::uint8_t bit(FileRule rule) noexcept {
        return static_cast<std::uint8_t>(1U << static_cast<unsigned>(rule));
    }
    std::uint8_t bits_ = 0;
};

// Every rule `status` breaks for a file that must belong to `owner_uid`; the owner-execute
// rule only when `executable`. The file capability attribute is not part of a status and is
// checked apart (descriptor_violation).
[[nodiscard]] FileRuleSet broken_file_rules(const struct stat& status, uid_t owner_uid, bool executable) noexcept;

// No rule broken, for a file that is not executed.
[[nodiscard]] inline bool meets_file_rules(const struct stat& status, uid_t owner_uid) noexcept {
    return broken_file_rules(status, owner_uid, false).empty();
}

}  // namespace quillmere
