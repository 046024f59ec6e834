#include "platform/AtomicFile.h"

#include "support/RunAsUser.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

namespace zentrix {
namespace {

namespace fs = std::filesystem;

using zentrix::testing::GiveToOrdinaryUser;
using zentrix::testing::OrdinaryUserId;
using zentrix::testing::RunAsUser;
using zentrix::testing::TempDir;

std::string ReadBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::string> Entries(const fs::path& directory) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

struct stat StatOf(const fs::path& path) {
    struct stat info {};
    EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
    return info;
}

// A directory that the ordinary user owns, with a file in it that the ordinary user owns too.
class AtomicFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = m_temp.Path() / "dir";
        fs::create_directory(m_dir);
        ASSERT_TRUE(GiveToOrdinaryUser(m_temp.Path()));
        ASSERT_TRUE(GiveToOrdinaryUser(m_dir));
    }
    void TearDown() override { ::chmod(m_dir.c_str(), 0700); }

    fs::path OwnedFile(const std::string& name, const std::string& bytes, mode_t mode) const {
        const fs::path file = m_temp.Write("dir/" + name, bytes);
        EXPECT_TRUE(GiveToOrdinaryUser(file));
        EXPECT_EQ(::chmod(file.c_str(), mode), 0);
        return file;
    }

    TempDir m_temp;
    fs::path m_dir;
};

TEST_F(AtomicFileTest, ReplacesTheFileThroughANewFileAndLeavesNothingElse) {
    const fs::path file = OwnedFile("data.txt", "old content", 0644);
    const ino_t oldInode = StatOf(file).st_ino;

    EXPECT_EQ(RunAsUser([&] { return WriteFileAtomically(file, "new", 0600); }), true);

    EXPECT_EQ(ReadBytes(file), "new");
    EXPECT_NE(StatOf(file).st_ino, oldInode);
    EXPECT_EQ(Entries(m_dir), std::vector<std::string>{"data.txt"});
}

TEST_F(AtomicFileTest, ReadOnlyFileInWritableDirectoryIsRefused) {
    const fs::path file = OwnedFile("data.txt", "old content", 0444);

    EXPECT_EQ(RunAsUser([&] { return WriteFileAtomically(file, "new", 0600); }), false);

    EXPECT_EQ(ReadBytes(file), "old content");
    EXPECT_EQ(StatOf(file).st_mode & 07777, 0444u);
    EXPECT_EQ(Entries(m_dir), std::vector<std::string>{"data.txt"});
}

TEST_F(AtomicFileTest, WritableFileInReadOnlyDirectoryIsWrittenInPlace) {
    const fs::path file = OwnedFile("data.txt", "a longer old content than the new one", 0640);
    const ino_t oldInode = StatOf(file).st_ino;
    ASSERT_EQ(::chmod(m_dir.c_str(), 0500), 0);

    EXPECT_EQ(RunAsUser([&] { return WriteFileAtomically(file, "new", 0600); }), true);

    EXPECT_EQ(ReadBytes(file), "new");
    EXPECT_EQ(StatOf(file).st_ino, oldInode);
    EXPECT_EQ(StatOf(file).st_mode & 07777, 0640u);
    EXPECT_EQ(Entries(m_dir), std::vector<std::string>{"data.txt"});

    EXPECT_EQ(RunAsUser([&] { return WriteFileAtomically(file, "grown to more bytes", 0600); }),
              true);
    EXPECT_EQ(ReadBytes(file), "grown to more bytes");
}

TEST_F(AtomicFileTest, FailedWriteInPlacePutsTheOldContentBack) {
    const fs::path file = OwnedFile("data.txt", "old content", 0644);
    ASSERT_EQ(::chmod(m_dir.c_str(), 0500), 0);

    EXPECT_EQ(RunAsUser([&] {
                  // Lets a write fail part way, the way a full disk would.
                  ::signal(SIGXFSZ, SIG_IGN);
                  const rlimit limit{16, 16};
                  return ::setrlimit(RLIMIT_FSIZE, &limit) == 0 &&
                         WriteFileAtomically(file, std::string(64, 'x'), 0600);
              }),
              false);

    EXPECT_EQ(ReadBytes(file), "old content");
}

