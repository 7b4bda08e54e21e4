#include "sessions.hpp"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

#include "children/input_files.hpp"
#include "processes.hpp"

namespace quillmere::bench {

reference::StateDirectory make_state_directory(Bench& b) {
    auto dir = need(reference::StateDirectory::create(b.base, "bench" + std::to_string(b.next_suffix++),
                                                      reference::Owner::of_uid(65534)),
                    "state directory");
    need(dir.copy_program(kNodeExecutableName, b.child), "node");
    need(dir.copy_program(kCoreExecutableName, b.child), "sing-box");
    need(dir.write_file(kGuardScriptName, "process.exit(0);\n", 0700), "network-guard.cjs");
    need(dir.write_file(kCoreConfigurationName, "{\"inbounds\":[{\"type\":\"tun\"}]}\n", 0600), "tun.json");
    return dir;
}

void set_core_behaviour(const char* behaviour) { ::setenv("QUILLMERE_BENCH_CORE", behaviour, 1); }

void clear_events(const Bench& b) { (void)::truncate(b.events.c_str(), 0); }

std::optional<Nanoseconds> event_time(const Bench& b, std::string_view what) {
    std::ifstream in(b.events);
    for (std::string line; std::getline(in, line);) {
        const std::size_t space = line.find(' ');
        if (space != std::string::npos && std::string_view(line).substr(space + 1) == what)
            return std::strtoll(line.c_str(), nullptr, 10);
    }
    return std::nullopt;
}

std::vector<std::string> noted_command_line(const Bench& b, std::string_view role) {
    std::ifstream in(b.events + "." + std::string(role), std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> args;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = text.find('\0', at);
        if (end == std::string::npos) break;
        args.emplace_back(text, at, end - at);
        at = end + 1;
    }
    return args;
}

SessionResult run_session(Bench& b, const reference::StateDirectory& dir, reference::Script script) {
    auto parent = need(reference::ParentSession::listen(dir, std::move(script)), "parent socket");
    auto process =
        need(reference::SupervisorProcess::start(b.options.supervisor, reference::SupervisorMode::run, dir.path()),
             "supervisor");
    SessionResult result;
    result.outcome = need(process.finish(kSessionTimeLimit), "supervisor");
    parent->supervisor_exited();
    auto timeline = parent->wait_for_end(seconds(2));
    if (!timeline) die("the parent's side of a session did not end");
    result.timeline = std::move(*timeline);
    return result;
}

}  // namespace quillmere::bench
