#include "reference_parent/parent_session.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <limits>

#include "linux/path.hpp"
#include "session/parent_link.hpp"

namespace quillmere::reference {

namespace {

constexpr std::size_t kHelloLineBytes = 65;

enum class Wake { ready, timed_out, ending, supervisor_gone };

// Waits until `fd` (when not -1) is readable or has hung up, until `deadline` (when given)
// passes, or until the session is asked to end, whichever comes first.
Result<Wake> wait_for(int wake, int fd, std::optional<Deadline> deadline) {
    for (;;) {
        pollfd fds[2] = {{wake, POLLIN, 0}, {fd, POLLIN, 0}};
        const int timeout = deadline ? poll_timeout_rounding_up(deadline->remaining()) : -1;
        const int ready = ::poll(fds, fd >= 0 ? 2 : 1, timeout);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return fail_last_os_error();
        }
        if (fds[0].revents != 0) return Wake::ending;
        if (ready > 0) return Wake::ready;
        if (deadline && deadline->passed()) return Wake::timed_out;
    }
}

// Waits for the supervisor's connection. None comes once the supervisor has exited with none
// queued: a connection it made before exiting would already be waiting at the listener.
Result<Wake> wait_for_connection(int wake, int exited, int listener) {
    for (;;) {
        pollfd fds[3] = {{wake, POLLIN, 0}, {listener, POLLIN, 0}, {exited, POLLIN, 0}};
        if (::poll(fds, 3, -1) < 0) {
            if (errno == EINTR) continue;
            return fail_last_os_error();
        }
        if (fds[0].revents != 0) return Wake::ending;
        if (fds[1].revents != 0) return Wake::ready;
        if (fds[2].revents != 0) return Wake::supervisor_gone;
    }
}

// MSG_NOSIGNAL: a supervisor that has gone already must not take the parent with it.
Result<void> send_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) continue;
            return fail_last_os_error();
        }
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
    return {};
}

// The end of the stream, or a reset because the supervisor closed with bytes unread: either
// way the supervisor is done with the link.
bool is_gone(int errnum) noexcept { return errnum == ECONNRESET || errnum == EPIPE; }

// bind() takes at most 107 path bytes. A socket deeper than that cannot be reached by the
// supervisor anyway, but tests need one, so it is bound through the directory's descriptor.
std::string bindable_path(const StateDirectory& dir, std::string_view name) {
    std::string path = dir.entry_path(name);
    if (path.size() < sizeof(sockaddr_un{}.sun_path)) return path;
    return join_path(descriptor_path(dir.fd()), name);
}

Result<UniqueFd> bind_socket(const StateDirectory& dir, std::string_view name, const SocketFile& socket) {
    const std::string entry(name);
    // A socket file left by an earlier session would make bind fail with EADDRINUSE.
    if (::unlinkat(dir.fd(), entry.c_str(), 0) != 0 && errno != ENOENT) return fail_last_os_error();

    const int raw = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (raw < 0) return fail_last_os_error();
    UniqueFd fd(raw);
    const std::string path = bindable_path(dir, name);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return fail_errno(ENAMETOOLONG);
    std::memcpy(address.sun_path, path.data(), path.size());
    // The directory is 0700, so nobody else can reach the socket in the moment before its
    // owner and mode are set.
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return fail_last_os_error();
    TRY(give_entry_to(dir.fd(), entry, socket.owner.value_or(dir.owner())));
    if (::fchmodat(dir.fd(), entry.c_str(), socket.mode, 0) != 0) return fail_last_os_error();
    return fd;
}

Result<void> link_socket(const StateDirectory& dir) {
    const std::string name(kParentSocketName);
    if (::unlinkat(dir.fd(), name.c_str(), 0) != 0 && errno != ENOENT) return fail_last_os_error();
    if (::symlinkat(dir.entry_path(kLinkedSocketName).c_str(), dir.fd(), name.c_str()) != 0)
        return fail_last_os_error();
    return give_entry_to(dir.fd(), name, dir.owner());
}

}  // namespace