TEST_F(AtomicFileTest, FileThatCannotBeRenamedOverIsWrittenInPlace) {
    const fs::path sticky = m_temp.Path() / "sticky";
    fs::create_directory(sticky);
    ASSERT_EQ(::chmod(sticky.c_str(), 01777), 0);
    const fs::path file = m_temp.Write("sticky/data.txt", "old content");
    ASSERT_EQ(::chmod(file.c_str(), 0666), 0);

    EXPECT_EQ(RunAsUser([&] { return WriteFileAtomically(file, "new", 0600); }), true);

    EXPECT_EQ(ReadBytes(file), "new");
    EXPECT_EQ(Entries(sticky), std::vector<std::string>{"data.txt"});
}

TEST_F(AtomicFileTest, ReadOnlyFileInReadOnlyDirectoryIsRefused) {
    const fs::path file = OwnedFile("data.txt", "old content", 0444);
    ASSERT_EQ(::chmod(m_dir.c_str(), 0500), 0);

    EXPECT_EQ(RunAsUser([&] { return WriteFileAtomically(file, "new", 0600); }), false);

    EXPECT_EQ(ReadBytes(file), "old content");
}

TEST_F(AtomicFileTest, KeepsModeAndOwnerOfTheReplacedFile) {
    const fs::path file = OwnedFile("data.txt", "old", 06640);

    ASSERT_TRUE(WriteFileAtomically(file, "new", 0600));

    const struct stat info = StatOf(file);
    EXPECT_EQ(ReadBytes(file), "new");
    EXPECT_EQ(info.st_mode & 07777, 06640u);
    EXPECT_EQ(info.st_uid, OrdinaryUserId());
}

TEST_F(AtomicFileTest, NewFileGetsTheRequestedModeLessTheUmask) {
    const mode_t oldMask = ::umask(022);
    const bool written = WriteFileAtomically(m_dir / "new.txt", "content", 0666);
    ::umask(oldMask);

    ASSERT_TRUE(written);
    EXPECT_EQ(ReadBytes(m_dir / "new.txt"), "content");
    EXPECT_EQ(StatOf(m_dir / "new.txt").st_mode & 07777, 0644u);
}

TEST_F(AtomicFileTest, LinksStayLinksAndTheFileTheyNameIsWritten) {
    const fs::path real = OwnedFile("real.txt", "old", 0640);
    fs::create_directory(m_dir / "links");
    fs::create_symlink("../real.txt", m_dir / "links" / "first");
    fs::create_symlink(m_dir / "links" / "first", m_dir / "second");

    EXPECT_EQ(RunAsUser([&] { return WriteFileAtomically(m_dir / "second", "new", 0600); }), true);

    EXPECT_TRUE(fs::is_symlink(m_dir / "second"));
    EXPECT_TRUE(fs::is_symlink(m_dir / "links" / "first"));
    EXPECT_EQ(ReadBytes(real), "new");
    EXPECT_EQ(StatOf(real).st_mode & 07777, 0640u);
    EXPECT_EQ(Entries(m_dir), (std::vector<std::string>{"links", "real.txt", "second"}));
}

TEST_F(AtomicFileTest, DanglingLinkCreatesTheFileItNames) {
    fs::create_symlink("target.txt", m_dir / "link");

    ASSERT_TRUE(WriteFileAtomically(m_dir / "link", "content", 0600));

    EXPECT_TRUE(fs::is_symlink(m_dir / "link"));
    EXPECT_EQ(ReadBytes(m_dir / "target.txt"), "content");
}

