#include "check/report.hpp"

#include <nlohmann/json.hpp>

namespace quillmere::check {

namespace {

std::string closing_line(const ReportHeading& heading, const Findings& findings) {
    const int refused = findings.count(Verdict::refused);
    const int unknown = findings.count(Verdict::unknown);
    if (refused == 0 && unknown == 0)
        return heading.finished ? "Nothing here broke the supervisor's rules; the notes above tell how the run ended.\n"
                                : "Nothing here would make the supervisor refuse.\n";
    std::string line;
    if (refused > 0)
        line = "The supervisor would refuse or fail: " + std::to_string(refused) +
               (refused == 1 ? " problem" : " problems") + ".";
    if (unknown > 0)
        line += std::string(line.empty() ? "" : " ") + std::to_string(unknown) + (unknown == 1 ? " check" : " checks") +
                " could not be made from here.";
    return line + "\n";
}

}  // namespace

std::string text_report(const ReportHeading& heading, const Findings& findings) {
    std::string out =
        heading.form.empty()
            ? "Checking this " + heading.subject + " (state directories under " + heading.target + ")\n"
            : "Checking the " + heading.subject + " " + heading.target + " for \"" + heading.form + "\"\n";
    for (const Finding& finding : findings.all()) {
        std::string word(verdict_word(finding.verdict));
        if (finding.verdict == Verdict::refused) word = "REFUSED";
        word.resize(8, ' ');
        out += "  " + word + finding.sentence + "\n";
    }
    return out + closing_line(heading, findings);
}

std::string json_report(const ReportHeading& heading, const Findings& findings) {
    try {
        nlohmann::ordered_json checks = nlohmann::ordered_json::array();
        for (const Finding& finding : findings.all()) {
            checks.push_back({{"check", finding.check},
                              {"verdict", std::string(verdict_word(finding.verdict))},
                              {"sentence", finding.sentence}});
        }
        nlohmann::ordered_json document = {{"format", 1},
                                           {"subject", heading.subject},
                                           {"target", heading.target},
                                           {"refused", findings.count(Verdict::refused)},
                                           {"unknown", findings.count(Verdict::unknown)},
                                           {"checks", std::move(checks)}};
        if (!heading.form.empty()) document["form"] = heading.form;
        return document.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
    } catch (...) {
        // Only an allocation can fail here; the exit status still tells the outcome.
        return "{\"format\":1}\n";
    }
}

}  // namespace quillmere::check
