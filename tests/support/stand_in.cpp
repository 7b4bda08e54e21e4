#include "support/stand_in.hpp"

#include <sys/stat.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace quillmere::testing {
namespace {

std::string unescaped(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 >= text.size()) {
            out += text[i];
            continue;
        }
        const char next = text[++i];
        if (next == 'n') {
            out += '\n';
        } else if (next == 'x' && i + 2 < text.size()) {
            out += static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
            i += 2;
        } else {
            out += next;
        }
    }
    return out;
}

}  // namespace

std::optional<std::string> StandInRecord::variable(std::string_view name) const {
    for (const std::string& entry : environment) {
        if (entry.size() > name.size() && entry.compare(0, name.size(), name) == 0 && entry[name.size()] == '=')
            return entry.substr(name.size() + 1);
    }
    return std::nullopt;
}

std::optional<StandInRecord> read_stand_in_record(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    StandInRecord record;
    std::string line;
    while (std::getline(in, line)) {
        const std::size_t space = line.find(' ');
        const std::string key = line.substr(0, space);
        const std::string value = space == std::string::npos ? std::string() : line.substr(space + 1);
        if (key == "pid") {
            record.pid = std::stoi(value);
        } else if (key == "ppid") {
            record.ppid = std::stoi(value);
        } else if (key == "euid") {
            record.euid = static_cast<uid_t>(std::stoul(value));
        } else if (key == "arg") {
            record.argv.push_back(unescaped(value));
        } else if (key == "env") {
            record.environment.push_back(unescaped(value));
        } else if (key == "fd") {
            const std::size_t gap = value.find(' ');
            record.descriptors[std::stoi(value.substr(0, gap))] = unescaped(value.substr(gap + 1));
        } else if (key == "fdmode") {
            const std::size_t gap = value.find(' ');
            record.open_modes[std::stoi(value.substr(0, gap))] = value.substr(gap + 1);
        } else if (key == "sigblk") {
            record.blocked_signals = value;
        } else if (key == "sigign") {
            record.ignored_signals = value;
        } else if (key == "umask") {
            record.umask = value;
        } else if (key == "config_path") {
            record.config_path = unescaped(value);
        } else if (key == "config_size") {
            record.config_size = std::stoull(value);
        } else if (key == "config_fnv1a64") {
            record.config_hash = value;
        } else if (key == "config_error") {
            record.config_error = std::stoi(value);
        }
    }
    return record;
}

bool wait_for_file(const std::string& path, double timeout_seconds) {
    const long long steps = static_cast<long long>(timeout_seconds * 100);
    for (long long i = 0; i <= steps; ++i) {
        struct stat status {};
        if (::stat(path.c_str(), &status) == 0) return true;
        const timespec pause{0, 10'000'000};
        ::nanosleep(&pause, nullptr);
    }
    return false;
}

std::string fnv1a64_hex(std::string_view bytes) {
    std::uint64_t hash = 14695981039346656037ULL;
    for (const unsigned char c : bytes) {
        hash ^= c;
        hash *= 1099511628211ULL;
    }
    char hex[17];
    (void)std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
    return hex;
}

ScopedVariable::ScopedVariable(std::string name, std::optional<std::string> value) : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) previous_ = old;
    if (value) {
        ::setenv(name_.c_str(), value->c_str(), 1);
    } else {
        ::unsetenv(name_.c_str());
    }
}

ScopedVariable::~ScopedVariable() {
    if (previous_) {
        ::setenv(name_.c_str(), previous_->c_str(), 1);
    } else {
        ::unsetenv(name_.c_str());
    }
}

}  // namespace quillmere::testing