TEST_F(AtomicFileTest, MissingDirectoriesAndNonFilesAreRefused) {
    EXPECT_FALSE(WriteFileAtomically(m_dir / "missing" / "data.txt", "x", 0600));
    EXPECT_FALSE(fs::exists(m_dir / "missing"));

    fs::create_directory(m_dir / "occupied");
    EXPECT_FALSE(WriteFileAtomically(m_dir / "occupied", "x", 0600));
    EXPECT_TRUE(fs::is_directory(m_dir / "occupied"));

    const fs::path file = OwnedFile("file.txt", "old", 0644);
    EXPECT_FALSE(WriteFileAtomically(file / "data.txt", "x", 0600));
    EXPECT_EQ(ReadBytes(file), "old");

    fs::create_symlink("loop", m_dir / "loop");
    EXPECT_FALSE(WriteFileAtomically(m_dir / "loop", "x", 0600));
    EXPECT_TRUE(fs::is_symlink(m_dir / "loop"));

    EXPECT_FALSE(WriteFileAtomically("", "x", 0600));
    EXPECT_EQ(Entries(m_dir), (std::vector<std::string>{"file.txt", "loop", "occupied"}));
}

// Runs the write as the ordinary user and tells whether it failed for the expected reason.
bool FailsWith(const std::function<bool(std::error_code&)>& write, std::error_code expected) {
    return RunAsUser([&] {
               std::error_code error;
               return !write(error) && error == expected;
           }) == true;
}

TEST_F(AtomicFileTest, EveryRefusalSaysWhyAndLeavesNoTemporaryFile) {
    const fs::path file = OwnedFile("file.txt", "old", 0644);
    fs::create_directory(m_dir / "occupied");
    ASSERT_EQ(::mkfifo((m_dir / "fifo").c_str(), 0644), 0);
    ASSERT_TRUE(GiveToOrdinaryUser(m_dir / "fifo"));
    fs::create_symlink("loop", m_dir / "loop");
    const fs::path readOnly = OwnedFile("read-only.txt", "old", 0444);
    const auto write = [](const fs::path& path) {
        return [path](std::error_code& error) {
            return WriteFileAtomically(path, "new", 0600, error);
        };
    };

    EXPECT_TRUE(FailsWith(write(m_dir / "missing" / "data.txt"),
                          std::make_error_code(std::errc::no_such_file_or_directory)));
    EXPECT_TRUE(
        FailsWith(write(m_dir / "occupied"), std::make_error_code(std::errc::is_a_directory)));
    EXPECT_TRUE(
        FailsWith(write(file / "data.txt"), std::make_error_code(std::errc::not_a_directory)));
    EXPECT_TRUE(FailsWith(write(m_dir / "fifo"), AtomicFileError::NotARegularFile));
    EXPECT_TRUE(FailsWith(write(m_dir / "loop"),
                          std::make_error_code(std::errc::too_many_symbolic_link_levels)));
    EXPECT_TRUE(FailsWith(write(readOnly), std::make_error_code(std::errc::permission_denied)));
    EXPECT_TRUE(FailsWith(write(""), std::make_error_code(std::errc::no_such_file_or_directory)));
    EXPECT_EQ(std::error_code(AtomicFileError::NotARegularFile).message(), "not a regular file");

    ASSERT_EQ(::chmod(m_dir.c_str(), 0500), 0);
    EXPECT_TRUE(
        FailsWith(write(m_dir / "new.txt"), std::make_error_code(std::errc::permission_denied)));
    ASSERT_EQ(::chmod(m_dir.c_str(), 0700), 0);

    EXPECT_EQ(ReadBytes(file), "old");
    EXPECT_EQ(ReadBytes(readOnly), "old");
    EXPECT_EQ(Entries(m_dir),
              (std::vector<std::string>{"fifo", "file.txt", "loop", "occupied", "read-only.txt"}));

    std::error_code error = std::make_error_code(std::errc::io_error);
    EXPECT_TRUE(WriteFileAtomically(file, "new", 0600, error));
    EXPECT_FALSE(error);
}