Result<std::unique_ptr<ParentSession>> ParentSession::listen(const StateDirectory& dir, Script script,
                                                             SocketFile socket) {
    const std::string_view socket_name =
        socket.form == SocketForm::link_to_listening ? kLinkedSocketName : kParentSocketName;
    UniqueFd listener = TRY(bind_socket(dir, socket_name, socket));
    if (socket.form == SocketForm::link_to_listening) TRY(link_socket(dir));
    // A stale socket file is one whose socket was closed without listening: connecting to it
    // is refused.
    if (socket.form == SocketForm::stale)
        listener.reset();
    else if (::listen(listener.get(), 1) != 0)
        return fail_last_os_error();

    UniqueFd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake) return fail_last_os_error();
    UniqueFd exited(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!exited) return fail_last_os_error();
    std::unique_ptr<ParentSession> session(new ParentSession(dir, std::move(script), std::move(listener),
                                                             std::move(wake), std::move(exited), monotonic_now()));
    if (socket.form == SocketForm::stale) {
        session->timeline_.listening = session->listening_;
        session->done_ = true;
    } else {
        session->thread_ = std::thread([raw = session.get()] { raw->run(); });
    }
    return session;
}

ParentSession::ParentSession(const StateDirectory& dir, Script script, UniqueFd listener, UniqueFd wake,
                             UniqueFd exited, Nanoseconds listening)
    : dir_(dir),
      script_(std::move(script)),
      listener_(std::move(listener)),
      wake_(std::move(wake)),
      exited_(std::move(exited)),
      listening_(listening) {}

ParentSession::~ParentSession() {
    hang_up();
    if (thread_.joinable()) thread_.join();
}

namespace {
void signal_event(int event) noexcept {
    const std::uint64_t one = 1;
    // Cannot fail short of a bad descriptor: the counter is far from its limit.
    (void)(::write(event, &one, sizeof one) < 0);
}
}  // namespace

void ParentSession::hang_up() noexcept { signal_event(wake_.get()); }

void ParentSession::supervisor_exited() noexcept { signal_event(exited_.get()); }

std::optional<Timeline> ParentSession::wait_for_end(Nanoseconds time_limit) {
    std::unique_lock lock(mutex_);
    if (!ended_.wait_for(lock, std::chrono::nanoseconds(time_limit), [this] { return done_; })) return std::nullopt;
    return timeline_;
}

void ParentSession::run() {
    Timeline timeline;
    timeline.listening = listening_;
    if (Result<void> played = play(timeline); !played.has_value()) timeline.failure = played.error();
    {
        const std::lock_guard lock(mutex_);
        timeline_ = std::move(timeline);
        done_ = true;
    }
    ended_.notify_all();
}

