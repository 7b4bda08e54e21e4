#include "app_routing/check_worker_internal.hpp"

#include <pthread.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

#include "app_routing/check_worker.hpp"

namespace quillmere {
namespace {

constexpr AppRoutingReport kMixed{1, {false, true}, {true, false}};

void send_mixed(ReportSender sender) noexcept { (void)sender.send(kMixed); }

void send_nothing(ReportSender) noexcept {}

// Outcome of a worker that overruns the main thread's wait: 0 while it runs, then 1 when its
// late send failed quietly and 2 when the send unexpectedly succeeded.
std::atomic<int> late_send_outcome{0};

void send_too_late(ReportSender sender) noexcept {
    sleep_for(kAppRoutingCheckTimeLimit + milliseconds(400));
    late_send_outcome.store(sender.send(kMixed).has_value() ? 2 : 1);
}

// The system keeps the first 15 bytes of "socket-diag-check". The name is given after the
// thread exists, so the worker waits a while to see it.
std::atomic<bool> worker_saw_its_name{false};

void send_after_seeing_name(ReportSender sender) noexcept {
    const Deadline give_up = Deadline::after(seconds(1));
    char name[16] = {};
    while (!give_up.passed()) {
        if (::pthread_getname_np(::pthread_self(), name, sizeof name) == 0 &&
            std::strcmp(name, "socket-diag-che") == 0) {
            worker_saw_its_name.store(true);
            break;
        }
        sleep_for(milliseconds(5));
    }
    (void)sender.send(kMixed);
}

TEST(CheckAppRoutingWait, ReturnsTheWorkersReport) { EXPECT_EQ(check_app_routing_with(send_mixed), kMixed); }

TEST(CheckAppRoutingWait, FallsBackAtOnceWhenTheWorkerEndsWithoutAReport) {
    const Nanoseconds start = monotonic_now();
    EXPECT_EQ(check_app_routing_with(send_nothing), kFallbackAppRoutingReport);
    // The wait ends on the vanished sender, not on the deadline.
    EXPECT_LT(monotonic_now() - start, kAppRoutingCheckTimeLimit - milliseconds(200));
}

TEST(CheckAppRoutingWait, FallsBackAtTheDeadlineAndTheLateReportIsDropped) {
    const Nanoseconds start = monotonic_now();
    EXPECT_EQ(check_app_routing_with(send_too_late), kFallbackAppRoutingReport);
    const Nanoseconds waited = monotonic_now() - start;
    EXPECT_GE(waited, kAppRoutingCheckTimeLimit);
    EXPECT_LT(waited, kAppRoutingCheckTimeLimit + seconds(1));

    // The worker was detached, not joined: it is still running and finds nobody listening.
    const Deadline give_up = Deadline::after(seconds(5));
    while (late_send_outcome.load() == 0 && !give_up.passed()) sleep_for(milliseconds(10));
    EXPECT_EQ(late_send_outcome.load(), 1);
}

TEST(CheckAppRoutingWait, NamesTheWorkerThreadWithinTheSystemLimit) {
    EXPECT_EQ(check_app_routing_with(send_after_seeing_name), kMixed);
    EXPECT_TRUE(worker_saw_its_name.load());
}

}  // namespace
}  // namespace quillmere
