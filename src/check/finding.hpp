#pragma once
// What the session checker found: one finding per check, each with its verdict and one plain
// sentence that names the file, the rule and the fact.

#include <string>
#include <string_view>
#include <vector>

namespace quillmere::check {

enum class Verdict {
    passed,   // the supervisor accepts this
    refused,  // this makes the supervisor refuse, or end the run otherwise than asked
    unknown,  // could not be checked from here (for example, as a user who may not read it)
    note,     // a fact worth knowing that changes nothing
};

[[nodiscard]] std::string_view verdict_word(Verdict verdict) noexcept;

struct Finding {
    std::string check;  // a stable name: "tun.json/mode", "parent.sock", "host/pidfd_open"
    Verdict verdict = Verdict::note;
    std::string sentence;
};

class Findings {
public:
    void add(std::string check, Verdict verdict, std::string sentence);
    [[nodiscard]] const std::vector<Finding>& all() const noexcept { return findings_; }
    [[nodiscard]] int count(Verdict verdict) const noexcept;
    // Nothing found that would make the supervisor refuse, and nothing left unchecked.
    [[nodiscard]] bool clean() const noexcept { return count(Verdict::refused) == 0 && count(Verdict::unknown) == 0; }

private:
    std::vector<Finding> findings_;
};

}  // namespace quillmere::check