// One scripted exchange, read top to bottom as a parent's author would follow it: accept,
// hello, acknowledgement, then watching the link while the run goes on.
// NOLINTNEXTLINE(readability-function-cognitive-complexity)
Result<void> ParentSession::play(Timeline& timeline) {
    // Accept the one connection. The socket goes on listening until the session object is
    // gone, so that a check made after a failed run finds it as the supervisor found it.
    if (TRY(wait_for_connection(wake_.get(), exited_.get(), listener_.get())) != Wake::ready) return {};
    int raw = -1;
    do {
        raw = ::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC);
    } while (raw < 0 && errno == EINTR);
    if (raw < 0) return fail_last_os_error();
    UniqueFd link(raw);
    timeline.accepted = monotonic_now();

    const auto close_link = [&] {
        link.reset();
        timeline.parent_closed = monotonic_now();
    };
    // Once asked to end, the parent lets go of the link; after the handshake that is a stop.
    const auto ending = [&] {
        close_link();
        return Result<void>{};
    };

    if (script_.answer == Answer::hang_up) return ending();
    // Writes to a supervisor that has already gone find it gone; that ends the session, it is
    // not a failure of the parent.
    const auto send_or_see_gone = [&](std::string_view bytes) -> Result<bool> {
        Result<void> sent = send_all(link.get(), bytes);
        if (sent.has_value()) return true;
        if (!is_gone(sent.error().os_errno)) return fail(sent.error());
        timeline.supervisor_closed = monotonic_now();
        return false;
    };

    if (script_.answer == Answer::before_hello) {
        if (!TRY(send_or_see_gone(script_.acknowledgement))) return {};
        timeline.acknowledged = monotonic_now();
    }

    // The hello line: exactly 65 bytes, the nonce this parent wrote into the session file and a
    // line feed. Whoever does not know the nonce is not the supervisor this parent started.
    const Deadline hello_deadline = Deadline::after(script_.hello_time_limit);
    while (timeline.hello.size() < kHelloLineBytes) {
        const Wake woke = TRY(wait_for(wake_.get(), link.get(), hello_deadline));
        if (woke == Wake::ending) return ending();
        if (woke == Wake::timed_out) break;
        char buffer[kHelloLineBytes];
        const ssize_t got = ::recv(link.get(), buffer, kHelloLineBytes - timeline.hello.size(), 0);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && !is_gone(errno)) return fail_last_os_error();
        if (got <= 0) {
            timeline.hello_received = timeline.supervisor_closed = monotonic_now();
            return {};
        }
        timeline.hello.append(buffer, static_cast<std::size_t>(got));
    }
    timeline.hello_received = monotonic_now();
    timeline.hello_matched = timeline.hello.size() == kHelloLineBytes &&
                             timeline.hello.compare(0, kHelloLineBytes - 1, dir_.nonce()) == 0 &&
                             timeline.hello.back() == '\n';
    if (!timeline.hello_matched) {
        close_link();
        return {};
    }

    if (script_.answer == Answer::after_hello) {
        if (!TRY(send_or_see_gone(script_.acknowledgement))) return {};
        timeline.acknowledged = monotonic_now();
    } else if (script_.answer == Answer::in_pieces) {
        for (std::size_t i = 0; i < script_.acknowledgement.size(); ++i) {
            if (i > 0 && TRY(wait_for(wake_.get(), -1, Deadline::after(script_.piece_delay))) == Wake::ending)
                return ending();
            if (!TRY(send_or_see_gone(std::string_view(script_.acknowledgement).substr(i, 1)))) return {};
        }
        timeline.acknowledged = monotonic_now();
    }

    // The run goes on while the link is open and silent. The parent watches it for the end of
    // the stream, and does what the script says when its moment comes.
    const Nanoseconds anchor = timeline.acknowledged.value_or(*timeline.hello_received);
    constexpr Nanoseconds kNever = std::numeric_limits<Nanoseconds>::max();
    Nanoseconds stop_at = script_.stop_marker_after ? anchor + *script_.stop_marker_after : kNever;
    Nanoseconds act_at = script_.afterwards != Afterwards::stay_silent ? anchor + script_.afterwards_delay : kNever;

    for (;;) {
        const Nanoseconds next = std::min(stop_at, act_at);
        const Wake woke =
            TRY(wait_for(wake_.get(), link.get(), next == kNever ? std::nullopt : std::optional(Deadline::at(next))));
        if (woke == Wake::ending) return ending();
        if (woke == Wake::ready) {
            char buffer[256];
            const ssize_t got = ::recv(link.get(), buffer, sizeof buffer, 0);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0 && !is_gone(errno)) return fail_last_os_error();
            if (got <= 0) {
                timeline.supervisor_closed = monotonic_now();
                return {};
            }
            timeline.unexpected_bytes += static_cast<std::size_t>(got);
        }
        const Nanoseconds now = monotonic_now();
        if (now >= stop_at) {
            stop_at = kNever;
            TRY(dir_.request_stop());
            timeline.stop_requested = monotonic_now();
        }
        if (now >= act_at) {
            act_at = kNever;
            if (script_.afterwards == Afterwards::close) return ending();
            if (!TRY(send_or_see_gone("!"))) return {};
            timeline.byte_written = monotonic_now();
        }
    }
}

}  // namespace quillmere::reference