TEST_F(AtomicFileTest, AFullDiskKeepsTheOldFileAndLeavesNoTemporaryFile) {
    const fs::path file = OwnedFile("data.txt", "old content", 0644);
    // A file size limit makes the write fail part way, as a full disk does.
    const auto writeWithLimit = [&](const fs::path& path) {
        return [path](std::error_code& error) {
            ::signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{16, 16};
            return ::setrlimit(RLIMIT_FSIZE, &limit) == 0 &&
                   WriteFileAtomically(path, std::string(64, 'x'), 0600, error);
        };
    };

    EXPECT_TRUE(FailsWith(writeWithLimit(file), std::make_error_code(std::errc::file_too_large)));
    EXPECT_TRUE(FailsWith(writeWithLimit(m_dir / "new.txt"),
                          std::make_error_code(std::errc::file_too_large)));

    EXPECT_EQ(ReadBytes(file), "old content");
    EXPECT_EQ(Entries(m_dir), std::vector<std::string>{"data.txt"});
}

int FailWith(int error) {
    errno = error;
    return -1;
}

TEST_F(AtomicFileTest, AFailedSyncOrRenameKeepsTheOldFileAndLeavesNoTemporaryFile) {
    const fs::path file = OwnedFile("data.txt", "old content", 0644);
    FileCommitCalls failingSync;
    failingSync.sync = [](int) { return FailWith(EIO); };
    FileCommitCalls failingRename;
    failingRename.rename = [](const char*, const char*) { return FailWith(EXDEV); };

    for (const fs::path& target : {file, m_dir / "new.txt"}) {
        SCOPED_TRACE(target);
        std::error_code error;
        EXPECT_FALSE(WriteFileAtomically(target, "new", 0600, error, failingSync));
        EXPECT_EQ(error, std::make_error_code(std::errc::io_error));
        EXPECT_FALSE(WriteFileAtomically(target, "new", 0600, error, failingRename));
        EXPECT_EQ(error, std::make_error_code(std::errc::cross_device_link));
        EXPECT_EQ(ReadBytes(file), "old content");
        EXPECT_EQ(Entries(m_dir), std::vector<std::string>{"data.txt"});
    }
}

TEST_F(AtomicFileTest, AFailedSyncInPlacePutsTheOldContentBack) {
    const fs::path file = OwnedFile("data.txt", "old content", 0644);
    ASSERT_EQ(::chmod(m_dir.c_str(), 0500), 0);

    EXPECT_TRUE(FailsWith(
        [&](std::error_code& error) {
            FileCommitCalls calls;
            int syncs = 0;
            // The first sync is the one of the new content; the one after restoring may succeed.
            calls.sync = [&syncs](int fd) { return ++syncs == 1 ? FailWith(EIO) : ::fsync(fd); };
            return WriteFileAtomically(file, "new", 0600, error, calls);
        },
        std::make_error_code(std::errc::io_error)));

    EXPECT_EQ(ReadBytes(file), "old content");
    EXPECT_EQ(Entries(m_dir), std::vector<std::string>{"data.txt"});
}

TEST_F(AtomicFileTest, ARenameThatMayNotReplaceFallsBackToWritingInPlace) {
    const fs::path file = OwnedFile("data.txt", "old content", 0644);
    FileCommitCalls calls;
    calls.rename = [](const char*, const char*) { return FailWith(EPERM); };

    std::error_code error;
    EXPECT_TRUE(WriteFileAtomically(file, "new", 0600, error, calls));
    EXPECT_FALSE(error);
    EXPECT_EQ(ReadBytes(file), "new");
    EXPECT_EQ(Entries(m_dir), std::vector<std::string>{"data.txt"});

    EXPECT_FALSE(WriteFileAtomically(m_dir / "new.txt", "new", 0600, error, calls));
    EXPECT_EQ(error, std::make_error_code(std::errc::operation_not_permitted));
    EXPECT_EQ(Entries(m_dir), std::vector<std::string>{"data.txt"});
}

}  // namespace
}  // namespace zentrix
