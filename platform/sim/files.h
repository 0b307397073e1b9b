// Files of the simulated OS: a handle table over openable objects. Front
// ends (the HID interfaces of the virtual cameras) register the paths they
// answer; CreateFileA opens them, and the handle values are reused after a
// close, as the OS reuses them.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/os.h"

namespace nuv::sim {

class SimFile {
public:
    virtual ~SimFile() = default;
    virtual BOOL Write(const void *data, DWORD bytes, DWORD *written) = 0;
    virtual BOOL Read(void *data, DWORD bytes, DWORD *read) = 0;
    // A read that gives up timeoutMs after it started (on the simulator's
    // clock). Files that never block read at once.
    virtual BOOL ReadWithin(void *data, DWORD bytes, DWORD *read, DWORD /*timeoutMs*/) {
        return Read(data, bytes, read);
    }
    // What GetFileType answers: devices (the HID interfaces) are character
    // devices; files on disk say what they are.
    virtual DWORD Type() const { return FILE_TYPE_CHAR; }
    // The byte size of a disk file; false for anything else.
    virtual bool Size(LONGLONG * /*size*/) const { return false; }
};

// Opens a file of the machine's own file system for reading, without ever
// waiting (a FIFO nobody writes to opens at once and shows as a pipe). Null
// for a path that does not name an existing file, or names a directory.
std::shared_ptr<SimFile> OpenDiskFile(const std::string &path);

using FileOpener = std::function<std::shared_ptr<SimFile>(DWORD flags)>;

class FileTable {
public:
    static FileTable &Instance();

    void RegisterPath(const std::string &path, FileOpener opener);
    void UnregisterPath(const std::string &path);

    HANDLE Open(const std::string &path, DWORD flags);
    std::shared_ptr<SimFile> Get(HANDLE handle) const;
    bool Close(HANDLE handle);
    // ---- Objects without a path (threads) ----
    // Gives an object a handle of the same table, so CloseHandle and the
    // handle-value reuse work for it as for files.
    HANDLE Adopt(std::shared_ptr<SimFile> object);

    int OpenCount() const;
    // Forgets every path and open file (world reset).
    void Clear();

private:
    FileTable() = default;
    mutable std::mutex lock_;
    std::map<std::string, FileOpener> paths_;
    std::map<std::uintptr_t, std::shared_ptr<SimFile>> open_;
    std::vector<std::uintptr_t> freeValues_;
    std::uintptr_t nextValue_ = 0x100;
};

}  // namespace nuv::sim
