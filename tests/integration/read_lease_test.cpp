#include "linux/read_lease.hpp"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include <gtest/gtest.h>

#include "linux/deadline.hpp"
#include "linux/unique_fd.hpp"
#include "support/scratch.hpp"

namespace quillmere {
namespace {

// A writer that opens the file breaks the lease, and the kernel tells the holder with a
// signal: one whose default action ends the process would end the supervisor mid-copy.
TEST(ReadLease, AWriterBreakingTheLeaseLeavesItsHolderRunning) {
    testing::ScratchDir scratch;
    const std::string path = scratch.file("leased");
    testing::write_file(path, "{}\n", 0600);
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    UniqueFd ready(ends[0]);
    const pid_t holder = ::fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        const UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        const auto lease = ReadLease::take(file.get());
        if (!lease.has_value()) ::_exit(10);
        (void)(::write(ends[1], "L", 1) < 0);
        // The break arrives meanwhile.
        sleep_for(milliseconds(500));
        ::_exit(0);
    }
    ::close(ends[1]);
    char byte = 0;
    ASSERT_EQ(::read(ready.get(), &byte, 1), 1) << "the holder took no lease";
    // Without waiting: the open fails at once, and the lease break is under way.
    const UniqueFd writer(::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
    EXPECT_FALSE(writer.valid());
    EXPECT_EQ(errno, EWOULDBLOCK);
    int status = 0;
    ASSERT_EQ(::waitpid(holder, &status, 0), holder);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "the holder ended with status " << status << (WIFSIGNALED(status) ? ", by a signal" : "");
}

}  // namespace
}  // namespace quillmere
