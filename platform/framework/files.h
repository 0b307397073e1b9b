// Files of the OS door on non-Windows builds: one handle table over open
// objects (control interfaces, disk files, threads). Handle values are
// reused after a close, as the OS reuses them.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/os.h"

namespace nuv::framework {

class FileObject {
public:
    virtual ~FileObject() = default;
    virtual BOOL Write(const void *data, DWORD bytes, DWORD *written) = 0;
    virtual BOOL Read(void *data, DWORD bytes, DWORD *read) = 0;
    // A read that gives up timeoutMs after it started (on the framework's
    // clock). Objects that never block read at once.
    virtual BOOL ReadWithin(void *data, DWORD bytes, DWORD *read, DWORD /*timeoutMs*/) {
        return Read(data, bytes, read);
    }
    // What GetFileType answers: devices are character devices; files on
    // disk say what they are.
    virtual DWORD Type() const { return FILE_TYPE_CHAR; }
    // The byte size of a disk file; false for anything else.
    virtual bool Size(LONGLONG * /*size*/) const { return false; }
};

// Opens a file of the machine's own file system for reading, without ever
// waiting (a FIFO nobody writes to opens at once and shows as a pipe). Null
// for a path that does not name an existing file, or names a directory.
std::shared_ptr<FileObject> OpenDiskFile(const std::string &path);

class FileTable {
public:
    static FileTable &Instance();

    HANDLE Adopt(std::shared_ptr<FileObject> object);
    std::shared_ptr<FileObject> Get(HANDLE handle) const;
    bool Close(HANDLE handle);
    template <class T>
    std::shared_ptr<T> GetAs(HANDLE handle) const {
        return std::dynamic_pointer_cast<T>(Get(handle));
    }

    int OpenCount() const;
    // Forgets every open object (a reset of the simulated world).
    void Clear();

private:
    FileTable() = default;
    mutable std::mutex lock_;
    std::map<std::uintptr_t, std::shared_ptr<FileObject>> open_;
    std::vector<std::uintptr_t> freeValues_;
    std::uintptr_t nextValue_ = 0x100;
};

}  // namespace nuv::framework
