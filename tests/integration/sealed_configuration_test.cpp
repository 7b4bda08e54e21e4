#include "children/sealed_configuration.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "linux/syscalls.hpp"
#include "support/scratch.hpp"

// Fault injection for the copy: this binary's own pread stands in front of the C library's, so
// a test can make a read come back empty or interrupted, and can count the reads made.
namespace {
enum class PreadFault { none, end_of_file, interrupted };
std::atomic<PreadFault> pread_fault{PreadFault::none};
std::atomic<int> pread_calls{0};

ssize_t injected_pread(int fd, void* buffer, size_t count, off_t offset) {
    ++pread_calls;
    switch (pread_fault.load()) {
    case PreadFault::end_of_file: return 0;
    case PreadFault::interrupted: errno = EINTR; return -1;
    case PreadFault::none: break;
    }
    return ::syscall(SYS_pread64, fd, buffer, count, offset);
}
}  // namespace

extern "C" ssize_t pread(int fd, void* buffer, size_t count, off_t offset) {
    return injected_pread(fd, buffer, count, offset);
}
extern "C" ssize_t pread64(int fd, void* buffer, size_t count, off_t offset) {
    return injected_pread(fd, buffer, count, offset);
}
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): glibc's fortified pread
extern "C" ssize_t __pread_chk(int fd, void* buffer, size_t count, off_t offset, size_t) {
    return injected_pread(fd, buffer, count, offset);
}

namespace quillmere {
namespace {

using testing::ScratchDir;

class SealedConfiguration : public ::testing::Test {
protected:
    void SetUp() override {
        pread_fault = PreadFault::none;
        pread_calls = 0;
    }
    void TearDown() override { pread_fault = PreadFault::none; }

    // "tun.json" as the parent leaves it: owned by the directory's owner, mode 0600, one link.
    UniqueFd source(const std::string& content, mode_t mode = 0600) {
        const std::string path = dir_.file("tun.json");
        testing::write_file(path, content, mode);
        return UniqueFd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
    }

