// Replacing a small file's whole content so that a failure never leaves half of it, the one way
// every file the plug-in and its tools write is saved.
#ifndef ZENTRIX_PLATFORM_ATOMICFILE_H
#define ZENTRIX_PLATFORM_ATOMICFILE_H

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <string_view>
#include <system_error>
#include <type_traits>

namespace zentrix {

// Why a write failed when no errno value says it.
enum class AtomicFileError {
    NotARegularFile = 1,
};

const std::error_category& AtomicFileCategory() noexcept;
std::error_code make_error_code(AtomicFileError error) noexcept;

// The calls that make the new content durable and put it in place; an empty one is the system's
// own (fsync, rename). Tests hand in failing ones, since no file system lets them fail on demand.
struct FileCommitCalls {
    std::function<int(int fd)> sync;
    std::function<int(const char* from, const char* to)> rename;
};

// Makes the file at path hold exactly bytes and returns true, or returns false and leaves the
// file as it was. Never throws.
//
// - A symbolic link is followed and the file it finally names is written; the link stays.
// - An existing file is written only if it can be opened for writing (so a read-only file is
//   refused); it is normally replaced by a synced temporary file renamed over it, which keeps
//   its mode and, as far as the user may, its owner and group.
// - When no temporary file can be created beside an existing file (a read-only directory), the
//   file is overwritten in place and synced instead; if that fails part way, its old content is
//   written back when it could be read.
// - A missing file is created with newFileMode (the umask applies); a missing directory is
//   never created.
// - No temporary file is left behind, whatever the outcome.
bool WriteFileAtomically(const std::filesystem::path& path, std::string_view bytes,
                         mode_t newFileMode) noexcept;

// The same, saying in error why it returned false (an errno value or an AtomicFileError) and
// clearing error when it returns true.
bool WriteFileAtomically(const std::filesystem::path& path, std::string_view bytes,
                         mode_t newFileMode, std::error_code& error,
                         const FileCommitCalls& calls = {}) noexcept;

}  // namespace zentrix

template <>
struct std::is_error_code_enum<zentrix::AtomicFileError> : std::true_type {};

#endif
