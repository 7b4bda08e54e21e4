#include "main/entry.hpp"

#include <stdio.h>
#include <unistd.h>

#include <cerrno>

#include "app_routing/check_worker.hpp"
#include "linux/error.hpp"
#include "linux/write_all.hpp"
#include "main/documents.hpp"
#include "main/modes.hpp"

namespace quillmere {

namespace {

constexpr Error kCommandLineRefused = Error::with_text(ErrorKind::invalid_input, "unrecognised command line");

// Standard output carries the whole answer of the query forms, so a reader that went away
// (EPIPE, as SIGPIPE is ignored) or a full disk makes the form fail rather than claim success.
Result<void> print(std::string_view line) { return write_all(STDOUT_FILENO, line); }

Result<void> dispatch(std::span<const std::string_view> args) {
    if (args.size() == 1) {
        if (args[0] == "--version") return print(kVersionBanner);
        if (args[0] == "check-app-routing") return print(app_routing_document(check_app_routing()));
    } else if (args.size() == 2) {
        if (args[0] == "run") return run_mode(args[1]);
        if (args[0] == "recover") return recover_mode(args[1]);
    }
    return fail(kCommandLineRefused);
}

}  // namespace

// The single failure path: the error itself is never shown, only the marker, once.
void report_failure() noexcept {
    ::flockfile(stderr);
    // EBADF (standard error closed after start-up) or any other error: nothing more can be
    // said, and the exit status alone still says it.
    (void)write_all(STDERR_FILENO, kFailureMarker);
    ::funlockfile(stderr);
}

int run_supervisor(std::span<const std::string_view> args) {
    if (dispatch(args).has_value()) return 0;
    report_failure();
    return 1;
}

}  // namespace quillmere