    ScratchDir dir_;
    const uid_t owner_ = ::geteuid();
};

std::string pattern(std::size_t size) {
    std::string content(size, '\0');
    for (std::size_t i = 0; i < size; ++i) content[i] = static_cast<char>((i * 131 + i / 8192) & 0xff);
    return content;
}

std::string content_of(int fd, std::size_t size) {
    std::string content(size + 1, '\0');
    const ssize_t n = ::syscall(SYS_pread64, fd, content.data(), content.size(), 0);
    content.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
    return content;
}

int open_descriptor_count() {
    int count = 0;
    DIR* dir = ::opendir("/proc/self/fd");
    while (const dirent* entry = ::readdir(dir))
        if (entry->d_name[0] != '.') ++count;
    ::closedir(dir);
    return count;
}

TEST_F(SealedConfiguration, CopiesAFileOfExactlyTheLimitAndLeavesTheOffsetAtItsEnd) {
    const std::string content = pattern(kSealedConfigurationMaxBytes);
    UniqueFd tun = source(content);
    ASSERT_TRUE(tun.valid());
    auto sealed = seal_configuration(tun.get(), owner_);
    ASSERT_TRUE(sealed.has_value()) << sealed.error().os_errno;

    EXPECT_TRUE(verify_sealed(sealed->get()).has_value());
    EXPECT_EQ(content_of(sealed->get(), content.size()), content);
    EXPECT_EQ(::lseek(sealed->get(), 0, SEEK_CUR), static_cast<off_t>(content.size()));
    EXPECT_EQ(::lseek(tun.get(), 0, SEEK_CUR), 0) << "the source's own offset moved";
    EXPECT_NE(::fcntl(sealed->get(), F_GETFD) & FD_CLOEXEC, 0);
    char target[256] = {};
    ASSERT_GT(::readlink(("/proc/self/fd/" + std::to_string(sealed->get())).c_str(), target, sizeof target - 1), 0);
    EXPECT_STREQ(target, "/memfd:quillmere-vpn-config (deleted)");
}

TEST_F(SealedConfiguration, EachChildDescriptorIsReadOnlyAndStartsAtTheBeginningOnItsOwnOffset) {
    UniqueFd tun = source("{\"inbounds\":[]}\n");
    auto sealed = seal_configuration(tun.get(), owner_);
    ASSERT_TRUE(sealed.has_value());
    auto first = open_sealed_for_child(sealed->get());
    auto second = open_sealed_for_child(sealed->get());
    ASSERT_TRUE(first.has_value() && second.has_value());
    char buffer[64];
    EXPECT_EQ(::read(first->get(), buffer, sizeof buffer), 16);
    EXPECT_EQ(::lseek(second->get(), 0, SEEK_CUR), 0) << "the two share an offset";
    EXPECT_EQ(::lseek(sealed->get(), 0, SEEK_CUR), 16);
    EXPECT_EQ(::fcntl(second->get(), F_GETFL) & O_ACCMODE, O_RDONLY);
    EXPECT_NE(::fcntl(second->get(), F_GETFD) & FD_CLOEXEC, 0);

    UniqueFd unsealed(raw_memfd_create("unsealed", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    ASSERT_EQ(::write(unsealed.get(), "{}", 2), 2);
    const auto refused = open_sealed_for_child(unsealed.get());
    ASSERT_FALSE(refused.has_value());
    EXPECT_TRUE(refused.error().is_os_error(EPERM));
}

TEST_F(SealedConfiguration, RefusesAFileThatSomeoneHoldsOpenForWriting) {
    UniqueFd tun = source("{\"inbounds\":[]}\n");
    {
        // Kept from a moment when the file could be opened for writing: the bytes could change
        // under the copy, so there is none.
        const UniqueFd writer(::open(dir_.file("tun.json").c_str(), O_WRONLY | O_CLOEXEC));
        ASSERT_TRUE(writer.valid());
        auto sealed = seal_configuration(tun.get(), owner_);
        ASSERT_FALSE(sealed.has_value());
        EXPECT_TRUE(sealed.error().is_os_error(EAGAIN)) << sealed.error().os_errno;
    }
    EXPECT_TRUE(seal_configuration(tun.get(), owner_).has_value());
    // A lease still held would make a writer's non-blocking open fail with EWOULDBLOCK.
    EXPECT_TRUE(UniqueFd(::open(dir_.file("tun.json").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)).valid())
        << "the lease was not given back: " << errno;
}

TEST_F(SealedConfiguration, RefusesOneByteOverTheLimitAsSoonAsItShows) {
    UniqueFd tun = source(pattern(kSealedConfigurationMaxBytes + 1));
    const int before = open_descriptor_count();
    auto sealed = seal_configuration(tun.get(), owner_);
    ASSERT_FALSE(sealed.has_value());
    EXPECT_TRUE(sealed.error().is_os_error(EFBIG));
    // 512 full chunks, then the read that passes the limit, and no read after it.
    EXPECT_EQ(pread_calls.load(), 513);
    EXPECT_EQ(open_descriptor_count(), before) << "the memory file was not closed";
}

TEST_F(SealedConfiguration, RefusesEveryChangeOnceSealed) {
    UniqueFd tun = source("{\"inbounds\":[]}\n");
    auto sealed = seal_configuration(tun.get(), owner_);
    ASSERT_TRUE(sealed.has_value());
    const int fd = sealed->get();

    EXPECT_EQ(::write(fd, "x", 1), -1);
    EXPECT_EQ(errno, EPERM);
    EXPECT_EQ(::pwrite(fd, "x", 1, 0), -1);
    EXPECT_EQ(errno, EPERM);
    EXPECT_EQ(::ftruncate(fd, 1 << 20), -1);
    EXPECT_EQ(errno, EPERM);
    EXPECT_EQ(::ftruncate(fd, 1), -1);
    EXPECT_EQ(errno, EPERM);
    EXPECT_EQ(::fallocate(fd, 0, 0, 1 << 20), -1);
    EXPECT_EQ(errno, EPERM);
    EXPECT_EQ(::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0), MAP_FAILED);
    EXPECT_EQ(errno, EPERM);
    EXPECT_EQ(::fcntl(fd, F_ADD_SEALS, F_SEAL_FUTURE_WRITE), -1);
    EXPECT_EQ(errno, EPERM);
    EXPECT_EQ(content_of(fd, 64), "{\"inbounds\":[]}\n");
}

TEST_F(SealedConfiguration, RefusesASourceThatNoLongerMeetsTheFileRules) {
    struct Case {
        const char* change;
        std::function<void(const std::string& path)> apply;
    };
    std::vector<Case> cases = {
        {"mode 0640", [](const std::string& path) { ASSERT_EQ(::chmod(path.c_str(), 0640), 0); }},
        {"set-user-id", [](const std::string& path) { ASSERT_EQ(::chmod(path.c_str(), 04600), 0); }},
        {"second link",
         [&](const std::string& path) { ASSERT_EQ(::link(path.c_str(), dir_.file("elsewhere").c_str()), 0); }},
        {"emptied", [](const std::string& path) { ASSERT_EQ(::truncate(path.c_str(), 0), 0); }},
    };
    if (testing::running_as_root()) {
        cases.push_back({"other owner", [](const std::string& path) {
                             ASSERT_EQ(::chown(path.c_str(), testing::kNobodyUid, testing::kNobodyGid), 0);
                         }});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.change);
        ::unlink(dir_.file("elsewhere").c_str());
        UniqueFd tun = source("{}");
        c.apply(dir_.file("tun.json"));
        auto sealed = seal_configuration(tun.get(), owner_);
        ASSERT_FALSE(sealed.has_value());
        EXPECT_TRUE(sealed.error().is_os_error(EPERM));
        EXPECT_EQ(pread_calls.load(), 0) << "read before the rules were checked";
    }
}

TEST_F(SealedConfiguration, RefusesASourceThatReadsEmptyAtCopyTime) {
    UniqueFd tun = source("{}");
    pread_fault = PreadFault::end_of_file;
    auto sealed = seal_configuration(tun.get(), owner_);
    ASSERT_FALSE(sealed.has_value());
    EXPECT_TRUE(sealed.error().is_os_error(EINVAL));
}

TEST_F(SealedConfiguration, AnInterruptedReadFailsTheCopyWithoutARetry) {
    UniqueFd tun = source("{}");
    pread_fault = PreadFault::interrupted;
    auto sealed = seal_configuration(tun.get(), owner_);
    ASSERT_FALSE(sealed.has_value());
    EXPECT_TRUE(sealed.error().is_os_error(EINTR));
    EXPECT_EQ(pread_calls.load(), 1);
}

UniqueFd memory_file(std::size_t size, int seals) {
    UniqueFd fd(raw_memfd_create("test", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    if (size > 0) {
        const std::string content(size, 'x');
        if (::write(fd.get(), content.data(), size) != static_cast<ssize_t>(size)) return UniqueFd();
    }
    if (seals != 0 && ::fcntl(fd.get(), F_ADD_SEALS, seals) != 0) return UniqueFd();
    return fd;
}

TEST_F(SealedConfiguration, VerifyRefusesWhatIsNotAFullySealedConfiguration) {
    constexpr int kAll = F_SEAL_SEAL | F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE;
    struct Case {
        const char* what;
        std::size_t size;
        int seals;
        int expected;
    };
    const Case cases[] = {
        {"unsealed", 16, 0, EPERM},
        {"all but the seal seal", 16, kAll & ~F_SEAL_SEAL, EPERM},
        {"all but the write seal", 16, kAll & ~F_SEAL_WRITE, EPERM},
        {"all but the grow seal", 16, kAll & ~F_SEAL_GROW, EPERM},
        {"all but the shrink seal", 16, kAll & ~F_SEAL_SHRINK, EPERM},
        {"empty", 0, kAll, EINVAL},
        {"over the limit", kSealedConfigurationMaxBytes + 1, kAll, EINVAL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        UniqueFd fd = memory_file(c.size, c.seals);
        ASSERT_TRUE(fd.valid());
        auto verified = verify_sealed(fd.get());
        ASSERT_FALSE(verified.has_value());
        EXPECT_TRUE(verified.error().is_os_error(c.expected)) << verified.error().os_errno;
    }
    UniqueFd exactly_the_limit = memory_file(kSealedConfigurationMaxBytes, kAll);
    EXPECT_TRUE(verify_sealed(exactly_the_limit.get()).has_value());
}

TEST_F(SealedConfiguration, VerifyRefusesARegularFileAndAPipe) {
    UniqueFd tun = source("{}");
    auto file = verify_sealed(tun.get());
    ASSERT_FALSE(file.has_value());
    // A file system without sealing refuses F_GET_SEALS (EINVAL); tmpfs reports only the seal
    // seal (EPERM). Either way the file is not taken for a sealed configuration.
    EXPECT_TRUE(file.error().is_os_error(EINVAL) || file.error().is_os_error(EPERM)) << file.error().os_errno;

    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    auto pipe = verify_sealed(ends[0]);
    ::close(ends[0]);
    ::close(ends[1]);
    ASSERT_FALSE(pipe.has_value());
    EXPECT_TRUE(pipe.error().is_os_error(EINVAL));
}

}  // namespace
}  // namespace quillmere
