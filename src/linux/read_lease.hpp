#pragma once
// A read lease on an open file: while it is held nobody can open the file for writing, and it
// can be taken only while nobody has it open for writing.

#include "linux/error.hpp"

namespace quillmere {

class ReadLease {
public:
    // Takes a read lease through `fd`, which must be open read-only. EAGAIN: someone holds the
    // file open for writing. EINVAL: the file system (or the system's setting) knows no leases.
    // EACCES: only the file's owner, or a process with CAP_LEASE, may take one.
    [[nodiscard]] static Result<ReadLease> take(int fd);

    ReadLease(ReadLease&& other) noexcept;
    ReadLease(const ReadLease&) = delete;
    ReadLease& operator=(const ReadLease&) = delete;
    ReadLease& operator=(ReadLease&&) = delete;
    // Gives the lease back; a writer waiting in open goes on.
    ~ReadLease();

private:
    explicit ReadLease(int fd) noexcept : fd_(fd) {}
    int fd_;
};

// Whether CAP_LEASE is in this process's capability bounding set. Root without it (a container
// runtime's default set lacks it) can lease only the files it owns, and so can every process
// started from here, since the set is only ever narrowed.
[[nodiscard]] bool lease_capability_bounded() noexcept;

}  // namespace quillmere
