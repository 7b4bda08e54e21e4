#include "check/finding.hpp"

#include <algorithm>
#include <utility>

namespace quillmere::check {

std::string_view verdict_word(Verdict verdict) noexcept {
    switch (verdict) {
    case Verdict::passed: return "ok";
    case Verdict::refused: return "refused";
    case Verdict::unknown: return "unknown";
    case Verdict::note: return "note";
    }
    return "note";
}

void Findings::add(std::string check, Verdict verdict, std::string sentence) {
    findings_.push_back(Finding{std::move(check), verdict, std::move(sentence)});
}

int Findings::count(Verdict verdict) const noexcept {
    return static_cast<int>(std::ranges::count(findings_, verdict, &Finding::verdict));
}

}  // namespace quillmere::check
