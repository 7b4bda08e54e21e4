"""Reads what a guest reports: CTest's progress lines, and the lines of the guest's own steps.

A guest's log holds, among anything else it printed:
    release 6.1.0-50-amd64
    1/350 Test  #12: Suite.Case ......................   Passed    0.01 sec
    2/350 Test  #13: Suite.Other .....................***Failed    0.50 sec
          Test  #13: Suite.Other .....................   Passed    0.40 sec      (its rerun)
    step demo passed 3.2
    step pkexec failed 15.0
    note something the host should print
"""

import re
from dataclasses import dataclass, field

# A case's name may hold spaces (a parameter's description); the dots CTest pads it with end it.
# A parameterised case's "  # GetParam() = VALUE" after the name is dropped.
_CTEST = re.compile(r"^\s*(?:\d+/\d+\s+)?Test\s+#\d+:\s+(?P<name>\S.*?)(?:\s+# GetParam\(\).*?)?\s*\.+\s*(?:\*\*\*)?"
                    r"(?P<outcome>Passed|Failed|Timeout|Exception|Not Run|Skipped|SKIP_REGULAR_EXPRESSION matched)"
                    r".*?(?P<seconds>\d+(?:\.\d+)?)\s+sec\s*$")
_STEP = re.compile(r"^step (?P<name>\S+) (?P<outcome>passed|failed|skipped) (?P<seconds>\d+(?:\.\d+)?)\s*$")
_RELEASE = re.compile(r"^release (?P<release>\S+)\s*$")
_NOTE = re.compile(r"^note (?P<text>.+?)\s*$")
_FINISHED = re.compile(r"^guest finished\s*$")


@dataclass
class GuestReport:
    release: str = ""
    passed: list = field(default_factory=list)
    failed: list = field(default_factory=list)
    skipped: list = field(default_factory=list)
    # Passed only when run again (CTest's --repeat until-pass), named so that nobody takes them for
    # steady passes.
    rerun: list = field(default_factory=list)
    notes: list = field(default_factory=list)
    finished: bool = False

    @property
    def ok(self):
        return self.finished and not self.failed and bool(self.passed)


def parse(text):
    """The report in a guest's log. A test named twice (a rerun) counts by its last line."""
    outcomes, report = {}, GuestReport()
    for line in text.splitlines():
        line = line.rstrip("\r")
        if match := _RELEASE.match(line):
            report.release = match["release"]
        elif match := _CTEST.match(line):
            outcome = match["outcome"]
            kind = "passed" if outcome == "Passed" else "skipped" if outcome in ("Skipped", "SKIP_REGULAR_EXPRESSION matched") else "failed"
            if kind == "passed" and outcomes.get(match["name"]) == "failed" and match["name"] not in report.rerun:
                report.rerun.append(match["name"])
            outcomes[match["name"]] = kind
        elif match := _STEP.match(line):
            outcomes["step:" + match["name"]] = match["outcome"]
        elif match := _NOTE.match(line):
            report.notes.append(match["text"])
        elif _FINISHED.match(line):
            report.finished = True
    for name, kind in outcomes.items():
        getattr(report, kind).append(name)
    return report
