"""The mutation check (scripts/mutation-check): takes away one security check at a time, as
listed in mutations.table, and shows that the test suite notices.

The tree is copied once into out/mutation/tree (only files that changed since the last run are
copied again, so the build in out/mutation/build stays incremental). For each mutation the one
exact text is replaced there, the tree is rebuilt, the tests are run, and the file is restored.
"""

import os
import re
import shutil
import signal
import subprocess
import sys
import time
from dataclasses import dataclass
from pathlib import Path

HERE = Path(__file__).resolve().parent
TABLE = HERE / "mutations.table"
SEPARATOR = "~~"
FIELDS = 6


class Refusal(Exception):
    """Ends the check with status 2 and the message on standard error."""


@dataclass(frozen=True)
class Mutation:
    id: str
    file: str
    selection: str
    find: str
    replacement: str
    description: str


def parse_table(text):
    """The table's mutations in order. Lines starting with # and empty lines are comments; one
    space on each side of a separator belongs to it, any further ones to the text."""
    mutations = []
    for line in text.split("\n"):
        if not line or line.startswith("#"):
            continue
        fields = [field.removeprefix(" ").removesuffix(" ") for field in line.split(SEPARATOR)]
        if len(fields) != FIELDS:
            raise Refusal(f"table line has {len(fields)} fields, not {FIELDS}: {line}")
        ident, file, selection, find, replacement, description = fields
        mutations.append(Mutation(ident, file, selection, find.replace("<NL>", "\n"),
                                  replacement.replace("<NL>", "\n"), description))
    return mutations


def select(mutations, wanted):
    """The mutations to apply: all when wanted (MUTATIONS) is empty, else those it names."""
    if not wanted.split():
        return list(mutations)
    chosen = []
    for name in wanted.split():
        found = [m for m in mutations if m.id == name]
        if not found:
            raise Refusal(f"no mutation named {name}")
        chosen.append(found[-1])
    return chosen


def table_problems(mutations, source_dir):
    """Every text must name exactly one place before anything is built: a text that matches
    twice or not at all means the table no longer describes the code."""
    problems = []
    seen = set()
    for m in mutations:
        if m.id in seen:
            problems.append(f"duplicate id {m.id}")
        seen.add(m.id)
        path = Path(source_dir) / m.file
        if not path.is_file():
            problems.append(f"{m.id}: no file {m.file}")
            continue
        count = path.read_bytes().count(m.find.encode())
        if count != 1:
            problems.append(f"{m.id}: the text occurs {count} times in {m.file}, not once: {m.find}")
    return problems


FAILED_LINE = re.compile(r"^\s*[0-9]* - ([^ ]*)")


def first_failures(log):
    """The first two tests CTest lists as failed, comma-separated."""
    lines = log.split("\n")
    starts = [i for i, line in enumerate(lines) if "The following tests FAILED" in line]
    if not starts:
        return ""
    names = [m.group(1) for m in map(FAILED_LINE.match, lines[starts[0]:]) if m]
    return ",".join(names[:2])


def row(ident, verdict, seconds, description, by):
    return f"{ident:<26} {verdict:<12} {seconds:>4}s  {description:<50} {by}"


