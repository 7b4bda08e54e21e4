#pragma once
// The reference parent's command line:
//
//   demo    [SHARED...]
//   session --core FILE --guard FILE --config FILE [--node FILE] [--owner UID] [--recover] [SHARED...]
//
// with the SHARED options --stop-after SECONDS | --close-after SECONDS, --supervisor PATH,
// --launch direct|pkexec, --as-user UID, --dir DIR and --keep.

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "linux/error.hpp"
#include "reference_parent/supervisor_process.hpp"

namespace quillmere::reference {

struct ParentOptions {
    bool demo = false;
    std::string core, guard, config, node = "/usr/bin/node";
    std::string supervisor;  // empty: see supervisor_or()
    double stop_after = 3;
    bool close_instead = false;
    Launch launch = Launch::direct;
    std::optional<uid_t> owner;    // who the state directory is handed to (a root parent only)
    std::optional<uid_t> as_user;  // the user this whole side runs as, from before it creates anything
    std::string dir;               // where the state directory is made; a new directory under /tmp when empty
    bool recover = false;
    bool keep = false;

    // The supervisor to start: the one named, or else `built` when started directly and the
    // installed one, the only one the polkit action covers, when started through pkexec.
    [[nodiscard]] std::string supervisor_or(std::string_view built) const;
};

// Parses the words after the program name. A wrong command line is an invalid_input error,
// with a text when a usage line alone would not tell what is wrong.
[[nodiscard]] Result<ParentOptions> parse_parent_options(const std::vector<std::string_view>& words);

}  // namespace quillmere::reference
