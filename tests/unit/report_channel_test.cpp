#include "app_routing/report_channel.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <thread>

namespace quillmere {
namespace {

constexpr AppRoutingReport kMixed{1, {true, false}, {false, true}};
// Far beyond any wait these tests expect, so that hitting it shows a missed wake-up.
constexpr Nanoseconds kGenerousWait = seconds(10);

ReportChannel new_channel() {
    Result<ReportChannel> channel = ReportChannel::create();
    EXPECT_TRUE(channel.has_value());
    return std::move(*channel);
}

TEST(ReportChannel, CarriesTheReportSentBeforeTheWait) {
    ReportChannel channel = new_channel();
    ASSERT_TRUE(channel.sender.send(kMixed).has_value());
    const Result<AppRoutingReport> received = channel.receiver.receive_until(Deadline::after(kGenerousWait));
    ASSERT_TRUE(received.has_value());
    EXPECT_EQ(*received, kMixed);
}

TEST(ReportChannel, HoldsOneReportOnlyInItsLifetime) {
    ReportChannel channel = new_channel();
    ASSERT_TRUE(channel.sender.send(kMixed).has_value());
    EXPECT_EQ(channel.sender.send(kFallbackAppRoutingReport).error(), kReportAlreadySent);
    EXPECT_EQ(channel.receiver.receive_until(Deadline::after(kGenerousWait)), kMixed);
    EXPECT_EQ(channel.sender.send(kFallbackAppRoutingReport).error(), kReportAlreadySent);
}

TEST(ReportChannel, AReportOutlivesItsSender) {
    ReportChannel channel = new_channel();
    {
        ReportSender sender = std::move(channel.sender);
        ASSERT_TRUE(sender.send(kMixed).has_value());
    }
    EXPECT_EQ(channel.receiver.receive_until(Deadline::after(kGenerousWait)), kMixed);
}

TEST(ReportChannel, WakesAWaitingReceiverWithAReportFromAnotherThread) {
    ReportChannel channel = new_channel();
    std::optional<Result<void>> sent;
    std::thread worker([&sent, sender = std::move(channel.sender)]() mutable {
        sleep_for(milliseconds(50));
        sent = sender.send(kMixed);
    });
    const Nanoseconds start = monotonic_now();
    const Result<AppRoutingReport> received = channel.receiver.receive_until(Deadline::after(kGenerousWait));
    const Nanoseconds waited = monotonic_now() - start;
    worker.join();
    ASSERT_TRUE(received.has_value());
    EXPECT_EQ(*received, kMixed);
    EXPECT_TRUE(sent.has_value() && sent->has_value());
    EXPECT_LT(waited, seconds(5));
}

TEST(ReportChannel, AVanishedSenderWakesTheReceiverBeforeTheDeadline) {
    ReportChannel channel = new_channel();
    std::thread worker([sender = std::move(channel.sender)]() mutable {
        sleep_for(milliseconds(50));
        const ReportSender dropped = std::move(sender);
    });
    const Nanoseconds start = monotonic_now();
    const Result<AppRoutingReport> received = channel.receiver.receive_until(Deadline::after(kGenerousWait));
    const Nanoseconds waited = monotonic_now() - start;
    worker.join();
    ASSERT_FALSE(received.has_value());
    EXPECT_EQ(received.error(), kReportSenderGone);
    EXPECT_LT(waited, seconds(5));
}

TEST(ReportChannel, ASendToAVanishedReceiverFailsWithoutWaiting) {
    ReportChannel channel = new_channel();
    { const ReportReceiver dropped = std::move(channel.receiver); }
    EXPECT_EQ(channel.sender.send(kMixed).error(), kReportReceiverGone);
}

TEST(ReportChannel, TheReceiveEndsAtTheDeadlineWhileTheSenderLingers) {
    ReportChannel channel = new_channel();
    const Nanoseconds start = monotonic_now();
    const Deadline deadline = Deadline::at(start + milliseconds(150));
    const Result<AppRoutingReport> received = channel.receiver.receive_until(deadline);
    const Nanoseconds end = monotonic_now();
    ASSERT_FALSE(received.has_value());
    EXPECT_EQ(received.error(), kReportLate);
    EXPECT_GE(end, deadline.point());
    EXPECT_LT(end - start, milliseconds(150) + seconds(2));
}

TEST(ReportChannel, ADeadlineAlreadyPassedStillDeliversAWaitingReport) {
    ReportChannel channel = new_channel();
    EXPECT_EQ(channel.receiver.receive_until(Deadline::at(0)).error(), kReportLate);
    ASSERT_TRUE(channel.sender.send(kMixed).has_value());
    EXPECT_EQ(channel.receiver.receive_until(Deadline::at(0)), kMixed);
}

}  // namespace
}  // namespace quillmere
