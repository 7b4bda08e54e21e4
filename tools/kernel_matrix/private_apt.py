"""A private apt for one Debian suite and architecture, under the check's cache directory.

Its own sources list, state, lists and archive cache, an empty status file and an empty
apt.conf.d, so that nothing the machine's apt knows or holds is read or changed; the mirror
and keyring are the machine's own, read from its sources.
"""

import os
import re
import subprocess
from pathlib import Path

SOURCES_FILES = [Path("/etc/apt/sources.list"), *sorted(Path("/etc/apt/sources.list.d").glob("*"))]
DEFAULT_KEYRING = "/usr/share/keyrings/debian-archive-keyring.gpg"


def debian_mirror(texts):
    """The URI of the machine's Debian archive (the one that carries the main suites, not the
    security archive) from the texts of its sources files, one-line or deb822; None if none."""
    for text in texts:
        # deb822 stanzas
        for stanza in re.split(r"\n\s*\n", text):
            fields = {}
            for line in stanza.splitlines():
                if line.startswith("#") or ":" not in line:
                    continue
                key, _, value = line.partition(":")
                fields[key.strip().lower()] = value.strip()
            uris, suites = fields.get("uris", ""), fields.get("suites", "").split()
            if fields.get("types", "").split().count("deb") and uris and _main_archive(uris.split()[0], suites):
                return uris.split()[0].rstrip("/")
        # one-line entries
        for line in text.splitlines():
            words = re.sub(r"\[[^]]*\]", " ", line).split()
            if len(words) >= 3 and words[0] == "deb" and _main_archive(words[1], [words[2]]):
                return words[1].rstrip("/")
    return None


def _main_archive(uri, suites):
    return (uri.rstrip("/").endswith("/debian") and
            any(re.fullmatch(r"[a-z]+(-updates)?", suite) for suite in suites))


def machine_mirror():
    texts = [path.read_text(errors="replace") for path in SOURCES_FILES if path.is_file()]
    return debian_mirror(texts)


def configuration(root, mirror, suite, architecture, keyring=DEFAULT_KEYRING):
    """The files of a private apt under `root`: {relative path: content}, and the apt options that
    point apt at them (to be passed on every call with -o)."""
    root = Path(root)
    sources = (f"deb [arch={architecture} signed-by={keyring}] {mirror} {suite} main\n")
    options = {
        "Dir::Etc": str(root / "etc"),
        "Dir::Etc::SourceList": str(root / "etc/sources.list"),
        "Dir::Etc::SourceParts": str(root / "etc/sources.list.d"),
        "Dir::Etc::Parts": str(root / "etc/apt.conf.d"),
        "Dir::Etc::Preferences": str(root / "etc/preferences"),
        "Dir::Etc::PreferencesParts": str(root / "etc/preferences.d"),
        "Dir::State": str(root / "state"),
        "Dir::State::Lists": str(root / "state/lists"),
        "Dir::State::status": str(root / "state/status"),
        "Dir::Cache": str(root / "cache"),
        "Dir::Cache::Archives": str(root / "cache/archives"),
        "APT::Architecture": architecture,
        "APT::Architectures": architecture,
        "APT::Get::Download-Only": "true",
        "Debug::NoLocking": "true",
    }
    files = {"etc/sources.list": sources, "state/status": ""}
    directories = ["etc/sources.list.d", "etc/apt.conf.d", "etc/preferences.d", "state/lists/partial",
                   "cache/archives/partial", "debs"]
    return files, directories, options


class PrivateApt:
    def __init__(self, root, mirror, suite, architecture, log):
        self.root = Path(root)
        self.files, self.directories, self.options = configuration(self.root, mirror, suite, architecture)
        self.log = log
        for directory in self.directories:
            (self.root / directory).mkdir(parents=True, exist_ok=True)
        for name, content in self.files.items():
            path = self.root / name
            if not path.exists() or path.read_text() != content:
                path.write_text(content)

    def _run(self, tool, *arguments, cwd=None):
        command = [tool]
        for key, value in self.options.items():
            command += ["-o", f"{key}={value}"]
        command += list(arguments)
        # APT_CONFIG names an empty file: the machine's apt.conf is not read either.
        empty = self.root / "etc/apt.conf"
        empty.touch()
        environment = dict(os.environ, APT_CONFIG=str(empty), LC_ALL="C")
        result = subprocess.run(command, cwd=cwd, env=environment, capture_output=True, text=True)
        if result.returncode != 0:
            raise RuntimeError(f"{' '.join(command[:1] + list(arguments))} failed:\n{result.stderr}")
        return result.stdout

    def update(self):
        self.log(f"apt update ({self.root.name})")
        self._run("apt-get", "-q", "update")

    def has_lists(self):
        return any((self.root / "state/lists").glob("*Packages*"))

    def depends(self, package):
        """The packages `package` depends on, as apt-cache show gives them (first alternative)."""
        text = self._run("apt-cache", "show", "--no-all-versions", package)
        return parse_depends(text)

    def closure(self, packages):
        """`packages` and everything they need to run, as apt-cache resolves it."""
        text = self._run("apt-cache", "depends", "--recurse", "--no-recommends", "--no-suggests", "--no-conflicts",
                         "--no-breaks", "--no-replaces", "--no-enhances", "--no-pre-depends", *packages)
        names = [line.strip() for line in text.splitlines() if line and not line.startswith(" ")]
        pre = self._run("apt-cache", "depends", "--recurse", "--no-recommends", "--no-suggests", "--no-conflicts",
                        "--no-breaks", "--no-replaces", "--no-enhances", *packages)
        names += [line.strip() for line in pre.splitlines() if line and not line.startswith(" ")]
        return sorted({name for name in names if not name.startswith("<")})

    def download(self, packages):
        """The .deb files of `packages`, downloaded once into the cache and reused after."""
        debs = self.root / "debs"
        missing = [p for p in packages if not list(debs.glob(f"{_escape(p)}_*.deb"))]
        if missing:
            self.log(f"apt download ({self.root.name}): {' '.join(missing)}")
            self._run("apt-get", "-q", "download", *missing, cwd=debs)
        found = []
        for package in packages:
            matches = sorted(debs.glob(f"{_escape(package)}_*.deb"))
            if not matches:
                raise RuntimeError(f"no .deb for {package} in {debs}")
            found.append(matches[-1])
        return found


def _escape(name):
    return re.sub(r"([\[\]*?])", r"[\1]", name)


def parse_depends(text):
    """The package names in the first stanza's Depends (and Pre-Depends) field, taking the first
    of each set of alternatives and dropping versions and architecture qualifiers."""
    names = []
    stanza = re.split(r"\n\s*\n", text.strip())[0] if text.strip() else ""
    for line in stanza.splitlines():
        key, _, value = line.partition(":")
        if key not in ("Depends", "Pre-Depends"):
            continue
        for clause in value.split(","):
            first = clause.split("|")[0].strip()
            name = re.split(r"[\s(:]", first)[0]
            if name:
                names.append(name)
    return names
