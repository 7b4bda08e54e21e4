// Session loading against real directories. Modes and owners are set as root, so every test
// here needs root; the loads themselves run as root too unless a test says otherwise.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstdlib>

#include "session/session.hpp"
#include "support/scratch.hpp"
#include "support/session_directory.hpp"

namespace quillmere {
namespace {

using testing::kNobodyUid;
using testing::kTestNonce;

std::string octal(mode_t mode) {
    char text[16];
    (void)std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode));
    return text;
}

std::string canonical(const std::string& path) {
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) == nullptr) return {};
    return resolved;
}

class LoadSessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testing::running_as_root()) GTEST_SKIP() << "needs root to set owners";
        directory_ = testing::make_session_directory(scratch_.path());
    }

    [[nodiscard]] std::string session_file() const { return directory_ + "/supervisor.json"; }

    static void expect_refused(const Result<Session>& session, const std::string& what) {
        ASSERT_FALSE(session.has_value()) << what;
        EXPECT_EQ(session.error(), kSessionValidationFailed) << what;
    }

    testing::ScratchDir scratch_;
    std::string directory_;
};

TEST_F(LoadSessionTest, AcceptsAPrivateDirectoryWithTrailingSlashesAndDotsAlike) {
    for (const std::string suffix : {"", "/", "//", "/.", "/./"}) {
        const Result<Session> session = load_session(directory_ + suffix);
        ASSERT_TRUE(session.has_value()) << suffix;
        EXPECT_EQ(session->state_dir, canonical(directory_));
        EXPECT_EQ(session->parent_nonce, kTestNonce);
        EXPECT_EQ(session->owner_uid, 0U);
    }
}

TEST_F(LoadSessionTest, DirectoryMustHaveNoGroupOrOtherBits) {
    for (const mode_t mode : {0700, 0500, 0750, 0711, 0701, 0770, 0707, 0755}) {
        ASSERT_EQ(::chmod(directory_.c_str(), mode), 0);
        const Result<Session> session = load_session(directory_);
        if ((mode & 077) == 0) {
            EXPECT_TRUE(session.has_value()) << octal(mode);
        } else {
            expect_refused(session, "directory mode " + octal(mode));
        }
    }
}

TEST_F(LoadSessionTest, SessionFileMustHaveNoGroupOrOtherBits) {
    for (const mode_t mode : {0600, 0400, 0640, 0604, 0620, 0602, 0644}) {
        ASSERT_EQ(::chmod(session_file().c_str(), mode), 0);
        const Result<Session> session = load_session(directory_);
        if ((mode & 077) == 0) {
            EXPECT_TRUE(session.has_value()) << octal(mode);
        } else {
            expect_refused(session, "file mode " + octal(mode));
        }
    }
}

TEST_F(LoadSessionTest, SessionFileSizeLimit) {
    std::string content = testing::session_file_content();
    content.resize(4096, ' ');
    testing::write_file(session_file(), content, 0600);
    EXPECT_TRUE(load_session(directory_).has_value());
    content.push_back(' ');
    testing::write_file(session_file(), content, 0600);
    expect_refused(load_session(directory_), "4097 bytes");
}

TEST_F(LoadSessionTest, MalformedSessionFileIsRefused) {
    testing::write_file(session_file(), "{\"format\":2,\"parent_nonce\":\"" + std::string(kTestNonce) + "\"}", 0600);
    expect_refused(load_session(directory_), "format 2");
}

TEST_F(LoadSessionTest, SymlinkedSessionFileIsRefusedEvenIfItsTargetIsGood) {
    const std::string target = directory_ + "/good.json";
    ASSERT_EQ(::rename(session_file().c_str(), target.c_str()), 0);
    ASSERT_EQ(::symlink("good.json", session_file().c_str()), 0);
    expect_refused(load_session(directory_), "symlinked session file");
}

TEST_F(LoadSessionTest, SessionFileThatIsNotARegularFileIsRefused) {
    ASSERT_EQ(::unlink(session_file().c_str()), 0);
    ASSERT_EQ(::mkdir(session_file().c_str(), 0700), 0);
    expect_refused(load_session(directory_), "directory");
    ASSERT_EQ(::rmdir(session_file().c_str()), 0);
    ASSERT_EQ(::mkfifo(session_file().c_str(), 0600), 0);
    expect_refused(load_session(directory_), "fifo");
}

