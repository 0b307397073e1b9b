// Files of the machine's own file system, as the OS door opens them for
// the library (firmware images). On Windows builds of the simulated world the
// real OS answers; elsewhere POSIX calls, opened without blocking so that a
// FIFO shows up as a pipe instead of holding the caller.
#include <memory>
#include <string>

#include "platform/framework/files.h"

#if defined(_WIN32)

namespace nuv::framework {
namespace {

class DiskFile : public FileObject {
public:
    explicit DiskFile(HANDLE handle) : handle_(handle) {}
    ~DiskFile() override { ::CloseHandle(handle_); }
    BOOL Write(const void *, DWORD, DWORD *) override { return FALSE; }
    BOOL Read(void *data, DWORD bytes, DWORD *read) override { return ::ReadFile(handle_, data, bytes, read, nullptr); }
    DWORD Type() const override { return ::GetFileType(handle_); }
    bool Size(LONGLONG *size) const override {
        LARGE_INTEGER value;
        if (!::GetFileSizeEx(handle_, &value)) return false;
        *size = value.QuadPart;
        return true;
    }

private:
    HANDLE handle_;
};

}  // namespace

std::shared_ptr<FileObject> OpenDiskFile(const std::string &path) {
    HANDLE handle = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    return std::make_shared<DiskFile>(handle);
}

}  // namespace nuv::framework

#else

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace nuv::framework {
namespace {

class DiskFile : public FileObject {
public:
    DiskFile(int fd, const struct stat &status) : fd_(fd), status_(status) {}
    ~DiskFile() override { ::close(fd_); }
    BOOL Write(const void *, DWORD, DWORD *) override { return FALSE; }
    BOOL Read(void *data, DWORD bytes, DWORD *read) override {
        ssize_t got;
        do {
            got = ::read(fd_, data, bytes);
        } while (got < 0 && errno == EINTR);
        if (got < 0) return FALSE;
        if (read) *read = static_cast<DWORD>(got);
        return TRUE;
    }
    DWORD Type() const override {
        if (S_ISREG(status_.st_mode)) return FILE_TYPE_DISK;
        if (S_ISFIFO(status_.st_mode) || S_ISSOCK(status_.st_mode)) return FILE_TYPE_PIPE;
        if (S_ISCHR(status_.st_mode)) return FILE_TYPE_CHAR;
        return FILE_TYPE_UNKNOWN;
    }
    bool Size(LONGLONG *size) const override {
        if (!S_ISREG(status_.st_mode)) return false;
        *size = static_cast<LONGLONG>(status_.st_size);
        return true;
    }

private:
    int fd_;
    struct stat status_;
};

}  // namespace

std::shared_ptr<FileObject> OpenDiskFile(const std::string &path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return nullptr;
    struct stat status;
    // Windows opens no directory as a file.
    if (::fstat(fd, &status) != 0 || S_ISDIR(status.st_mode)) {
        ::close(fd);
        return nullptr;
    }
    // Reads of a regular file never wait; the flag only kept the open itself
    // from waiting for a writer.
    if (S_ISREG(status.st_mode)) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return std::make_shared<DiskFile>(fd, status);
}

}  // namespace nuv::framework

#endif
