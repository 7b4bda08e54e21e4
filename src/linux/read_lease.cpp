#include "linux/read_lease.hpp"

#include <fcntl.h>
#include <linux/capability.h>
#include <signal.h>
#include <sys/prctl.h>

#include <utility>

namespace quillmere {

Result<ReadLease> ReadLease::take(int fd) {
    // A lease break is told by a signal, SIGIO unless another is set, and SIGIO would end the
    // process; SIGURG is discarded by default, and nothing here waits for it.
    if (::fcntl(fd, F_SETSIG, SIGURG) != 0) return fail_last_os_error();
    if (::fcntl(fd, F_SETLEASE, F_RDLCK) != 0) return fail_last_os_error();
    return ReadLease(fd);
}

ReadLease::ReadLease(ReadLease&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

ReadLease::~ReadLease() {
    // Giving it back cannot fail on the descriptor that holds it; if it did, the lease would
    // still end with the descriptor.
    if (fd_ >= 0) (void)::fcntl(fd_, F_SETLEASE, F_UNLCK);
}

bool lease_capability_bounded() noexcept {
    // Only a clear "not in the set" counts: a kernel that cannot answer is not taken to lack it.
    return ::prctl(PR_CAPBSET_READ, CAP_LEASE, 0, 0, 0) != 0;
}

}  // namespace quillmere
