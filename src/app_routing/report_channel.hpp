#pragma once
// The one link between the main thread and the check worker: a channel that carries a single
// AppRoutingReport from its only sender to its only receiver. Either end may vanish first, and
// the other end learns of it: a receiver stops waiting for a sender that is gone, and a sender
// whose receiver is gone has its report dropped without waiting.

#include <memory>

#include "app_routing/report.hpp"
#include "linux/deadline.hpp"
#include "linux/error.hpp"

namespace quillmere {

namespace report_channel_detail {
struct SharedState;
}  // namespace report_channel_detail

class ReportSender {
public:
    ReportSender(ReportSender&&) noexcept = default;
    ReportSender& operator=(ReportSender&&) = delete;
    ReportSender(const ReportSender&) = delete;
    ReportSender& operator=(const ReportSender&) = delete;
    // Tells a waiting receiver that no report will come, unless one already has.
    ~ReportSender();

    // Hands over the report without ever waiting. Fails when the receiver is gone or a report
    // has already been sent: the channel holds at most one in its lifetime.
    [[nodiscard]] Result<void> send(const AppRoutingReport& report) noexcept;

private:
    friend struct ReportChannel;
    explicit ReportSender(std::shared_ptr<report_channel_detail::SharedState> state) noexcept;
    std::shared_ptr<report_channel_detail::SharedState> state_;
};

class ReportReceiver {
public:
    ReportReceiver(ReportReceiver&&) noexcept = default;
    ReportReceiver& operator=(ReportReceiver&&) = delete;
    ReportReceiver(const ReportReceiver&) = delete;
    ReportReceiver& operator=(const ReportReceiver&) = delete;
    // Makes every later send fail quietly; the state goes with whichever end is released last.
    ~ReportReceiver();

    // The report, as soon as there is one; timed_out once `deadline` (CLOCK_MONOTONIC) has
    // passed without one; unexpected_eof as soon as the sender is gone without sending.
    [[nodiscard]] Result<AppRoutingReport> receive_until(Deadline deadline) noexcept;

private:
    friend struct ReportChannel;
    explicit ReportReceiver(std::shared_ptr<report_channel_detail::SharedState> state) noexcept;
    std::shared_ptr<report_channel_detail::SharedState> state_;
};

struct ReportChannel {
    ReportSender sender;
    ReportReceiver receiver;

    // Fails (ENOMEM) only when the shared state cannot be allocated.
    [[nodiscard]] static Result<ReportChannel> create() noexcept;
};

inline constexpr Error kReportLate = Error::with_text(ErrorKind::timed_out, "no report before the deadline");
inline constexpr Error kReportSenderGone = Error::with_text(ErrorKind::unexpected_eof, "report sender vanished");
inline constexpr Error kReportReceiverGone = Error::with_text(ErrorKind::other, "report receiver vanished");
inline constexpr Error kReportAlreadySent = Error::with_text(ErrorKind::other, "report already sent");

}  // namespace quillmere
