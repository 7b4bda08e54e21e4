#pragma once
// Reading what the stand-in child (tests/programs/stand_in_child.cpp) recorded about itself,
// and setting the environment knobs that steer it.

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillmere::testing {

struct StandInRecord {
    pid_t pid = 0;
    pid_t ppid = 0;
    uid_t euid = 0;
    std::vector<std::string> argv;
    std::vector<std::string> environment;    // "NAME=value", in order
    std::map<int, std::string> descriptors;  // number -> readlink target
    std::map<int, std::string> open_modes;   // number -> "r", "w" or "rw", "@" and the offset
    std::string blocked_signals;             // SigBlk of /proc/self/status, hexadecimal
    std::string ignored_signals;             // SigIgn
    std::string umask;                       // Umask, four octal digits
    std::string config_path;
    std::optional<std::uint64_t> config_size;
    std::string config_hash;  // 64-bit FNV-1a, 16 hexadecimal digits
    std::optional<int> config_error;

    // The value of variable `name`, or nullopt when it is not set.
    [[nodiscard]] std::optional<std::string> variable(std::string_view name) const;
};

// Parses the record at `path`; nullopt when the file does not exist (yet).
[[nodiscard]] std::optional<StandInRecord> read_stand_in_record(const std::string& path);

// Waits until `path` exists (the stand-in renames its files into place when complete).
[[nodiscard]] bool wait_for_file(const std::string& path, double timeout_seconds);

// The hash the stand-in records for its configuration.
[[nodiscard]] std::string fnv1a64_hex(std::string_view bytes);

// Sets (or, with nullopt, unsets) one environment variable for the lifetime of the object.
class ScopedVariable {
public:
    ScopedVariable(std::string name, std::optional<std::string> value);
    ~ScopedVariable();
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

private:
    std::string name_;
    std::optional<std::string> previous_;
};

}  // namespace quillmere::testing
