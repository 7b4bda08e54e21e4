#pragma once
// The parent's end of the link: it listens on "parent.sock", accepts the supervisor's one
// connection, checks the hello line against its nonce, answers, and then asks for a stop when
// it wants the run to end. Here the parent follows a script, so that every way of answering,
// right or wrong, can be played against the supervisor, and it writes down when each step
// happened.
//
// The exchange, from the parent's side:
//   1. listen on "parent.sock" (mode 0600, the directory's owner) before starting the supervisor;
//   2. accept one connection and read the 65-byte hello line: the nonce and a line feed;
//   3. if it is the nonce of the session file, write "OK\n" within 2 seconds; otherwise close;
//   4. keep the connection open and silent while the run is to go on;
//   5. to stop: create the file "stop", or close the connection (or write to it);
//   6. the end of the stream tells that the supervisor has finished.

#include <sys/types.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "linux/deadline.hpp"
#include "linux/error.hpp"
#include "linux/unique_fd.hpp"
#include "reference_parent/state_directory.hpp"

namespace quillmere::reference {

inline constexpr std::string_view kAcknowledgement = "OK\n";

// How the parent answers the hello line.
enum class Answer {
    after_hello,   // reads the hello line, then writes the acknowledgement in one write
    in_pieces,     // reads the hello line, then writes the acknowledgement one byte per write
    before_hello,  // writes the acknowledgement as soon as it has accepted, then reads the hello
    never,         // reads the hello line and never answers
    hang_up,       // closes the connection as soon as it has accepted, reading nothing
};

// What the parent does with the link once it has answered (or, with Answer::never, once the
// hello line is in).
enum class Afterwards {
    stay_silent,  // keeps it open and silent until the supervisor closes its end
    close,        // closes its end: a stop request
    write_byte,   // writes one byte, a stop request, and then stays silent
};

struct Script {
    Answer answer = Answer::after_hello;
    // The bytes of the answer. Anything but "OK\n" ("ok\n", "OK\r", "OK", "OK\nXY") plays a
    // parent that gets the acknowledgement wrong.
    std::string acknowledgement = std::string(kAcknowledgement);
    Nanoseconds piece_delay = milliseconds(200);  // between the writes of Answer::in_pieces
    Afterwards afterwards = Afterwards::stay_silent;
    Nanoseconds afterwards_delay = 0;  // from the acknowledgement (from the hello when none)
    // Creates the stop marker this long after the acknowledgement (after the hello when none).
    std::optional<Nanoseconds> stop_marker_after = std::nullopt;
    // How long the parent waits for the hello line after accepting.
    Nanoseconds hello_time_limit = seconds(10);
};

// What the socket file looks like. Only the default is what a parent should make; the other
// forms are for seeing the supervisor refuse them.
enum class SocketForm {
    listening,          // "parent.sock" is the listening socket
    link_to_listening,  // "parent.sock" is a symbolic link to the listening socket "linked.sock"
    stale,              // "parent.sock" is a socket nobody listens on any more
};

inline constexpr std::string_view kLinkedSocketName = "linked.sock";

struct SocketFile {
    SocketForm form = SocketForm::listening;
    mode_t mode = 0600;
    std::optional<Owner> owner = std::nullopt;  // the socket's owner; the directory's owner when not given
};

// When each step happened, on CLOCK_MONOTONIC (monotonic_now()), and what arrived.
struct Timeline {
    Nanoseconds listening = 0;                     // the socket was ready for the supervisor
    std::optional<Nanoseconds> accepted;           // the supervisor's connection
    std::optional<Nanoseconds> hello_received;     // the whole line, or what came before EOF
    std::optional<Nanoseconds> acknowledged;       // the last byte of the answer written
    std::optional<Nanoseconds> stop_requested;     // the stop marker created
    std::optional<Nanoseconds> byte_written;       // Afterwards::write_byte done
    std::optional<Nanoseconds> parent_closed;      // the parent closed its end
    std::optional<Nanoseconds> supervisor_closed;  // the end of the stream from the supervisor
    std::string hello;                             // the bytes of the hello line
    bool hello_matched = false;                    // exactly the nonce and a line feed
    std::size_t unexpected_bytes = 0;              // anything the supervisor sent after the hello
    std::optional<Error> failure;                  // a failing call of the parent itself
};

class ParentSession {
public:
    // Makes the socket file in `dir` as `socket` says and, unless it is stale, starts playing
    // `script` on a thread of its own. `dir` must outlive the session.
    [[nodiscard]] static Result<std::unique_ptr<ParentSession>> listen(const StateDirectory& dir, Script script,
                                                                       SocketFile socket = {});

    ParentSession(const ParentSession&) = delete;
    ParentSession& operator=(const ParentSession&) = delete;
    // Hangs up if the session is still going, and waits for its thread.
    ~ParentSession();

    // The timeline once the session has ended (the supervisor closed its end, the parent
    // closed its own, or the parent failed), or nullopt if it is still going at `time_limit`.
    [[nodiscard]] std::optional<Timeline> wait_for_end(Nanoseconds time_limit);

    // Closes the parent's end now, whatever the script says, and ends the session. After the
    // handshake this is a stop request.
    void hang_up() noexcept;

    // Tells the session that the supervisor has exited (and been reaped): if it never
    // connected, no connection will come, and the session ends without one.
    void supervisor_exited() noexcept;

private:
    ParentSession(const StateDirectory& dir, Script script, UniqueFd listener, UniqueFd wake, UniqueFd exited,
                  Nanoseconds listening);
    void run();
    Result<void> play(Timeline& timeline);

    const StateDirectory& dir_;
    const Script script_;
    UniqueFd listener_;
    UniqueFd wake_;    // an eventfd; readable once the session is to end
    UniqueFd exited_;  // an eventfd; readable once the supervisor has exited
    Nanoseconds listening_;

    std::mutex mutex_;
    std::condition_variable ended_;
    bool done_ = false;
    Timeline timeline_;
    std::thread thread_;
};

}  // namespace quillmere::reference
