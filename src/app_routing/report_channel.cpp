#include "app_routing/report_channel.hpp"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <optional>

namespace quillmere {

namespace report_channel_detail {

struct SharedState {
    std::mutex mutex;
    std::condition_variable changed;
    std::optional<AppRoutingReport> report;
    bool sent = false;
    bool sender_present = true;
    bool receiver_present = true;
};

}  // namespace report_channel_detail

using report_channel_detail::SharedState;

Result<ReportChannel> ReportChannel::create() noexcept {
    std::shared_ptr<SharedState> state;
    try {
        state = std::make_shared<SharedState>();
    } catch (const std::bad_alloc&) {
        return fail_errno(ENOMEM);
    }
    return ReportChannel{ReportSender(state), ReportReceiver(state)};
}

ReportSender::ReportSender(std::shared_ptr<SharedState> state) noexcept : state_(std::move(state)) {}

ReportSender::~ReportSender() {
    if (!state_) return;  // moved from
    {
        const std::lock_guard lock(state_->mutex);
        state_->sender_present = false;
    }
    state_->changed.notify_all();
}

Result<void> ReportSender::send(const AppRoutingReport& report) noexcept {
    if (!state_) return fail(kReportAlreadySent);
    {
        const std::lock_guard lock(state_->mutex);
        if (!state_->receiver_present) return fail(kReportReceiverGone);
        if (state_->sent) return fail(kReportAlreadySent);
        state_->report = report;
        state_->sent = true;
    }
    state_->changed.notify_all();
    return {};
}

ReportReceiver::ReportReceiver(std::shared_ptr<SharedState> state) noexcept : state_(std::move(state)) {}

ReportReceiver::~ReportReceiver() {
    if (!state_) return;  // moved from
    const std::lock_guard lock(state_->mutex);
    state_->receiver_present = false;
}

Result<AppRoutingReport> ReportReceiver::receive_until(Deadline deadline) noexcept {
    if (!state_) return fail(kReportSenderGone);
    // The time left is carried over to steady_clock rather than its epoch assumed; this
    // library waits on steady_clock with pthread_cond_clockwait on CLOCK_MONOTONIC, so a
    // change of the wall clock neither shortens nor stretches the wait.
    const auto until = std::chrono::steady_clock::now() + std::chrono::nanoseconds(deadline.remaining());
    std::unique_lock lock(state_->mutex);
    state_->changed.wait_until(lock, until, [this] { return state_->report.has_value() || !state_->sender_present; });
    if (state_->report) {
        const AppRoutingReport report = *state_->report;
        state_->report.reset();
        return report;
    }
    return fail(state_->sender_present ? kReportLate : kReportSenderGone);
}

}  // namespace quillmere
