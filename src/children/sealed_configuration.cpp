#include "children/sealed_configuration.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "children/file_rules.hpp"
#include "linux/path.hpp"
#include "linux/read_lease.hpp"
#include "linux/syscalls.hpp"
#include "linux/write_all.hpp"

namespace quillmere {
namespace {

constexpr std::size_t kCopyChunkBytes = 8192;
// Once these are set nobody, the supervisor included, can write, grow, shrink or unseal it.
constexpr int kRequiredSeals = F_SEAL_SEAL | F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE;
static_assert(kRequiredSeals == 15);

// Copies with pread at a running offset, so the source descriptor's own offset is never used
// or moved. Returns the number of bytes copied.
[[nodiscard]] Result<std::size_t> copy_content(int source_fd, int memfd) {
    std::array<char, kCopyChunkBytes> buffer{};
    std::size_t offset = 0;
    for (;;) {
        // EINTR is a failure here, not a retry: the copy is one attempt, made once per mode.
        const ssize_t n = ::pread(source_fd, buffer.data(), buffer.size(), static_cast<off_t>(offset));
        if (n < 0) return fail_last_os_error();
        if (n == 0) return offset;
        offset += static_cast<std::size_t>(n);
        // Checked before writing, so an oversized file is refused as soon as it shows.
        if (offset > kSealedCopyMaxBytes) return fail_errno(EFBIG);
        TRY(write_all(memfd, std::string_view(buffer.data(), static_cast<std::size_t>(n))));
    }
}

struct SealedStatus {
    bool regular = false;
    unsigned long long size = 0;
};

[[nodiscard]] Result<SealedStatus> read_status(int fd) {
    struct statx extended {};
    if (::statx(fd, "", AT_EMPTY_PATH, STATX_TYPE | STATX_SIZE, &extended) == 0) {
        return SealedStatus{S_ISREG(extended.stx_mode), extended.stx_size};
    }
    // Kernels before 4.11 lack statx, and some container filters refuse unknown calls with
    // EPERM; fstat answers the same two questions.
    if (errno != ENOSYS && errno != EPERM) return fail_last_os_error();
    struct stat status {};
    if (::fstat(fd, &status) != 0) return fail_last_os_error();
    return SealedStatus{S_ISREG(status.st_mode), static_cast<unsigned long long>(status.st_size)};
}

// The bytes of `source_fd`, which must still meet the file rules for `owner_uid` at the moment
// it is read and must not be open for writing anywhere, in a new memory file under `name`,
// sealed.
[[nodiscard]] Result<UniqueFd> seal_copy(int source_fd, uid_t owner_uid, bool executable, const char* name) {
    // The file was checked when it was opened; it must still pass at the moment it is read.
    struct stat source {};
    if (::fstat(source_fd, &source) != 0) return fail_last_os_error();
    if (!broken_file_rules(source, owner_uid, executable).empty()) return fail_errno(EPERM);
    // A descriptor kept from a moment when the file was writable (before a chmod, or in a
    // shared place before a rename) would let its holder change the bytes between the checks
    // and the copy: no copy while anybody has the file open for writing. Whoever opens it for
    // writing meanwhile waits in open until the lease is given back, right after the copy. A
    // file system without leases cannot promise that, so the file is refused there too.
    const ReadLease lease = TRY(ReadLease::take(source_fd));

    const int raw = raw_memfd_create(name, MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (raw < 0) return fail_last_os_error();
    UniqueFd memfd(raw);

    const std::size_t copied = TRY(copy_content(source_fd, memfd.get()));
    if (copied == 0) return fail_errno(EINVAL);
    if (::fcntl(memfd.get(), F_ADD_SEALS, kRequiredSeals) != 0) return fail_last_os_error();
    TRY(verify_sealed(memfd.get()));
    return memfd;
}

}  // namespace

Result<UniqueFd> seal_configuration(int source_fd, uid_t owner_uid) {
    return seal_copy(source_fd, owner_uid, false, kSealedConfigurationName);
}

Result<UniqueFd> seal_guard_script(int source_fd, uid_t owner_uid) {
    return seal_copy(source_fd, owner_uid, true, kSealedGuardScriptName);
}

Result<void> verify_sealed(int fd) {
    const SealedStatus status = TRY(read_status(fd));
    if (!status.regular || status.size < 1 || status.size > kSealedCopyMaxBytes) return fail_errno(EINVAL);
    const int seals = ::fcntl(fd, F_GET_SEALS);
    if (seals < 0) return fail_last_os_error();
    if ((seals & kRequiredSeals) != kRequiredSeals) return fail_errno(EPERM);
    return {};
}

Result<UniqueFd> open_sealed_for_child(int sealed_fd) {
    // Opening the supervisor's own descriptor path reaches exactly the file it holds, and makes
    // a fresh open file description rather than a duplicate sharing the writer's offset.
    const std::string path = descriptor_path(sealed_fd);
    UniqueFd fd = TRY(open_retrying(path, O_RDONLY | O_CLOEXEC));
    TRY(verify_sealed(fd.get()));
    return fd;
}

}  // namespace quillmere
