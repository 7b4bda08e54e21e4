// "check-app-routing" against the real kernel: the probe on its own, and the binary as the
// parent starts it, as root and unprivileged.

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "app_routing/check_worker.hpp"
#include "app_routing/check_worker_internal.hpp"
#include "app_routing/probe.hpp"
#include "main/documents.hpp"
#include "support/scratch.hpp"

namespace quillmere {
namespace {

using testing::ProcessResult;
using testing::RunOptions;

// No socket-diagnostics handler exists for this protocol (one set aside for experiments), so
// the kernel answers with an error reply. 255 would not do: it is IPPROTO_RAW, which has one.
constexpr std::uint8_t kProtocolWithoutHandler = 253;

// An independent look at what the kernel supports: a plain blocking dump request, judged only
// by whether the first reply is an end-of-dump with status 0.
bool kernel_lists(int family, int protocol) {
    const int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0) return false;
    const timeval limit{2, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    struct {
        nlmsghdr header;
        inet_diag_req_v2 body;
    } request{};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = 77;
    request.body.sdiag_family = static_cast<std::uint8_t>(family);
    request.body.sdiag_protocol = static_cast<std::uint8_t>(protocol);
    request.body.id.idiag_cookie[0] = request.body.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    bool listed = false;
    if (::sendto(fd, &request, sizeof request, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) ==
        static_cast<ssize_t>(sizeof request)) {
        unsigned char reply[8192];
        const ssize_t n = ::recv(fd, reply, sizeof reply, 0);
        if (n >= 20) {
            nlmsghdr header;
            std::int32_t status;
            std::memcpy(&header, reply, sizeof header);
            std::memcpy(&status, reply + sizeof header, sizeof status);
            listed = header.nlmsg_type == NLMSG_DONE && status == 0;
        }
    }
    ::close(fd);
    return listed;
}

AppRoutingReport kernel_report() {
    return AppRoutingReport{1,
                            {kernel_lists(AF_INET, IPPROTO_TCP), kernel_lists(AF_INET, IPPROTO_UDP)},
                            {kernel_lists(AF_INET6, IPPROTO_TCP), kernel_lists(AF_INET6, IPPROTO_UDP)}};
}

int open_descriptor_count() {
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    int count = 0;
    while (::readdir(dir) != nullptr) ++count;
    ::closedir(dir);
    return count;
}

void expect_one_clean_document(const ProcessResult& result, const AppRoutingReport& expected) {
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.standard_output, app_routing_document(expected));
    EXPECT_EQ(result.standard_output.find(' '), std::string::npos);
    EXPECT_EQ(result.standard_output.find('\n'), result.standard_output.size() - 1);
    EXPECT_EQ(result.standard_error, "");
}

TEST(AppRoutingProbe, AgreesWithTheKernelForEachProbedPair) {
    const struct {
        std::uint8_t family;
        std::uint8_t protocol;
    } pairs[] = {{AF_INET, IPPROTO_TCP}, {AF_INET, IPPROTO_UDP}, {AF_INET6, IPPROTO_TCP}, {AF_INET6, IPPROTO_UDP}};
    std::uint32_t sequence = 1;
    for (const auto& pair : pairs) {
        EXPECT_EQ(probe_sock_diag(pair.family, pair.protocol, sequence++, Deadline::after(seconds(1))),
                  kernel_lists(pair.family, pair.protocol))
            << int{pair.family} << "/" << int{pair.protocol};
    }
}

TEST(AppRoutingProbe, AnErrorReplyIsNoWithoutWaitingForTheTimeLimit) {
    ASSERT_FALSE(kernel_lists(AF_INET, kProtocolWithoutHandler));
    const Nanoseconds start = monotonic_now();
    EXPECT_FALSE(probe_sock_diag(AF_INET, kProtocolWithoutHandler, 9, Deadline::after(seconds(1))));
    // Waiting out the time limit would take 250 ms; the error reply comes long before.
    EXPECT_LT(monotonic_now() - start, milliseconds(200));
}

TEST(AppRoutingProbe, ADeadlineAlreadyReachedIsNo) {
    EXPECT_FALSE(probe_sock_diag(AF_INET, IPPROTO_TCP, 1, Deadline::at(monotonic_now())));
    EXPECT_FALSE(probe_sock_diag(AF_INET, IPPROTO_TCP, 1, Deadline::at(0)));
}

TEST(AppRoutingProbe, LeavesNoDescriptorBehindOnAnyPath) {
    const int before = open_descriptor_count();
    ASSERT_GT(before, 0);
    for (int round = 0; round < 20; ++round) {
        (void)probe_sock_diag(AF_INET, IPPROTO_TCP, 1, Deadline::after(seconds(1)));
        (void)probe_sock_diag(AF_INET6, kProtocolWithoutHandler, 2, Deadline::after(seconds(1)));
        (void)probe_sock_diag(AF_INET, IPPROTO_UDP, 3, Deadline::at(0));
        (void)probe_sock_diag(AF_UNSPEC, IPPROTO_TCP, 4, Deadline::after(seconds(1)));
    }
    EXPECT_EQ(open_descriptor_count(), before);
}

TEST(AppRoutingCheck, TheWorkerBodyReportsWhatTheKernelSupports) {
    EXPECT_EQ(check_app_routing_with(run_app_routing_check), kernel_report());
}

TEST(CheckAppRoutingCommand, PrintsTheDocumentForThisKernelAsRoot) {
    if (!testing::running_as_root()) GTEST_SKIP() << "needs root";
    const AppRoutingReport expected = kernel_report();
    const Nanoseconds start = monotonic_now();
    const ProcessResult result = testing::run_supervisor({"check-app-routing"});
    const Nanoseconds took = monotonic_now() - start;
    expect_one_clean_document(result, expected);
    // Bounded by the 1.2 s wait whatever the probes do; generous room for a busy machine.
    EXPECT_LT(took, kAppRoutingCheckTimeLimit + seconds(2));
}

TEST(CheckAppRoutingCommand, PrintsTheSameDocumentUnprivileged) {
    if (!testing::running_as_root()) GTEST_SKIP() << "needs root to drop to uid 65534";
    RunOptions options;
    options.uid = testing::kNobodyUid;
    expect_one_clean_document(testing::run_supervisor({"check-app-routing"}, options), kernel_report());
}

// Runs the binary as uid 65534 with a process limit of 0, under which the kernel refuses to
// create any thread, so the check worker cannot start.
ProcessResult run_without_threads() {
    int out_pipe[2];
    int err_pipe[2];
    if (::pipe2(out_pipe, O_CLOEXEC) != 0 || ::pipe2(err_pipe, O_CLOEXEC) != 0) return {};
    const std::string binary = testing::supervisor_binary();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out_pipe[1], STDOUT_FILENO);
        ::dup2(err_pipe[1], STDERR_FILENO);
        // The limit comes after the uid change: the change itself must not be over the limit,
        // or the kernel would refuse the exec too.
        if (::setgroups(0, nullptr) != 0 || ::setgid(testing::kNobodyGid) != 0 || ::setuid(testing::kNobodyUid) != 0)
            ::_exit(126);
        const rlimit none{0, 0};
        if (::setrlimit(RLIMIT_NPROC, &none) != 0) ::_exit(125);
        char* argv[] = {const_cast<char*>(binary.c_str()), const_cast<char*>("check-app-routing"), nullptr};
        ::execv(binary.c_str(), argv);
        ::_exit(127);
    }
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);
    ProcessResult result;
    char buffer[4096];
    for (const auto& [fd, text] :
         {std::pair{out_pipe[0], &result.standard_output}, {err_pipe[0], &result.standard_error}}) {
        ssize_t n;
        while ((n = ::read(fd, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR))
            if (n > 0) text->append(buffer, static_cast<std::size_t>(n));
        ::close(fd);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

TEST(CheckAppRoutingCommand, AWorkerThatCannotStartGivesTheFallbackAtOnce) {
    if (!testing::running_as_root()) GTEST_SKIP() << "needs root to drop to uid 65534";
    const Nanoseconds start = monotonic_now();
    const ProcessResult result = run_without_threads();
    const Nanoseconds took = monotonic_now() - start;
    expect_one_clean_document(result, kFallbackAppRoutingReport);
    // No worker means no wait: the fallback does not come from the 1.2 s deadline.
    EXPECT_LT(took, kAppRoutingCheckTimeLimit - milliseconds(200));
}

}  // namespace
}  // namespace quillmere
