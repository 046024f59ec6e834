#include "platform/LinuxDeviceNodes.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace zentrix {

static_assert(kIowGetInfo == 0x8028C003UL, "IOW_GETINFO reads 40 bytes, request 3 of magic 0xC0");
static_assert(sizeof(void*) != 8 || (kIowWrite == 0x4008C001UL && kIowRead == 0x4008C002UL),
              "IOW_WRITE and IOW_READ carry the size of a pointer");

int LinuxDeviceNodes::ListDirectory(const std::string& directory, std::vector<std::string>& names) {
    names.clear();
    DIR* dir = ::opendir(directory.c_str());
    if (dir == nullptr) {
        return -errno;
    }
    int result = 0;
    try {
        errno = 0;
        while (const dirent* entry = ::readdir(dir)) {
            names.emplace_back(entry->d_name);
            errno = 0;
        }
        result = -errno;
    } catch (...) {
        result = -ENOMEM;
    }
    ::closedir(dir);
    return result;
}

int LinuxDeviceNodes::Open(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    return fd >= 0 ? fd : -errno;
}

void LinuxDeviceNodes::Close(int fd) {
    ::close(fd);
}

int LinuxDeviceNodes::GetInfo(int fd, IowarriorInfo& info) {
    return ::ioctl(fd, kIowGetInfo, &info) == 0 ? 0 : -errno;
}

long LinuxDeviceNodes::Write(int fd, const std::uint8_t* data, std::size_t length) {
    const ssize_t written = ::write(fd, data, length);
    return written >= 0 ? static_cast<long>(written) : -errno;
}

long LinuxDeviceNodes::Read(int fd, std::uint8_t* data, std::size_t length) {
    const ssize_t read = ::read(fd, data, length);
    return read >= 0 ? static_cast<long>(read) : -errno;
}

int LinuxDeviceNodes::Poll(int fd, short events, int timeoutMs) {
    pollfd entry{fd, events, 0};
    const int ready = ::poll(&entry, 1, timeoutMs);
    if (ready < 0) {
        return -errno;
    }
    return ready == 0 ? 0 : entry.revents;
}

LinuxDeviceNodes& LinuxDeviceNodes::Instance() {
    static LinuxDeviceNodes nodes;
    return nodes;
}

}  // namespace zentrix
