// A file descriptor that is closed when its holder goes, for the readers that open files with
// open(2) to control how they are opened.
#ifndef ZENTRIX_PLATFORM_FILEDESCRIPTOR_H
#define ZENTRIX_PLATFORM_FILEDESCRIPTOR_H

#include <unistd.h>

namespace zentrix {

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : m_fd(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    int Get() const { return m_fd; }

private:
    int m_fd;
};

}  // namespace zentrix

#endif
