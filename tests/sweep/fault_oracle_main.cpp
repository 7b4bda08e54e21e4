// The fault sweep's judge: scripts/fault-sweep runs one injected session into a point
// directory and calls this on it.
//   fault_oracle POINT_DIR MODE LABEL TAG
// It ends whatever process of the session is still alive (each carries TAG in its
// environment), judges what the session left, and writes into POINT_DIR "verdict" (injected,
// or unreached when the injection never happened), "summary" and, for a broken promise,
// "violations", one a line.

#include <dirent.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "support/fault_oracle.hpp"
#include "support/scratch.hpp"

namespace {

using quillmere::testing::judge_session;
using quillmere::testing::read_sweep_session;
using quillmere::testing::SweepJudgement;

// The session's processes still alive: those whose environment holds the point's tag.
std::vector<pid_t> tagged_processes(const std::string& tag) {
    std::vector<pid_t> found;
    const std::string wanted = "QUILLMERE_SWEEP_TAG=" + tag;
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) return found;
    while (const dirent* entry = ::readdir(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0') continue;
        std::ifstream environ("/proc/" + std::string(entry->d_name) + "/environ", std::ios::binary);
        for (std::string variable; std::getline(environ, variable, '\0');) {
            if (variable == wanted) {
                found.push_back(static_cast<pid_t>(pid));
                break;
            }
        }
    }
    ::closedir(proc);
    return found;
}

void write_text(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        (void)std::fputs("usage: fault_oracle POINT_DIR MODE LABEL TAG\n", stderr);
        return 2;
    }
    const std::string directory = argv[1];
    std::string alive;
    for (const pid_t pid : tagged_processes(argv[4])) {
        alive += std::to_string(pid) + " ";
        (void)::kill(pid, SIGKILL);
    }
    SweepJudgement judgement = judge_session(read_sweep_session(directory, argv[2], argv[3]));
    if (!alive.empty()) judgement.violations.insert(judgement.violations.begin(), "processes left alive: " + alive);

    write_text(directory + "/verdict", judgement.injected ? "injected\n" : "unreached\n");
    write_text(directory + "/summary", judgement.summary);
    if (!judgement.violations.empty()) {
        std::string lines;
        for (const std::string& violation : judgement.violations) lines += violation + "\n";
        write_text(directory + "/violations", lines);
    }
    return 0;
}
