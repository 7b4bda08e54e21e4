#include "children/state_files.hpp"

#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <functional>
#include <iterator>
#include <string>

#include "linux/path.hpp"
#include "support/scratch.hpp"

namespace quillmere {
namespace {

using testing::file_mode;
using testing::path_exists;
using testing::read_file;
using testing::ScratchDir;

// Runs `body` in a forked child, so that umask and resource limits stay its own; returns the
// child's exit code.
int run_forked(const std::function<int()>& body) {
    const pid_t pid = ::fork();
    if (pid < 0) return -1;
    if (pid == 0) ::_exit(body());
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Makes every later write(2) of this process fail with `errnum`, through a seccomp filter.
bool refuse_write_calls(int errnum) {
    sock_filter program[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_write, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (static_cast<unsigned>(errnum) & SECCOMP_RET_DATA)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    const sock_fprog filter{static_cast<unsigned short>(std::size(program)), program};
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) == 0;
}

int errno_of(const Result<void>& result) { return result.has_value() ? 0 : result.error().os_errno; }

bool is_regular(const std::string& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

class StateFiles : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testing::running_as_root()) GTEST_SKIP() << "needs root";
    }
    ScratchDir dir;
};

TEST_F(StateFiles, PidFileHoldsOnlyTheDigitsAndEndsUpReadable) {
    const std::string pid = decimal(static_cast<unsigned long long>(::getpid()));
    ASSERT_TRUE(write_state_file(dir.path(), kHelperPidFile, pid).has_value());
    ASSERT_TRUE(write_state_file(dir.path(), kCorePidFile, "7").has_value());

    EXPECT_EQ(read_file(dir.file(kHelperPidFile)), pid);
    EXPECT_EQ(read_file(dir.file(kCorePidFile)), "7");
    EXPECT_TRUE(is_regular(dir.file(kCorePidFile)));
    EXPECT_EQ(file_mode(dir.file(kHelperPidFile)), 0644U);
    EXPECT_EQ(file_mode(dir.file(kCorePidFile)), 0644U);
}

TEST_F(StateFiles, EmptyCleanupErrorIsAZeroLengthReadableFile) {
    ASSERT_TRUE(write_state_file(dir.path(), kCleanupErrorFile, "").has_value());
    struct stat status {};
    ASSERT_EQ(::lstat(dir.file(kCleanupErrorFile).c_str(), &status), 0);
    EXPECT_TRUE(S_ISREG(status.st_mode));
    EXPECT_EQ(status.st_size, 0);
    EXPECT_EQ(status.st_mode & 07777, 0644U);
}

TEST_F(StateFiles, LargeContentIsWrittenWhole) {
    const std::string document(1 << 20, 'x');
    ASSERT_TRUE(write_state_file(dir.path(), kDoneFile, document).has_value());
    EXPECT_EQ(read_file(dir.file(kDoneFile)), document);
}

TEST_F(StateFiles, ExistingFileIsLeftExactlyAsItWas) {
    testing::write_file(dir.file(kHelperPidFile), "4242\n", 0640);
    EXPECT_EQ(errno_of(write_state_file(dir.path(), kHelperPidFile, "1")), EEXIST);
    EXPECT_EQ(read_file(dir.file(kHelperPidFile)), "4242\n");
    EXPECT_EQ(file_mode(dir.file(kHelperPidFile)), 0640U);

    // The same name twice from the supervisor itself: the second attempt fails the same way.
    ASSERT_TRUE(write_state_file(dir.path(), kRecoveryPidFile, "1").has_value());
    EXPECT_EQ(errno_of(write_state_file(dir.path(), kRecoveryPidFile, "2")), EEXIST);
    EXPECT_EQ(read_file(dir.file(kRecoveryPidFile)), "1");
}

TEST_F(StateFiles, PlantedSymbolicLinkIsNeverFollowed) {
    // A dangling link: following it would create the target.
    ASSERT_EQ(::symlink(dir.file("absent-target").c_str(), dir.file(kDoneFile).c_str()), 0);
    EXPECT_EQ(errno_of(write_state_file(dir.path(), kDoneFile, "{}")), EEXIST);
    EXPECT_FALSE(path_exists(dir.file("absent-target")));

    // A link to an existing file: following it would overwrite the victim.
    testing::write_file(dir.file("victim"), "keep", 0600);
    ASSERT_EQ(::symlink(dir.file("victim").c_str(), dir.file(kCleanupErrorFile).c_str()), 0);
    EXPECT_EQ(errno_of(write_state_file(dir.path(), kCleanupErrorFile, "")), EEXIST);
    EXPECT_EQ(read_file(dir.file("victim")), "keep");
    EXPECT_EQ(file_mode(dir.file("victim")), 0600U);
}

TEST_F(StateFiles, FinalModeIgnoresTheUmask) {
    for (const mode_t mask : {mode_t{077}, mode_t{0777}}) {
        const std::string name = "pid-" + std::to_string(mask);
        const int code = run_forked([&] {
            ::umask(mask);
            return errno_of(write_state_file(dir.path(), name, "123"));
        });
        EXPECT_EQ(code, 0) << "umask " << mask;
        EXPECT_EQ(file_mode(dir.file(name)), 0644U) << "umask " << mask;
        EXPECT_EQ(read_file(dir.file(name)), "123");
    }
}

// A file-size limit of zero makes the first write fail, which freezes the file as it was while
// being written: created under umask 077, private, and left behind rather than removed.
TEST_F(StateFiles, FileIsPrivateWhileWrittenAndKeptWhenTheWriteFails) {
    const int code = run_forked([&] {
        ::umask(077);
        (void)::signal(SIGXFSZ, SIG_IGN);
        const rlimit none{0, 0};
        if (::setrlimit(RLIMIT_FSIZE, &none) != 0) return 100;
        return errno_of(write_state_file(dir.path(), kDoneFile, "{\"format\":2}"));
    });
    EXPECT_EQ(code, EFBIG);
    ASSERT_TRUE(is_regular(dir.file(kDoneFile)));
    EXPECT_EQ(file_mode(dir.file(kDoneFile)), 0600U);
    EXPECT_EQ(read_file(dir.file(kDoneFile)), "");
}

// In a child whose every write call fails, empty content still succeeds (no write is made),
// and any content at all fails with the write's own errno.
TEST_F(StateFiles, EmptyContentMakesNoWriteCall) {
    const auto with_writes_refused = [&](std::string_view name, std::string_view content) {
        return run_forked([&] {
            if (!refuse_write_calls(EXDEV)) return 100;
            return errno_of(write_state_file(dir.path(), name, content));
        });
    };
    EXPECT_EQ(with_writes_refused(kCleanupErrorFile, ""), 0);
    EXPECT_EQ(file_mode(dir.file(kCleanupErrorFile)), 0644U);
    EXPECT_EQ(with_writes_refused(kCorePidFile, "9"), EXDEV);
    EXPECT_EQ(file_mode(dir.file(kCorePidFile)), 0600U);
}

}  // namespace
}  // namespace quillmere
