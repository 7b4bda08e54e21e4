#pragma once
// The checker's findings as people read them, and as one JSON document for a bug report.

#include <string>

#include "check/finding.hpp"

namespace quillmere::check {

struct ReportHeading {
    std::string subject;    // "state directory" or "host"
    std::string target;     // the directory argument, or the machine
    std::string form;       // "run", "recover", or empty for the host
    bool finished = false;  // the directory of a run that has ended
};

// One line per finding, a verdict word and the sentence, then a closing line.
[[nodiscard]] std::string text_report(const ReportHeading& heading, const Findings& findings);

// {"format":1,"subject":...,"target":...,"form":...,"refused":N,"unknown":N,"checks":[...]} and
// a line feed. Bytes that are not UTF-8 (a path may hold any) are replaced, never dropped.
[[nodiscard]] std::string json_report(const ReportHeading& heading, const Findings& findings);

}  // namespace quillmere::check
