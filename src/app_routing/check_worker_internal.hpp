#pragma once
// The two halves of the app routing check, for check_worker.cpp and its tests: the worker's
// body, and the main thread's side with the body it starts left open.

#include "app_routing/report.hpp"
#include "app_routing/report_channel.hpp"

namespace quillmere {

// What the check worker thread runs; it owns the only sending end of the channel.
using CheckWorkerBody = void (*)(ReportSender sender) noexcept;

// The four probes under one 1.2 s deadline, then their report on `sender`.
void run_app_routing_check(ReportSender sender) noexcept;

// Starts `body` on a detached thread named after the check and waits 1.2 s for its report;
// the fallback report when the thread cannot start, the sender vanishes, or time runs out.
[[nodiscard]] AppRoutingReport check_app_routing_with(CheckWorkerBody body) noexcept;

}  // namespace quillmere