class Check:
    def __init__(self, source_dir, jobs, test_timeout):
        self.source = Path(source_dir)
        work = self.source / "out" / "mutation"
        self.tree, self.build, self.logs = work / "tree", work / "build", work / "logs"
        self.jobs, self.test_timeout = jobs, test_timeout
        self.current = None

    def sync_tree(self):
        """Brings the scratch tree up to the working tree: only files whose content differs are
        copied, so they get a new time stamp and everything else stays built."""
        listed = subprocess.run(["git", "ls-files", "-co", "--exclude-standard", "-z"], cwd=self.source,
                                check=True, capture_output=True).stdout
        for name in filter(None, listed.decode().split("\0")):
            source, copy = self.source / name, self.tree / name
            if not source.is_file():
                continue
            if copy.is_file() and copy.read_bytes() == source.read_bytes():
                continue
            copy.parent.mkdir(parents=True, exist_ok=True)
            if copy.exists():
                shutil.copyfile(source, copy)
            else:
                shutil.copy(source, copy)

    def restore(self):
        if self.current is not None:
            shutil.copyfile(self.source / self.current, self.tree / self.current)
            self.current = None

    def build_tree(self, log):
        with open(log, "w") as out:
            return subprocess.run(["cmake", "--build", str(self.build), f"-j{self.jobs}"], stdout=out,
                                  stderr=subprocess.STDOUT).returncode == 0

    def run_tests(self, selection, log):
        """Runs the tests whose names match selection ("." for all); true when all passed."""
        with open(log, "w") as out:
            return subprocess.run(["ctest", "--test-dir", str(self.build), f"-j{self.jobs}", "--timeout",
                                   str(self.test_timeout), "--output-on-failure", "-R", selection],
                                  stdout=out, stderr=subprocess.STDOUT).returncode == 0

    def verdict(self, m):
        log = self.logs / m.id
        if not self.build_tree(f"{log}.build.log"):
            return "n/a (build)", ""
        if not self.run_tests(m.selection, f"{log}.tests.log"):
            return "caught", first_failures(Path(f"{log}.tests.log").read_text(errors="replace"))
        if m.selection != "." and not self.run_tests(".", f"{log}.all-tests.log"):
            return "caught", "(whole suite) " + first_failures(
                Path(f"{log}.all-tests.log").read_text(errors="replace"))
        return "SURVIVED", ""

    def run(self, selected):
        start = time.time()
        self.tree.mkdir(parents=True, exist_ok=True)
        self.logs.mkdir(parents=True, exist_ok=True)
        self.sync_tree()
        if not (self.build / "CMakeCache.txt").is_file():
            # Unoptimised: the mutations only need a correct build, and -O0 builds and links quickest.
            with open(self.logs / "configure.log", "w") as out:
                if subprocess.run(["cmake", "-S", str(self.tree), "-B", str(self.build), "-DCMAKE_BUILD_TYPE=Debug",
                                   "-DCMAKE_CXX_FLAGS_DEBUG=-O0"], stdout=out, stderr=subprocess.STDOUT).returncode:
                    raise Refusal(f"configure failed, see {self.logs}/configure.log")
        if not self.build_tree(self.logs / "baseline-build.log"):
            raise Refusal(f"the unmutated tree does not build, see {self.logs}/baseline-build.log")
        if not self.run_tests(".", self.logs / "baseline-tests.log"):
            raise Refusal(f"the unmutated tree fails its tests, see {self.logs}/baseline-tests.log")
        baseline_seconds = int(time.time()) - int(start)

        counts = {"caught": 0, "SURVIVED": 0, "n/a (build)": 0}
        rows = []
        for m in selected:
            mutation_start = int(time.time())
            self.current = m.file
            copy = self.tree / m.file
            copy.write_bytes(copy.read_bytes().replace(m.find.encode(), m.replacement.encode(), 1))
            if copy.read_bytes() == (self.source / m.file).read_bytes():
                self.restore()
                raise Refusal(f"{m.id}: the replacement changed nothing")
            verdict, by = self.verdict(m)
            counts[verdict] += 1
            self.restore()
            line = row(m.id, verdict, int(time.time()) - mutation_start, m.description, by)
            print(line, flush=True)
            rows.append(line)

        # Leave the scratch build matching the tree, so that the next run starts incremental.
        self.build_tree(self.logs / "final-build.log")

        total = int(time.time()) - int(start)
        print(f"\n{'mutation':<26} {'result':<12} {'time':>5}  {'what it breaks':<50} first failing tests")
        print("".join(line + "\n" for line in rows))
        print(f"figure: mutations {len(selected)}")
        print(f"figure: mutations-caught {counts['caught']}")
        print(f"figure: mutations-survived {counts['SURVIVED']}")
        print(f"figure: mutations-not-applicable {counts['n/a (build)']}")
        print(f"figure: mutation-baseline-seconds {baseline_seconds}")
        print(f"figure: mutation-run-seconds {total}")
        return 0 if counts["SURVIVED"] == 0 and counts["n/a (build)"] == 0 else 1


def main(argv):
    source_dir = HERE.parent.parent
    try:
        mutations = parse_table(TABLE.read_text())
        selected = select(mutations, os.environ.get("MUTATIONS", ""))
        problems = table_problems(mutations, source_dir)
        for problem in problems:
            print(f"mutation-check: {problem}", file=sys.stderr)
        if problems:
            return 2
        # --table: only that, which takes a second and so runs first in CI.
        if argv[1:2] == ["--table"]:
            print(f"mutation-check: {len(mutations)} mutations, each text found once")
            return 0
        check = Check(source_dir, os.environ.get("QUILLMERE_JOBS", "2"),
                      os.environ.get("MUTATION_TEST_TIMEOUT", "60"))

        def interrupted(signum, frame):
            check.restore()
            sys.exit(130)

        signal.signal(signal.SIGINT, interrupted)
        signal.signal(signal.SIGTERM, interrupted)
        try:
            return check.run(selected)
        finally:
            check.restore()
    except Refusal as refusal:
        print(f"mutation-check: {refusal}", file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