TEST_F(LoadSessionTest, SymlinkedStateDirectoryIsRefusedWithOrWithoutTrailingSlash) {
    const std::string link = scratch_.file("quillmere-vpn-link");
    ASSERT_EQ(::symlink(directory_.c_str(), link.c_str()), 0);
    expect_refused(load_session(link), "link");
    // With a trailing slash or dot, path resolution would look through the link; the loader
    // examines the entry itself all the same.
    expect_refused(load_session(link + "/"), "link/");
    expect_refused(load_session(link + "/."), "link/.");
}

TEST_F(LoadSessionTest, StateDirectoryThatIsNotADirectoryIsRefused) {
    const std::string file = scratch_.file("quillmere-vpn-file");
    testing::write_file(file, testing::session_file_content(), 0600);
    expect_refused(load_session(file), "regular file");
}

TEST_F(LoadSessionTest, SessionFileMustBelongToTheDirectoryOwner) {
    ASSERT_EQ(::chown(directory_.c_str(), kNobodyUid, kNobodyUid), 0);
    expect_refused(load_session(directory_), "root's file in nobody's directory");
    ASSERT_EQ(::chown(session_file().c_str(), kNobodyUid, kNobodyUid), 0);
    const Result<Session> session = load_session(directory_);
    ASSERT_TRUE(session.has_value());
    EXPECT_EQ(session->owner_uid, kNobodyUid);
}

TEST_F(LoadSessionTest, AnUnprivilegedOwnerCanLoadItsOwnSession) {
    ASSERT_EQ(::chmod(scratch_.path().c_str(), 0711), 0);
    ASSERT_EQ(::chown(directory_.c_str(), kNobodyUid, kNobodyUid), 0);
    ASSERT_EQ(::chown(session_file().c_str(), kNobodyUid, kNobodyUid), 0);
    const std::string directory = directory_;
    EXPECT_EQ(testing::run_as_nobody([&directory] {
                  const Result<Session> session = load_session(directory);
                  return session.has_value() && session->owner_uid == kNobodyUid;
              }),
              0);
}

TEST_F(LoadSessionTest, MissingPiecesGiveTheSystemError) {
    ASSERT_EQ(::unlink(session_file().c_str()), 0);
    Result<Session> session = load_session(directory_);
    ASSERT_FALSE(session.has_value());
    EXPECT_TRUE(session.error().is_os_error(ENOENT));
    EXPECT_EQ(session.error().kind, ErrorKind::not_found);

    session = load_session(scratch_.file("quillmere-vpn-absent"));
    ASSERT_FALSE(session.has_value());
    EXPECT_TRUE(session.error().is_os_error(ENOENT));
}

TEST_F(LoadSessionTest, ReturnsTheCanonicalPathThroughASymlinkedParent) {
    const std::string real_parent = scratch_.file("real");
    ASSERT_EQ(::mkdir(real_parent.c_str(), 0700), 0);
    const std::string directory = testing::make_session_directory(real_parent, "quillmere-vpn-Deep2");
    const std::string via = scratch_.file("via");
    ASSERT_EQ(::symlink("real", via.c_str()), 0);

    for (const std::string& argument : {via + "/quillmere-vpn-Deep2", real_parent + "/../via/./quillmere-vpn-Deep2/"}) {
        const Result<Session> session = load_session(argument);
        ASSERT_TRUE(session.has_value()) << argument;
        EXPECT_EQ(session->state_dir, canonical(directory)) << argument;
        EXPECT_EQ(session->state_dir.find("/via/"), std::string::npos);
    }
}

TEST_F(LoadSessionTest, LeavesTheDirectoryAsItWas) {
    const std::string before = testing::read_file(session_file());
    ASSERT_TRUE(load_session(directory_).has_value());
    EXPECT_EQ(testing::read_file(session_file()), before);
    EXPECT_EQ(testing::file_mode(session_file()), 0600U);
    EXPECT_EQ(testing::directory_entries(directory_), std::vector<std::string>{"supervisor.json"});
}

}  // namespace
}  // namespace quillmere
