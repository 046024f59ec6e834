#include "platform/SmallFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/FileDescriptor.h"

namespace zentrix {

SmallFileStatus ReadSmallFile(const std::filesystem::path& path, std::uintmax_t maxSize,
                              std::string& bytes) {
    const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (file.Get() < 0) {
        return (errno == ENOENT || errno == ENOTDIR) ? SmallFileStatus::Missing
                                                     : SmallFileStatus::Failed;
    }
    struct stat info {};
    if (::fstat(file.Get(), &info) != 0 || !S_ISREG(info.st_mode) ||
        static_cast<std::uintmax_t>(info.st_size) > maxSize) {
        return SmallFileStatus::Failed;
    }
    bytes.resize(static_cast<std::size_t>(info.st_size));
    std::size_t total = 0;
    char probe = 0;
    while (true) {
        char* target = total < bytes.size() ? bytes.data() + total : &probe;
        const std::size_t room = total < bytes.size() ? bytes.size() - total : 1;
        const ssize_t count = ::read(file.Get(), target, room);
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            return SmallFileStatus::Failed;
        }
        if (count == 0) {
            break;
        }
        if (target == &probe) {
            return SmallFileStatus::Failed;
        }
        total += static_cast<std::size_t>(count);
    }
    bytes.resize(total);
    return SmallFileStatus::Ok;
}

}  // namespace zentrix
