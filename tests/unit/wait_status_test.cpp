#include "linux/wait_status.hpp"

#include <signal.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

namespace quillmere {
namespace {

struct WaitStatusCase {
    int code;
    int status;
    int expected;
};

TEST(WaitStatusFrom, EncodesLikeTheClassicWaitStatus) {
    const WaitStatusCase cases[] = {
        {CLD_EXITED, 0, 0},          {CLD_EXITED, 3, 0x300},      {CLD_EXITED, 255, 0xff00},
        {CLD_KILLED, SIGKILL, 9},    {CLD_KILLED, SIGTERM, 15},   {CLD_KILLED, 0xff, 0x7f},
        {CLD_DUMPED, SIGSEGV, 0x8b}, {CLD_DUMPED, SIGABRT, 0x86}, {CLD_DUMPED, 0x1ff, 0xff},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "code " << c.code << " status " << c.status);
        const auto status = wait_status_from(c.code, c.status);
        ASSERT_TRUE(status.has_value());
        EXPECT_EQ(*status, c.expected);
    }
}

TEST(WaitStatusFrom, AgreesWithTheWaitMacros) {
    EXPECT_TRUE(WIFEXITED(*wait_status_from(CLD_EXITED, 3)));
    EXPECT_EQ(WEXITSTATUS(*wait_status_from(CLD_EXITED, 3)), 3);
    EXPECT_TRUE(WIFSIGNALED(*wait_status_from(CLD_KILLED, SIGKILL)));
    EXPECT_FALSE(WCOREDUMP(*wait_status_from(CLD_KILLED, SIGSEGV)));
    EXPECT_TRUE(WCOREDUMP(*wait_status_from(CLD_DUMPED, SIGSEGV)));
    EXPECT_EQ(WTERMSIG(*wait_status_from(CLD_DUMPED, SIGSEGV)), SIGSEGV);
}

TEST(WaitStatusFrom, RefusesCodesThatAreNoExit) {
    for (const int code : {int{CLD_TRAPPED}, int{CLD_STOPPED}, int{CLD_CONTINUED}, 0, 99}) {
        const auto status = wait_status_from(code, 0);
        ASSERT_FALSE(status.has_value()) << code;
        EXPECT_EQ(status.error(), Error::with_text(ErrorKind::invalid_data, "unknown child exit status"));
    }
}

}  // namespace
}  // namespace quillmere
