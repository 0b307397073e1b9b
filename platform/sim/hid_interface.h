// A virtual vendor HID interface: the control front end of a simulated
// camera. CreateFileA on its device path opens it; a written output report
// is handed to the Firmware, whose reply becomes an input report that every
// open handle of the interface can read, in order. Fault switches reshape
// what goes over the wire; a log keeps every command report the firmware
// received.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/os.h"
#include "platform/sim/files.h"
#include "platform/sim/firmware.h"

namespace nuv::sim {

class HidHandle;

class HidInterface : public std::enable_shared_from_this<HidInterface> {
public:
    static constexpr int kDefaultReportLength = 65;

    HidInterface(std::string path, std::string parentInstanceId, std::wstring serialString,
                 std::shared_ptr<Firmware> firmware, int inputLength = kDefaultReportLength,
                 int outputLength = kDefaultReportLength);

    int id = 0;  // given by the world
    const std::string &Path() const { return path_; }
    const std::string &ParentInstanceId() const { return parentInstanceId_; }
    const std::wstring &SerialString() const { return serialString_; }

    int InputLength() const;
    int OutputLength() const;
    void SetReportLengths(int inputLength, int outputLength);
    DWORD LastOpenFlags() const;
    // Pulled out: writes and reads on handles still open fail from now on.
    void Unplug();

    // Opens a new handle (what the file table's opener calls).
    std::shared_ptr<SimFile> Open(DWORD flags);

    // Runs f(firmware) under the interface's lock.
    template <class F>
    auto WithFirmware(F &&f) {
        std::lock_guard<std::mutex> hold(lock_);
        return f(*firmware_);
    }

    // Fault switches. command: the command code they apply to, -1 any. Each
    // lets `skip` matching commands pass, then acts on the next `count`.
    enum class FaultKind { Drop, Status, Mismatch, Late, EchoAddress, CorruptRead };
    void AddFault(FaultKind kind, int command, int count, int a = 0, int b = 0, int c = 0, int skip = 0);
    void FailWrites(int count);
    void ClearFaults();

    // The command reports the firmware received, raw, in order; the latest
    // kLogCapacity are kept.
    static constexpr std::size_t kLogCapacity = 1u << 17;
    std::vector<std::vector<std::uint8_t>> CommandLog() const;
    std::size_t CommandCount() const;
    void ClearCommandLog();

    // Called by the handles.
    BOOL WriteReport(const void *data, DWORD bytes, DWORD *written);
    BOOL ReadReport(HidHandle &handle, void *data, DWORD bytes, DWORD *read, DWORD timeoutMs);
    void Detach(HidHandle *handle);

private:
    struct Fault {
        FaultKind kind;
        int command;
        int remaining;
        int a, b, c;
        int skip;
    };
    // The first live fault of this kind for this command, counted down.
    bool TakeFault(FaultKind kind, std::uint8_t command, Fault &taken);
    void Deliver(std::vector<std::uint8_t> report, std::uint32_t releaseAt);

    const std::string path_;
    const std::string parentInstanceId_;
    const std::wstring serialString_;

    mutable std::mutex lock_;
    std::condition_variable arrived_;
    std::shared_ptr<Firmware> firmware_;
    int inputLength_;
    int outputLength_;
    DWORD lastOpenFlags_ = 0;
    bool present_ = true;
    std::vector<Fault> faults_;
    int failWrites_ = 0;
    std::deque<std::vector<std::uint8_t>> log_;
    std::vector<HidHandle *> handles_;
    // Replies leave the firmware in order: one that is late holds back the
    // ones behind it, as a busy device would.
    std::uint32_t lastRelease_ = 0;
    bool anyRelease_ = false;
};

// One open handle: its own queue of input reports, as the OS keeps per handle.
class HidHandle : public SimFile {
public:
    explicit HidHandle(std::shared_ptr<HidInterface> hid) : hid_(std::move(hid)) {}
    ~HidHandle() override { hid_->Detach(this); }

    BOOL Write(const void *data, DWORD bytes, DWORD *written) override {
        return hid_->WriteReport(data, bytes, written);
    }
    BOOL Read(void *data, DWORD bytes, DWORD *read) override {
        return hid_->ReadReport(*this, data, bytes, read, INFINITE);
    }
    BOOL ReadWithin(void *data, DWORD bytes, DWORD *read, DWORD timeoutMs) override {
        return hid_->ReadReport(*this, data, bytes, read, timeoutMs);
    }
    const std::shared_ptr<HidInterface> &Interface() const { return hid_; }

private:
    friend class HidInterface;
    struct Pending {
        std::vector<std::uint8_t> report;
        std::uint32_t releaseAt;
    };
    std::shared_ptr<HidInterface> hid_;
    std::deque<Pending> queue_;  // guarded by the interface's lock
};

// The interface behind an open handle, or null for any other handle.
std::shared_ptr<HidInterface> HidInterfaceOf(HANDLE handle);

// Preparsed-data records handed out by HidD_GetPreparsedData, not yet freed.
extern std::atomic<int> gLivePreparsedData;

}  // namespace nuv::sim
