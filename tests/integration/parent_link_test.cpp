// The supervisor's end of the parent link and the stop marker, driven against the reference
// parent playing each way of answering, right and wrong.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "linux/deadline.hpp"
#include "main/entry.hpp"
#include "reference_parent/reference_parent.hpp"
#include "session/parent_link.hpp"
#include "session/stop_request.hpp"
#include "support/scratch.hpp"

namespace quillmere {
namespace {

using reference::Afterwards;
using reference::Answer;
using reference::Owner;
using reference::ParentSession;
using reference::Script;
using reference::SocketFile;
using reference::SocketForm;
using reference::StateDirectory;
using reference::Timeline;

constexpr Error kFillEof = Error::with_text(ErrorKind::unexpected_eof, "failed to fill whole buffer");
constexpr Error kPathTooLong = Error::with_text(ErrorKind::invalid_input, "path must be shorter than SUN_LEN");
constexpr Error kInteriorNul = Error::with_text(ErrorKind::invalid_input, "paths must not contain interior null bytes");

// Generous bounds around the 2-second handshake limit: only a wait that is clearly not the
// limit (no wait at all, or a retry that doubles it) fails.
constexpr Nanoseconds kHandshakeLimitLow = milliseconds(1800);
constexpr Nanoseconds kHandshakeLimitHigh = milliseconds(5000);

Session session_of(const StateDirectory& dir) { return Session{dir.path(), dir.nonce(), dir.owner().uid}; }

StateDirectory make_dir(const std::string& base, Owner owner = Owner::current(), std::string_view suffix = "t1") {
    auto dir = StateDirectory::create(base, suffix, owner);
    if (!dir.has_value())
        throw std::runtime_error(std::string("cannot make state directory: ") + error_kind_name(dir.error().kind));
    return std::move(*dir);
}

std::unique_ptr<ParentSession> listen(const StateDirectory& dir, Script script, SocketFile socket = {}) {
    auto parent = ParentSession::listen(dir, std::move(script), socket);
    if (!parent.has_value()) throw std::runtime_error("cannot listen");
    return std::move(*parent);
}

Timeline end_of(ParentSession& parent) {
    auto timeline = parent.wait_for_end(seconds(5));
    if (!timeline) throw std::runtime_error("the parent's session did not end");
    return *timeline;
}

bool wait_until_link_lost(const ParentLink& link) {
    const Deadline deadline = Deadline::after(seconds(3));
    while (!deadline.passed()) {
        if (!parent_link_alive(link)) return true;
        sleep_for(milliseconds(10));
    }
    return false;
}

struct AcceptedCase {
    const char* name;
    Answer answer;
    Nanoseconds least_duration;  // the handshake cannot have ended sooner
};

class AcceptedAcknowledgement : public ::testing::TestWithParam<AcceptedCase> {};

TEST_P(AcceptedAcknowledgement, GivesASilentNonBlockingLink) {
    const testing::ScratchDir base;
    const StateDirectory dir = make_dir(base.path());
    const auto parent = listen(dir, Script{.answer = GetParam().answer, .piece_delay = milliseconds(300)});

    const Nanoseconds start = monotonic_now();
    auto link = connect_parent_link(session_of(dir));
    const Nanoseconds took = monotonic_now() - start;
    ASSERT_TRUE(link.has_value()) << error_kind_name(link.error().kind);
    EXPECT_GE(took, GetParam().least_duration);

    EXPECT_NE(::fcntl(link->fd(), F_GETFL) & O_NONBLOCK, 0);
    EXPECT_NE(::fcntl(link->fd(), F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_TRUE(parent_link_alive(*link));

    link->close();
    const Timeline timeline = end_of(*parent);
    EXPECT_TRUE(timeline.hello_matched);
    EXPECT_EQ(timeline.hello, dir.nonce() + "\n");
    EXPECT_EQ(timeline.unexpected_bytes, 0U);
    EXPECT_TRUE(timeline.supervisor_closed.has_value());
}

INSTANTIATE_TEST_SUITE_P(Answers, AcceptedAcknowledgement,
                         ::testing::Values(AcceptedCase{"Whole", Answer::after_hello, 0},
                                           AcceptedCase{"InThreeWrites", Answer::in_pieces, milliseconds(600)},
                                           AcceptedCase{"BeforeTheHello", Answer::before_hello, 0}),
                         [](const auto& test) { return std::string(test.param.name); });

struct RefusedCase {
    const char* name;
    Answer answer;
    const char* acknowledgement;
    Error expected;
    bool waits_for_the_limit;
};

class RefusedAcknowledgement : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(RefusedAcknowledgement, FailsAndClosesTheSocket) {
    const testing::ScratchDir base;
    const StateDirectory dir = make_dir(base.path());
    const auto parent = listen(dir, Script{.answer = GetParam().answer, .acknowledgement = GetParam().acknowledgement});

    const Nanoseconds start = monotonic_now();
    const auto link = connect_parent_link(session_of(dir));
    const Nanoseconds took = monotonic_now() - start;
    ASSERT_FALSE(link.has_value());
    EXPECT_EQ(link.error(), GetParam().expected) << error_kind_name(link.error().kind);
    if (GetParam().waits_for_the_limit) {
        EXPECT_GE(took, kHandshakeLimitLow);
        EXPECT_LE(took, kHandshakeLimitHigh);
    }
    // The failed handshake let go of its socket: the parent sees the end of the stream.
    const Timeline timeline = end_of(*parent);
    EXPECT_TRUE(timeline.hello_matched);
    EXPECT_TRUE(timeline.supervisor_closed.has_value());
}

INSTANTIATE_TEST_SUITE_P(
    Answers, RefusedAcknowledgement,
    ::testing::Values(RefusedCase{"LowerCase", Answer::after_hello, "ok\n", kSessionValidationFailed, false},
                      RefusedCase{"CarriageReturn", Answer::after_hello, "OK\r", kSessionValidationFailed, false},
                      RefusedCase{"WithoutLineFeed", Answer::after_hello, "OK", Error::from_errno(EAGAIN), true},
                      RefusedCase{"Never", Answer::never, "OK\n", Error::from_errno(EAGAIN), true}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(ParentLink, BytesAfterTheAcknowledgementAreLeftForTheLinkCheckOneAtATime) {
    const testing::ScratchDir base;
    const StateDirectory dir = make_dir(base.path());
    const auto parent = listen(dir, Script{.acknowledgement = "OK\nXY"});

    const auto link = connect_parent_link(session_of(dir));
    ASSERT_TRUE(link.has_value()) << error_kind_name(link.error().kind);
    EXPECT_FALSE(parent_link_alive(*link));  // takes "X"
    EXPECT_FALSE(parent_link_alive(*link));  // takes "Y"
    EXPECT_TRUE(parent_link_alive(*link));   // the parent is silent again
}

TEST(ParentLink, ParentHangingUpAtOnceFailsTheHandshakeWithoutSigpipe) {
    // Whether the hello line is still on its way or already sent when the parent lets go
    // depends on scheduling; every outcome must be an error, and SIGPIPE (left at its default
    // here) must never kill the process.
    for (int attempt = 0; attempt < 10; ++attempt) {
        const testing::ScratchDir base;
        const StateDirectory dir = make_dir(base.path());
        const auto parent = listen(dir, Script{.answer = Answer::hang_up});
        const auto link = connect_parent_link(session_of(dir));
        ASSERT_FALSE(link.has_value());
        const Error error = link.error();
        EXPECT_TRUE(error.is_os_error(EPIPE) || error.is_os_error(ECONNRESET) || error == kFillEof)
            << error_kind_name(error.kind) << " errno " << error.os_errno;
    }
}

TEST(ParentLink, AliveWhileTheParentIsSilent) {
    const testing::ScratchDir base;
    const StateDirectory dir = make_dir(base.path());
    const auto parent = listen(dir, Script{});
    const auto link = connect_parent_link(session_of(dir));
    ASSERT_TRUE(link.has_value());
    EXPECT_TRUE(parent_link_alive(*link));
    sleep_for(milliseconds(200));
    EXPECT_TRUE(parent_link_alive(*link));
    EXPECT_FALSE(parent->wait_for_end(0).has_value());
}

TEST(ParentLink, LostOnceTheParentClosesItsEnd) {
    const testing::ScratchDir base;
    const StateDirectory dir = make_dir(base.path());
    const auto parent = listen(dir, Script{.afterwards = Afterwards::close, .afterwards_delay = milliseconds(100)});
    const auto link = connect_parent_link(session_of(dir));
    ASSERT_TRUE(link.has_value());
    ASSERT_TRUE(wait_until_link_lost(*link));
    EXPECT_FALSE(parent_link_alive(*link));  // the end of the stream stays
    EXPECT_TRUE(end_of(*parent).parent_closed.has_value());
}

TEST(ParentLink, LostWhenTheParentWritesAByteWhichIsConsumed) {
    const testing::ScratchDir base;
    const StateDirectory dir = make_dir(base.path());
    const auto parent =
        listen(dir, Script{.afterwards = Afterwards::write_byte, .afterwards_delay = milliseconds(100)});
    const auto link = connect_parent_link(session_of(dir));
    ASSERT_TRUE(link.has_value());
    ASSERT_TRUE(wait_until_link_lost(*link));
    EXPECT_TRUE(parent_link_alive(*link));  // the one byte is gone and the parent is silent
}

TEST(ParentLink, MissingSocketFileGivesTheLstatError) {
    const testing::ScratchDir base;
    const StateDirectory dir = make_dir(base.path());
    EXPECT_EQ(connect_parent_link(session_of(dir)).error(), Error::from_errno(ENOENT));
}

TEST(ParentLink, StaleSocketFileGivesTheConnectError) {
    const testing::ScratchDir base;
    const StateDirectory dir = make_dir(base.path());
    const auto parent = listen(dir, Script{}, SocketFile{.form = SocketForm::stale});
    EXPECT_EQ(connect_parent_link(session_of(dir)).error(), Error::from_errno(ECONNREFUSED));
}

struct SocketFileCase {
    const char* name;
    SocketFile socket;
    std::optional<uid_t> dir_owner;  // needs root to hand the directory to this user
    bool accepted;
};

class SocketFileCheck : public ::testing::TestWithParam<SocketFileCase> {};

TEST_P(SocketFileCheck, AcceptsOnlyThePrivateSocketOfTheDirectoryOwner) {
    const SocketFileCase& c = GetParam();
    if ((c.dir_owner || c.socket.owner) && !testing::running_as_root()) GTEST_SKIP() << "needs root to hand out files";
    const testing::ScratchDir base;
    const StateDirectory dir = make_dir(base.path(), c.dir_owner ? Owner::of_uid(*c.dir_owner) : Owner::current());
    const auto parent = listen(dir, Script{}, c.socket);

    const auto link = connect_parent_link(session_of(dir));
    if (c.accepted) {
        EXPECT_TRUE(link.has_value()) << error_kind_name(link.error().kind);
        return;
    }
    ASSERT_FALSE(link.has_value());
    EXPECT_EQ(link.error(), kSessionValidationFailed);
    // Refused before connecting: the parent never saw a connection.
    parent->hang_up();
    EXPECT_FALSE(end_of(*parent).accepted.has_value());
}

INSTANTIATE_TEST_SUITE_P(
    Forms, SocketFileCheck,
    ::testing::Values(SocketFileCase{"Mode0600", SocketFile{.mode = 0600}, std::nullopt, true},
                      SocketFileCase{"Mode0700", SocketFile{.mode = 0700}, std::nullopt, true},
                      SocketFileCase{"Mode0660", SocketFile{.mode = 0660}, std::nullopt, false},
                      SocketFileCase{"Mode0602", SocketFile{.mode = 0602}, std::nullopt, false},
                      SocketFileCase{"SymbolicLinkToAGoodSocket", SocketFile{.form = SocketForm::link_to_listening},
                                     std::nullopt, false},
                      SocketFileCase{"OwnedByRootInADirectoryOfNobody", SocketFile{.owner = Owner{0, 0}},
                                     testing::kNobodyUid, false},
                      SocketFileCase{"OwnedByNobodyInADirectoryOfRoot",
                                     SocketFile{.owner = Owner{testing::kNobodyUid, testing::kNobodyGid}}, 0U, false},
                      SocketFileCase{"OwnedByNobodyInADirectoryOfNobody", SocketFile{}, testing::kNobodyUid, true}),
    [](const auto& test) { return std::string(test.param.name); });

// Nested directories under `root` such that `base`/quillmere-vpn-t1/parent.sock is exactly
// `socket_path_length` bytes long.
std::string base_for_socket_path_length(const std::string& root, std::size_t socket_path_length) {
    const std::size_t tail = std::string("/quillmere-vpn-t1/parent.sock").size();
    std::string base = root;
    while (base.size() + tail < socket_path_length) {
        const std::size_t room = socket_path_length - tail - base.size() - 1;  // after the slash
        base += '/';
        base.append(std::min<std::size_t>(room, 30), 'd');
        if (::mkdir(base.c_str(), 0700) != 0) throw std::runtime_error("cannot make " + base);
    }
    if (base.size() + tail != socket_path_length) throw std::runtime_error("root too long");
    return base;
}

TEST(ParentLink, SocketPathOf107BytesIsAccepted) {
    const testing::ScratchDir root;
    const StateDirectory dir = make_dir(base_for_socket_path_length(root.path(), 107));
    ASSERT_EQ(dir.entry_path(kParentSocketName).size(), 107U);
    const auto parent = listen(dir, Script{});
    const auto link = connect_parent_link(session_of(dir));
    EXPECT_TRUE(link.has_value()) << error_kind_name(link.error().kind);
}

TEST(ParentLink, SocketPathOf108BytesIsRefusedBeforeConnecting) {
    const testing::ScratchDir root;
    const StateDirectory dir = make_dir(base_for_socket_path_length(root.path(), 108));
    ASSERT_EQ(dir.entry_path(kParentSocketName).size(), 108U);
    const auto parent = listen(dir, Script{});
    EXPECT_EQ(connect_parent_link(session_of(dir)).error(), kPathTooLong);
    parent->hang_up();
    EXPECT_FALSE(end_of(*parent).accepted.has_value());
}

TEST(ParentLink, StateDirectoryWithANulByteIsRefused) {
    const Session session{std::string("/tmp/quillmere-vpn-a\0b", 22), std::string(64, 'a'), 0};
    EXPECT_EQ(connect_parent_link(session).error(), kInteriorNul);
}

enum class MarkerKind { absent, regular_file, directory, link_to_regular_file, fifo };

struct StopMarkerCase {
    const char* name;
    MarkerKind kind;
    Result<bool> expected;
};

class StopMarker : public ::testing::TestWithParam<StopMarkerCase> {};

TEST_P(StopMarker, OnlyARegularFileAsksForAStop) {
    const testing::ScratchDir dir;
    const std::string marker = dir.file(kStopMarkerName);
    switch (GetParam().kind) {
    case MarkerKind::absent: break;
    case MarkerKind::regular_file: testing::write_file(marker, "", 0600); break;
    case MarkerKind::directory: ASSERT_EQ(::mkdir(marker.c_str(), 0700), 0); break;
    case MarkerKind::link_to_regular_file:
        testing::write_file(dir.file("target"), "", 0600);
        ASSERT_EQ(::symlink(dir.file("target").c_str(), marker.c_str()), 0);
        break;
    case MarkerKind::fifo: ASSERT_EQ(::mkfifo(marker.c_str(), 0600), 0); break;
    }
    EXPECT_EQ(stop_requested(dir.path()), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, StopMarker,
    ::testing::Values(StopMarkerCase{"Absent", MarkerKind::absent, false},
                      StopMarkerCase{"EmptyRegularFile", MarkerKind::regular_file, true},
                      StopMarkerCase{"Directory", MarkerKind::directory, std::unexpected(kSessionValidationFailed)},
                      StopMarkerCase{"LinkToRegularFile", MarkerKind::link_to_regular_file,
                                     std::unexpected(kSessionValidationFailed)},
                      StopMarkerCase{"Fifo", MarkerKind::fifo, std::unexpected(kSessionValidationFailed)}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(StopMarker, OtherLstatErrorsPassThrough) {
    const testing::ScratchDir dir;
    testing::write_file(dir.file("plain"), "", 0600);
    EXPECT_EQ(stop_requested(dir.file("plain")), std::unexpected(Error::from_errno(ENOTDIR)));
}

TEST(ReferenceParent, CreatesTheStopMarkerWhenTheScriptSays) {
    const testing::ScratchDir base;
    const StateDirectory dir = make_dir(base.path());
    const auto parent = listen(dir, Script{.stop_marker_after = milliseconds(150)});
    const auto link = connect_parent_link(session_of(dir));
    ASSERT_TRUE(link.has_value());
    EXPECT_EQ(stop_requested(dir.path()), false);

    const Deadline deadline = Deadline::after(seconds(3));
    while (stop_requested(dir.path()) == false && !deadline.passed()) sleep_for(milliseconds(10));
    EXPECT_EQ(stop_requested(dir.path()), true);
    EXPECT_TRUE(parent_link_alive(*link));  // the marker is the only stop asked for

    struct stat marker {};
    ASSERT_EQ(::lstat(dir.entry_path(kStopMarkerName).c_str(), &marker), 0);
    EXPECT_EQ(marker.st_uid, dir.owner().uid);
    EXPECT_EQ(marker.st_mode & 077, 0U);

    parent->hang_up();
    const Timeline timeline = end_of(*parent);
    ASSERT_TRUE(timeline.stop_requested && timeline.acknowledged);
    EXPECT_GE(*timeline.stop_requested - *timeline.acknowledged, milliseconds(150));
}

TEST(ReferenceParent, HandsEveryEntryToTheOwnerWithoutGroupOrOtherBits) {
    const Owner owner = testing::running_as_root() ? Owner::of_uid(testing::kNobodyUid) : Owner::current();
    const testing::ScratchDir base;
    const StateDirectory dir = make_dir(base.path(), owner);
    ASSERT_TRUE(dir.copy_program("sing-box", testing::supervisor_binary()).has_value());
    ASSERT_TRUE(dir.write_file("tun.json", "{}", 0400).has_value());
    const auto parent = listen(dir, Script{});

    struct Expected {
        std::string path;
        mode_t type_and_mode;
    };
    for (const Expected& e :
         {Expected{dir.path(), S_IFDIR | 0700}, Expected{dir.entry_path("supervisor.json"), S_IFREG | 0600},
          Expected{dir.entry_path("sing-box"), S_IFREG | 0700}, Expected{dir.entry_path("tun.json"), S_IFREG | 0400},
          Expected{dir.entry_path(kParentSocketName), S_IFSOCK | 0600}}) {
        struct stat entry {};
        ASSERT_EQ(::lstat(e.path.c_str(), &entry), 0) << e.path;
        EXPECT_EQ(entry.st_mode & (S_IFMT | 07777), e.type_and_mode) << e.path;
        EXPECT_EQ(entry.st_uid, owner.uid) << e.path;
        EXPECT_EQ(entry.st_gid, owner.gid) << e.path;
    }
    EXPECT_EQ(*dir.read_file("supervisor.json"), reference::session_document(dir.nonce()));
    EXPECT_EQ(*dir.read_file("sing-box"), testing::read_file(testing::supervisor_binary()));
}

TEST(ReferenceParent, RunsTheSupervisorAndCollectsItsAnswer) {
    auto process =
        reference::SupervisorProcess::start(testing::supervisor_binary(), {testing::supervisor_binary(), "--version"});
    ASSERT_TRUE(process.has_value());
    const auto outcome = process->finish(seconds(10));
    ASSERT_TRUE(outcome.has_value());
    EXPECT_EQ(outcome->exit_code(), 0);
    EXPECT_EQ(outcome->standard_output, kVersionBanner);
    EXPECT_EQ(outcome->standard_error, "");
    EXPECT_FALSE(outcome->killed_at_time_limit);

    EXPECT_EQ(reference::SupervisorProcess::start("/nonexistent/supervisor", {"supervisor"}).error(),
              Error::from_errno(ENOENT));
}

TEST(ReferenceParent, ReportsARunThatCannotStart) {
    // Nothing but the session file and the socket: whatever step the run reaches, it fails,
    // and the parent's side ends with it.
    const testing::ScratchDir base;
    const StateDirectory dir = make_dir(base.path());
    const auto report = reference::run_session(dir, testing::supervisor_binary(), reference::SupervisorMode::run,
                                               Script{}, seconds(20));
    ASSERT_TRUE(report.has_value()) << error_kind_name(report.error().kind);
    EXPECT_EQ(report->supervisor.exit_code(), 1);
    EXPECT_EQ(report->supervisor.standard_error, kFailureMarker);
    if (report->timeline.accepted) {
        EXPECT_TRUE(report->timeline.hello_matched);
    }
    EXPECT_NE(reference::describe(*report).find("supervisor exited with status 1\n"), std::string::npos);
}

}  // namespace
}  // namespace quillmere
