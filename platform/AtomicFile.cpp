#include "platform/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <utility>

namespace zentrix {

namespace {

// The kernel's own limit on links followed in one path lookup.
constexpr int kMaxLinkHops = 40;

class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : m_fd(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    FileDescriptor(FileDescriptor&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        if (this != &other) {
            Reset();
            m_fd = std::exchange(other.m_fd, -1);
        }
        return *this;
    }
    ~FileDescriptor() { Reset(); }

    int Get() const { return m_fd; }
    bool IsOpen() const { return m_fd >= 0; }
    bool Close() { return ::close(std::exchange(m_fd, -1)) == 0; }

private:
    void Reset() {
        if (m_fd >= 0) {
            ::close(std::exchange(m_fd, -1));
        }
    }

    int m_fd = -1;
};

std::error_code LastError() {
    return {errno, std::generic_category()};
}

// A temporary file beside the target, removed again unless it was renamed over the target.
class TemporaryFile {
public:
    TemporaryFile(const std::filesystem::path& target, mode_t mode) {
        static std::atomic<unsigned> sequence{0};
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        for (int attempt = 0; attempt < 100 && !m_fd.IsOpen(); ++attempt) {
            const std::string name = '.' + target.filename().string() + '.' +
                                     std::to_string(::getpid()) + '.' + std::to_string(stamp) +
                                     '.' + std::to_string(sequence.fetch_add(1)) + ".tmp";
            m_path = target.parent_path() / name;
            m_fd = FileDescriptor(
                ::open(m_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, mode));
            if (!m_fd.IsOpen() && errno != EEXIST) {
                break;
            }
        }
        m_exists = m_fd.IsOpen();
        if (!m_exists) {
            m_openError = LastError();
        }
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile() {
        if (m_exists) {
            ::unlink(m_path.c_str());
        }
    }

    bool IsOpen() const { return m_fd.IsOpen(); }
    // Why the file could not be created.
    std::error_code OpenError() const { return m_openError; }
    int Fd() const { return m_fd.Get(); }
    bool Close() { return m_fd.Close(); }
    // The rename's errno is left for the caller.
    bool RenameOver(const std::filesystem::path& target, const FileCommitCalls& calls) {
        const int result = calls.rename ? calls.rename(m_path.c_str(), target.c_str())
                                        : ::rename(m_path.c_str(), target.c_str());
        if (result != 0) {
            return false;
        }
        m_exists = false;
        return true;
    }

private:
    std::filesystem::path m_path;
    FileDescriptor m_fd;
    bool m_exists = false;
    std::error_code m_openError;
};

int Sync(const FileCommitCalls& calls, int fd) {
    return calls.sync ? calls.sync(fd) : ::fsync(fd);
}

// Follows the link chain by hand so that the file finally named is replaced and every link
// keeps pointing at it; a chain ending in a missing name yields that name.
std::optional<std::filesystem::path> FollowLinks(std::filesystem::path path,
                                                 std::error_code& error) {
    for (int hop = 0; hop <= kMaxLinkHops; ++hop) {
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0) {
            if (errno == ENOENT) {
                return path;
            }
            error = LastError();
            return std::nullopt;
        }
        if (!S_ISLNK(info.st_mode)) {
            return path;
        }
        std::filesystem::path next = std::filesystem::read_symlink(path, error);
        if (error || next.empty()) {
            if (!error) {
                error = std::make_error_code(std::errc::no_such_file_or_directory);
            }
            return std::nullopt;
        }
        path = next.is_absolute() ? next : path.parent_path() / next;
    }
    error = std::make_error_code(std::errc::too_many_symbolic_link_levels);
    return std::nullopt;
}

// A write that makes no progress is a device that takes nothing more.
bool WriteAllAt(int fd, std::string_view bytes, off_t offset, std::error_code& error) {
    while (!bytes.empty()) {
        const ssize_t count = ::pwrite(fd, bytes.data(), bytes.size(), offset);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            error = count < 0 ? LastError() : std::make_error_code(std::errc::no_space_on_device);
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(count));
        offset += count;
    }
    return true;
}

std::optional<std::string> ReadAll(int fd, off_t size) {
    std::string bytes(static_cast<std::size_t>(size), '\0');
    std::size_t total = 0;
    while (total < bytes.size()) {
        const ssize_t count =
            ::pread(fd, bytes.data() + total, bytes.size() - total, static_cast<off_t>(total));
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return std::nullopt;
        }
        total += static_cast<std::size_t>(count);
    }
    return bytes;
}

// Without a temporary file the old content can only be protected by reserving the space first and
// by writing it back when the new content could not be written whole.
bool WriteInPlace(int fd, bool readable, off_t oldSize, std::string_view bytes,
                  const FileCommitCalls& calls, std::error_code& error) {
    const auto newSize = static_cast<off_t>(bytes.size());
    if (newSize > oldSize && ::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, newSize) != 0 &&
        errno != EOPNOTSUPP && errno != ENOSYS) {
        error = LastError();
        return false;
    }
    const std::optional<std::string> old = readable ? ReadAll(fd, oldSize) : std::nullopt;
    if (WriteAllAt(fd, bytes, 0, error)) {
        if (::ftruncate(fd, newSize) == 0 && Sync(calls, fd) == 0) {
            return true;
        }
        error = LastError();
    }
    std::error_code restoreError;
    if (old && WriteAllAt(fd, *old, 0, restoreError) && ::ftruncate(fd, oldSize) == 0) {
        Sync(calls, fd);
    }
    return false;
}

