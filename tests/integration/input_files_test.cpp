#include "children/input_files.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include "children/scrubbed_command.hpp"
#include "linux/path.hpp"
#include "support/scratch.hpp"

namespace quillmere {
namespace {

using testing::kNobodyUid;
using testing::ScratchDir;
using testing::write_file;

constexpr uid_t kRoot = 0;
constexpr mode_t kExecutableMode = 0700;
constexpr std::string_view kProgramText = "#!/bin/sh\nexit 0\n";
constexpr int kTimedOut = -1;

// Runs `body` in a forked child and returns its exit code, or kTimedOut if it has not ended
// within a few seconds (it is then killed): an open that blocks must fail the test, not hang it.
int run_forked(const std::function<int()>& body) {
    const pid_t pid = ::fork();
    if (pid < 0) return -2;
    if (pid == 0) ::_exit(body());
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        if (done < 0 && errno != EINTR) return -2;
        if (std::chrono::steady_clock::now() > limit) {
            ::kill(pid, SIGKILL);
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            return kTimedOut;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

template <class T>
int errno_of(const Result<T>& result) {
    return result.has_value() ? 0 : result.error().os_errno;
}

// Each hook of `command` in order, as the spawn runs them in its child; the first errno or 0.
int run_hooks(const ChildCommand& command) {
    for (const PreExecHook& hook : command.hooks) {
        if (const int failed = hook.run(hook); failed != 0) return failed;
    }
    return 0;
}

void add_capability(const std::string& path) {
    const std::string command = "setcap cap_net_raw+ep '" + path + "'";
    // NOLINTNEXTLINE(cert-env33-c): setcap from fixed text and a scratch path, as root in a test
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

int open_descriptor_count() {
    int count = 0;
    DIR* listing = ::opendir("/proc/self/fd");
    if (listing == nullptr) return -1;
    while (const dirent* entry = ::readdir(listing)) {
        if (entry->d_name[0] != '.') ++count;
    }
    ::closedir(listing);
    return count;
}

class InputFiles : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testing::running_as_root()) GTEST_SKIP() << "needs root";
    }
    [[nodiscard]] Session session(uid_t owner = kRoot) const {
        return Session{dir.path(), std::string(64, 'a'), owner};
    }
    void put_executable(std::string_view name, mode_t mode = kExecutableMode) const {
        write_file(dir.file(name), kProgramText, mode);
    }
    ScratchDir dir;
};

struct OpenCase {
    const char* what;
    std::string_view name;
    bool executable;
    uid_t session_owner;
    std::function<void(const ScratchDir&, const std::string& path)> prepare;
    int expected_errno;
};

const OpenCase kOpenCases[] = {
    {"executable 0700", kCoreExecutableName, true, kRoot,
     [](const ScratchDir&, const std::string& p) { write_file(p, kProgramText, 0700); }, 0},
    {"sticky bit is not examined", kCoreExecutableName, true, kRoot,
     [](const ScratchDir&, const std::string& p) { write_file(p, kProgramText, 01700); }, 0},
    {"configuration 0600", kCoreConfigurationName, false, kRoot,
     [](const ScratchDir&, const std::string& p) { write_file(p, "{}", 0600); }, 0},
    {"configuration 0400", kCoreConfigurationName, false, kRoot,
     [](const ScratchDir&, const std::string& p) { write_file(p, "{}", 0400); }, 0},
    {"capability attribute on a data file is not examined", kCoreConfigurationName, false, kRoot,
     [](const ScratchDir&, const std::string& p) {
         write_file(p, "{}", 0600);
         add_capability(p);
     },
     0},
    {"owner other than root", kCoreExecutableName, true, kNobodyUid,
     [](const ScratchDir&, const std::string& p) { write_file(p, kProgramText, 0700, kNobodyUid); }, 0},

    {"missing", kNodeExecutableName, true, kRoot, [](const ScratchDir&, const std::string&) {}, ENOENT},
    {"symbolic link to a valid executable", kNodeExecutableName, true, kRoot,
     [](const ScratchDir& d, const std::string& p) {
         write_file(d.file("real-node"), kProgramText, 0700);
         ASSERT_EQ(::symlink(d.file("real-node").c_str(), p.c_str()), 0);
     },
     ELOOP},
    {"FIFO without a writer", kCoreConfigurationName, false, kRoot,
     [](const ScratchDir&, const std::string& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }, EPERM},
    {"directory", kCoreExecutableName, true, kRoot,
     [](const ScratchDir&, const std::string& p) { ASSERT_EQ(::mkdir(p.c_str(), 0700), 0); }, EPERM},
    {"empty file", kCoreConfigurationName, false, kRoot,
     [](const ScratchDir&, const std::string& p) { write_file(p, "", 0600); }, EPERM},
    {"group execute 0710", kCoreExecutableName, true, kRoot,
     [](const ScratchDir&, const std::string& p) { write_file(p, kProgramText, 0710); }, EPERM},
    {"group read 0750", kCoreExecutableName, true, kRoot,
     [](const ScratchDir&, const std::string& p) { write_file(p, kProgramText, 0750); }, EPERM},
    {"other read 0604", kCoreConfigurationName, false, kRoot,
     [](const ScratchDir&, const std::string& p) { write_file(p, "{}", 0604); }, EPERM},
    {"set-user-id 04700", kCoreExecutableName, true, kRoot,
     [](const ScratchDir&, const std::string& p) { write_file(p, kProgramText, 04700); }, EPERM},
    {"set-group-id 02700", kCoreExecutableName, true, kRoot,
     [](const ScratchDir&, const std::string& p) { write_file(p, kProgramText, 02700); }, EPERM},
    {"owned by another user", kCoreExecutableName, true, kRoot,
     [](const ScratchDir&, const std::string& p) { write_file(p, kProgramText, 0700, kNobodyUid); }, EPERM},
    {"owned by root in a user's session", kCoreExecutableName, true, kNobodyUid,
     [](const ScratchDir&, const std::string& p) { write_file(p, kProgramText, 0700, kRoot); }, EPERM},
    {"second hard link", kCoreExecutableName, true, kRoot,
     [](const ScratchDir& d, const std::string& p) {
         write_file(p, kProgramText, 0700);
         ASSERT_EQ(::link(p.c_str(), d.file("other-name").c_str()), 0);
     },
     EPERM},
    {"guard script without owner execute 0600", kGuardScriptName, true, kRoot,
     [](const ScratchDir&, const std::string& p) { write_file(p, "process.exit(0)\n", 0600); }, EPERM},
    {"executable with file capabilities", kCoreExecutableName, true, kRoot,
     [](const ScratchDir&, const std::string& p) {
         write_file(p, kProgramText, 0700);
         add_capability(p);
     },
     EPERM},
};

TEST_F(InputFiles, OpenFollowsTheRulesTable) {
    for (const OpenCase& c : kOpenCases) {
        SCOPED_TRACE(c.what);
        ScratchDir case_dir;
        const std::string path = case_dir.file(c.name);
        c.prepare(case_dir, path);
        if (HasFatalFailure()) return;
        const Session case_session{case_dir.path(), std::string(64, 'a'), c.session_owner};
        const int code = run_forked([&] { return errno_of(open_input_file(case_session, c.name, c.executable)); });
        EXPECT_EQ(code, c.expected_errno);
    }
}

TEST_F(InputFiles, OpenedFileKeepsItsJoinedPathAndAPrivateReadOnlyDescriptor) {
    put_executable(kCoreExecutableName);
    write_file(dir.file(kCoreConfigurationName), "{}", 0600);

    auto core = open_input_file(session(), kCoreExecutableName, true);
    ASSERT_TRUE(core.has_value()) << core.error().os_errno;
    EXPECT_EQ(core->path, dir.path() + "/sing-box");
    EXPECT_EQ(core->owner_uid, kRoot);
    EXPECT_TRUE(core->executable);
    EXPECT_EQ(::fcntl(core->fd.get(), F_GETFD), FD_CLOEXEC);
    const int status_flags = ::fcntl(core->fd.get(), F_GETFL);
    EXPECT_EQ(status_flags & O_ACCMODE, O_RDONLY);
    EXPECT_NE(status_flags & O_NONBLOCK, 0);

    auto configuration = open_input_file(session(), kCoreConfigurationName, false);
    ASSERT_TRUE(configuration.has_value());
    EXPECT_FALSE(configuration->executable);
}

TEST_F(InputFiles, RefusedFileLeavesNoDescriptorOpen) {
    put_executable(kNodeExecutableName);
    write_file(dir.file(kGuardScriptName), "process.exit(0)\n", 0600);
    const int before = open_descriptor_count();
    EXPECT_EQ(errno_of(open_input_file(session(), kGuardScriptName, true)), EPERM);
    EXPECT_EQ(errno_of(open_guard_files(session())), EPERM);
    EXPECT_EQ(open_descriptor_count(), before);
}

TEST_F(InputFiles, GuardFilesAreNodeThenScriptBothAsExecutables) {
    put_executable(kNodeExecutableName);
    put_executable(kGuardScriptName);
    auto guard = open_guard_files(session());
    ASSERT_TRUE(guard.has_value()) << guard.error().os_errno;
    EXPECT_EQ(guard->node.path, dir.file(kNodeExecutableName));
    EXPECT_EQ(guard->script.path, dir.file(kGuardScriptName));
    EXPECT_TRUE(guard->node.executable);
    EXPECT_TRUE(guard->script.executable);
    EXPECT_NE(guard->node.fd.get(), guard->script.fd.get());
}

TEST_F(InputFiles, GuardFilesReportTheFirstFailureInOpeningOrder) {
    // "node" missing, script broken: the missing node is what is reported.
    put_executable(kGuardScriptName, 0750);
    EXPECT_EQ(errno_of(open_guard_files(session())), ENOENT);
    // "node" broken, script missing.
    ::unlink(dir.file(kGuardScriptName).c_str());
    put_executable(kNodeExecutableName, 0750);
    EXPECT_EQ(errno_of(open_guard_files(session())), EPERM);
}

class BoundExecutable : public InputFiles {
protected:
    void SetUp() override {
        InputFiles::SetUp();
        if (IsSkipped()) return;
        put_executable(kCoreExecutableName);
        auto opened = open_input_file(session(), kCoreExecutableName, true);
        ASSERT_TRUE(opened.has_value());
        file = std::move(*opened);
        command = scrubbed_command(descriptor_path(file.fd.get()));
        command.argv.push_back("run");
    }
    [[nodiscard]] std::string path() const { return dir.file(kCoreExecutableName); }
    ValidatedFile file;
    ChildCommand command;
};

TEST_F(BoundExecutable, TakesThePathAsArgvZeroAndAddsInheritThenRevalidation) {
    ASSERT_TRUE(bind_executable(file, command).has_value());
    EXPECT_EQ(command.program, descriptor_path(file.fd.get()));
    EXPECT_EQ(command.argv, (std::vector<std::string>{path(), "run"}));
    ASSERT_EQ(command.hooks.size(), 2U);
    const PreExecHook inherit = inherit_hook(file.fd.get());
    const PreExecHook revalidation = revalidation_hook(file.fd.get(), kRoot, true);
    EXPECT_EQ(command.hooks[0].run, inherit.run);
    EXPECT_EQ(command.hooks[0].fd, file.fd.get());
    EXPECT_EQ(command.hooks[1].run, revalidation.run);
    EXPECT_EQ(command.hooks[1].fd, file.fd.get());
    EXPECT_EQ(command.hooks[1].values, revalidation.values);
}

TEST_F(BoundExecutable, RefusesACommandForAnotherProgramAndLeavesItUnchanged) {
    for (const std::string& program :
         {descriptor_path(file.fd.get() + 1), path(), descriptor_path(file.fd.get()) + "/"}) {
        ChildCommand other = scrubbed_command(program);
        const ChildCommand before = other;
        EXPECT_EQ(errno_of(bind_executable(file, other)), EPERM) << program;
        EXPECT_EQ(other.program, before.program);
        EXPECT_EQ(other.argv, before.argv);
        EXPECT_TRUE(other.hooks.empty());
    }
}

struct Change {
    const char* what;
    std::function<void(const ScratchDir&, const std::string& path)> apply;
};

// What may happen to an executable between two of its checks; each one must make the next
// check refuse it.
const Change kChangesAfterOpening[] = {
    {"group bits added", [](const ScratchDir&, const std::string& p) { ASSERT_EQ(::chmod(p.c_str(), 0750), 0); }},
    {"owner execute removed", [](const ScratchDir&, const std::string& p) { ASSERT_EQ(::chmod(p.c_str(), 0600), 0); }},
    {"given to another user",
     [](const ScratchDir&, const std::string& p) { ASSERT_EQ(::chown(p.c_str(), kNobodyUid, kNobodyUid), 0); }},
    {"second hard link",
     [](const ScratchDir& d, const std::string& p) { ASSERT_EQ(::link(p.c_str(), d.file("second").c_str()), 0); }},
    {"name removed", [](const ScratchDir&, const std::string& p) { ASSERT_EQ(::unlink(p.c_str()), 0); }},
    {"capabilities added", [](const ScratchDir&, const std::string& p) { add_capability(p); }},
};

// A valid core executable written into `dir` and opened as a run opens it.
Result<ValidatedFile> open_fresh_core(const ScratchDir& dir) {
    write_file(dir.file(kCoreExecutableName), kProgramText, kExecutableMode);
    return open_input_file(Session{dir.path(), std::string(64, 'a'), kRoot}, kCoreExecutableName, true);
}

TEST_F(InputFiles, BindingRefusesAnExecutableChangedSinceItWasOpened) {
    for (const Change& change : kChangesAfterOpening) {
        SCOPED_TRACE(change.what);
        ScratchDir case_dir;
        const std::string path = case_dir.file(kCoreExecutableName);
        auto opened = open_fresh_core(case_dir);
        ASSERT_TRUE(opened.has_value());
        ChildCommand command = scrubbed_command(descriptor_path(opened->fd.get()));
        change.apply(case_dir, path);
        if (HasFatalFailure()) return;
        EXPECT_EQ(errno_of(bind_executable(*opened, command)), EPERM);
        EXPECT_EQ(command.argv.front(), command.program);
        EXPECT_TRUE(command.hooks.empty());
    }
}

TEST_F(BoundExecutable, FileMovedAsideAndReplacedStillRunsTheOpenedOne) {
    ASSERT_EQ(::rename(path().c_str(), dir.file("moved").c_str()), 0);
    write_file(path(), "#!/bin/sh\nexit 1\n", 0700);
    ASSERT_TRUE(bind_executable(file, command).has_value());
    EXPECT_EQ(testing::read_file(command.program), kProgramText);
}

TEST_F(InputFiles, RevalidationInTheChildRefusesAFileChangedAfterBinding) {
    for (const Change& change : kChangesAfterOpening) {
        SCOPED_TRACE(change.what);
        ScratchDir case_dir;
        const std::string path = case_dir.file(kCoreExecutableName);
        auto opened = open_fresh_core(case_dir);
        ASSERT_TRUE(opened.has_value());
        ChildCommand command = scrubbed_command(descriptor_path(opened->fd.get()));
        ASSERT_TRUE(bind_executable(*opened, command).has_value());
        EXPECT_EQ(run_forked([&] { return run_hooks(command); }), 0);

        change.apply(case_dir, path);
        if (HasFatalFailure()) return;
        EXPECT_EQ(run_forked([&] { return run_hooks(command); }), EPERM);
    }
}

TEST_F(BoundExecutable, InheritHookClearsCloseOnExecInTheChildOnly) {
    ASSERT_TRUE(bind_executable(file, command).has_value());
    const int fd = file.fd.get();
    const int code = run_forked([&] {
        if (const int failed = run_hooks(command); failed != 0) return failed;
        const int flags = ::fcntl(fd, F_GETFD);
        return flags == 0 ? 0 : 99;
    });
    EXPECT_EQ(code, 0);
    EXPECT_EQ(::fcntl(fd, F_GETFD), FD_CLOEXEC);
}

TEST_F(BoundExecutable, HooksReportTheErrnoOfAClosedDescriptor) {
    ASSERT_TRUE(bind_executable(file, command).has_value());
    const int code = run_forked([&] {
        ::close(file.fd.get());
        return run_hooks(command);
    });
    EXPECT_EQ(code, EBADF);
    const PreExecHook revalidation = revalidation_hook(file.fd.get(), kRoot, true);
    EXPECT_EQ(run_forked([&] {
                  ::close(file.fd.get());
                  return revalidation.run(revalidation);
              }),
              EBADF);
}

}  // namespace
}  // namespace quillmere
