#include "app_routing/check_worker.hpp"

#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>

#include <array>
#include <cstddef>
#include <memory>
#include <new>
#include <string_view>

#include "app_routing/check_worker_internal.hpp"
#include "app_routing/probe.hpp"

namespace quillmere {

namespace {

constexpr std::string_view kCheckWorkerName = "socket-diag-check";
// The kernel keeps 15 bytes of a thread's name and pthread_setname_np refuses longer ones, so
// the name given is the part that the system would show anyway.
constexpr std::size_t kThreadNameLimit = 15;

constexpr std::array<char, kThreadNameLimit + 1> kCheckWorkerThreadName = [] {
    std::array<char, kThreadNameLimit + 1> name{};
    for (std::size_t i = 0; i < kThreadNameLimit && i < kCheckWorkerName.size(); ++i) name[i] = kCheckWorkerName[i];
    return name;
}();

struct WorkerStart {
    CheckWorkerBody body;
    ReportSender sender;
};

void* check_worker_main(void* argument) noexcept {
    const std::unique_ptr<WorkerStart> start(static_cast<WorkerStart*>(argument));
    start->body(std::move(start->sender));
    return nullptr;
}

// Starts the worker and lets it go: once it runs, nothing waits for it to end, and the
// process may exit while it is still probing.
bool start_check_worker(CheckWorkerBody body, ReportSender sender) noexcept {
    std::unique_ptr<WorkerStart> start(new (std::nothrow) WorkerStart{body, std::move(sender)});
    if (!start) return false;
    pthread_t thread;
    // Default attributes: the worker needs no particular stack size.
    if (::pthread_create(&thread, nullptr, check_worker_main, start.get()) != 0) return false;
    (void)start.release();  // the worker owns it now
    // Naming is for whoever inspects the process; a refusal changes nothing about the check.
    (void)::pthread_setname_np(thread, kCheckWorkerThreadName.data());
    (void)::pthread_detach(thread);
    return true;
}

}  // namespace

void run_app_routing_check(ReportSender sender) noexcept {
    const Deadline deadline = Deadline::after(kAppRoutingCheckTimeLimit);
    AppRoutingReport report;
    report.format = 1;
    report.ipv4.tcp = probe_sock_diag(AF_INET, IPPROTO_TCP, 1, deadline);
    report.ipv4.udp = probe_sock_diag(AF_INET, IPPROTO_UDP, 2, deadline);
    report.ipv6.tcp = probe_sock_diag(AF_INET6, IPPROTO_TCP, 3, deadline);
    report.ipv6.udp = probe_sock_diag(AF_INET6, IPPROTO_UDP, 4, deadline);
    // A main thread that stopped waiting has printed the fallback already; the late report
    // has nowhere to go and is dropped.
    (void)sender.send(report);
}

AppRoutingReport check_app_routing_with(CheckWorkerBody body) noexcept {
    Result<ReportChannel> channel = ReportChannel::create();
    if (!channel) return kFallbackAppRoutingReport;
    ReportReceiver receiver = std::move(channel->receiver);
    // Without a worker the check has simply shown no support; it never fails the command.
    if (!start_check_worker(body, std::move(channel->sender))) return kFallbackAppRoutingReport;
    const Result<AppRoutingReport> report = receiver.receive_until(Deadline::after(kAppRoutingCheckTimeLimit));
    return report.value_or(kFallbackAppRoutingReport);
}

AppRoutingReport check_app_routing() noexcept { return check_app_routing_with(run_app_routing_check); }

}  // namespace quillmere