// Makes the rename itself durable; a failure here no longer endangers either version of the file.
void SyncDirectory(const std::filesystem::path& directory) {
    const FileDescriptor fd(
        ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.IsOpen()) {
        ::fsync(fd.Get());
    }
}

bool CannotReplace(int error) {
    return error == EACCES || error == EPERM || error == EBUSY || error == EROFS;
}

bool WriteFile(const std::filesystem::path& path, std::string_view bytes, mode_t newFileMode,
               const FileCommitCalls& calls, std::error_code& error) {
    const std::optional<std::filesystem::path> target = FollowLinks(path, error);
    if (!target) {
        return false;
    }
    if (!target->has_filename()) {
        error = std::make_error_code(target->empty() ? std::errc::no_such_file_or_directory
                                                     : std::errc::is_a_directory);
        return false;
    }
    constexpr int kOpenFlags = O_NOCTTY | O_CLOEXEC | O_NONBLOCK;
    // Opening without truncating proves the right to write the file and changes nothing yet.
    bool readable = true;
    FileDescriptor existing(::open(target->c_str(), O_RDWR | kOpenFlags));
    if (!existing.IsOpen() && errno == EACCES) {
        readable = false;
        existing = FileDescriptor(::open(target->c_str(), O_WRONLY | kOpenFlags));
    }
    if (!existing.IsOpen() && errno != ENOENT) {
        error = LastError();
        return false;
    }
    struct stat info {};
    if (existing.IsOpen() && ::fstat(existing.Get(), &info) != 0) {
        error = LastError();
        return false;
    }
    if (existing.IsOpen() && !S_ISREG(info.st_mode)) {
        error = AtomicFileError::NotARegularFile;
        return false;
    }

    TemporaryFile temp(*target, existing.IsOpen() ? S_IRUSR | S_IWUSR : newFileMode);
    if (!temp.IsOpen()) {
        if (!existing.IsOpen()) {
            error = temp.OpenError();
            return false;
        }
        return WriteInPlace(existing.Get(), readable, info.st_size, bytes, calls, error);
    }
    if (existing.IsOpen()) {
        // Ownership first: a change of owner clears the set-id bits that the mode then restores.
        if (::fchown(temp.Fd(), info.st_uid, info.st_gid) != 0) {
            ::fchown(temp.Fd(), static_cast<uid_t>(-1), info.st_gid);
        }
        if (::fchmod(temp.Fd(), info.st_mode & 07777) != 0) {
            error = LastError();
            return false;
        }
    }
    if (!WriteAllAt(temp.Fd(), bytes, 0, error)) {
        return false;
    }
    if (Sync(calls, temp.Fd()) != 0 || !temp.Close()) {
        error = LastError();
        return false;
    }
    if (!temp.RenameOver(*target, calls)) {
        error = LastError();
        return existing.IsOpen() && CannotReplace(error.value()) &&
               WriteInPlace(existing.Get(), readable, info.st_size, bytes, calls, error);
    }
    SyncDirectory(target->parent_path());
    return true;
}

class AtomicFileErrorCategory final : public std::error_category {
public:
    const char* name() const noexcept override { return "atomic file"; }
    std::string message(int value) const override {
        switch (static_cast<AtomicFileError>(value)) {
            case AtomicFileError::NotARegularFile:
                return "not a regular file";
        }
        return "unknown error";
    }
};

}  // namespace

const std::error_category& AtomicFileCategory() noexcept {
    static const AtomicFileErrorCategory category;
    return category;
}

std::error_code make_error_code(AtomicFileError error) noexcept {
    return {static_cast<int>(error), AtomicFileCategory()};
}

bool WriteFileAtomically(const std::filesystem::path& path, std::string_view bytes,
                         mode_t newFileMode) noexcept {
    std::error_code ignored;
    return WriteFileAtomically(path, bytes, newFileMode, ignored);
}

bool WriteFileAtomically(const std::filesystem::path& path, std::string_view bytes,
                         mode_t newFileMode, std::error_code& error,
                         const FileCommitCalls& calls) noexcept {
    error.clear();
    try {
        if (WriteFile(path, bytes, newFileMode, calls, error)) {
            error.clear();
            return true;
        }
    } catch (const std::bad_alloc&) {
        error = std::make_error_code(std::errc::not_enough_memory);
        return false;
    } catch (...) {
        error = std::make_error_code(std::errc::io_error);
        return false;
    }
    if (!error) {
        error = std::make_error_code(std::errc::io_error);
    }
    return false;
}

}  // namespace zentrix
