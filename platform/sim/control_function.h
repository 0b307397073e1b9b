// The control function of a virtual camera: its vendor HID interface and the
// firmware behind it. A written output report is handed to the firmware,
// whose reply becomes an input report that every open handle reads, in
// order. Fault switches reshape what goes over the wire; a log keeps every
// command report the firmware received.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/framework/source.h"
#include "platform/sim/firmware.h"

namespace nuv::sim {

using framework::WideText;

// How a reply is reshaped. Each fault lets `skip` commands with its code
// pass (command -1: any code), then acts on the next `count`.
struct ReplyFault {
    enum class Kind { Drop, Status, Mismatch, Late, EchoAddress, CorruptRead };
    Kind kind = Kind::Drop;
    int command = -1;
    int skip = 0;
    int count = 1;
    std::uint8_t status = 0;      // Status: the refusal the firmware answers with
    int sequenceDelta = 0;        // Mismatch: added to the echoed sequence number
    int codeDelta = 0;            // Mismatch: added to the echoed command code
    bool thenAnswer = false;      // Mismatch: the true reply follows
    std::uint32_t delayMs = 0;    // Late: the reply arrives this much later
    int addressDelta = 0;         // EchoAddress: added to the echoed flash address
    int dataByte = 0;             // CorruptRead: the data byte whose lowest bit flips
};

class ControlFunction final : public framework::ControlSource,
                              public std::enable_shared_from_this<ControlFunction> {
public:
    static constexpr int kDefaultReportLength = 65;

    ControlFunction(std::string path, std::string instanceId, std::string parentInstanceId, WideText serialString,
                    std::uint32_t serialNumber, int inputLength = kDefaultReportLength,
                    int outputLength = kDefaultReportLength);

    int id = 0;  // given by the world

    // framework::ControlSource
    const std::string &Path() const override { return path_; }
    const std::string &InstanceId() const override { return instanceId_; }
    const std::string &ParentInstanceId() const override { return parentInstanceId_; }
    bool SerialString(WideText *serial) const override;
    int InputReportLength() const override;
    int OutputReportLength() const override;
    bool Present() const override;
    std::shared_ptr<framework::ControlHandle> Open(DWORD flags) override;

    void SetReportLengths(int inputLength, int outputLength);
    DWORD LastOpenFlags() const;
    // Pulled out: writes and reads on handles still open fail from now on.
    void Unplug();

    // Runs f(firmware) under the function's lock.
    template <class F>
    auto WithFirmware(F &&f) {
        std::lock_guard<std::mutex> hold(lock_);
        return f(firmware_);
    }
    // The parameter block as the flash holds it.
    std::vector<std::uint8_t> ParameterBlock() const;

    void AddFault(const ReplyFault &fault);
    // After skip writes pass, the next count fail (the device is gone for
    // them); the firmware sees nothing.
    void FailWrites(int skip, int count);
    // The next commands are answered with these reports, byte for byte,
    // one each, instead of the firmware's replies (which do not happen).
    void ScriptReply(std::vector<std::uint8_t> report);
    // The write of the (skip + 1)-th command with this code (-1: any) waits
    // until Resume: the caller is held there, the firmware has not seen it.
    void PauseAt(int command, int skip);
    // Waits until a writer is held (true), or timeoutMs of real time passed.
    bool WaitUntilPaused(unsigned timeoutMs);
    void Resume();
    void ClearFaults();

    // The command reports the firmware received, raw, in order; the latest
    // kLogCapacity are kept.
    static constexpr std::size_t kLogCapacity = 1u << 17;
    std::size_t CommandCount() const;
    // Copies report `index` (0 = oldest kept) into out; its length, or -1.
    int CommandReport(std::size_t index, std::uint8_t *out, std::size_t size) const;
    void ClearCommandLog();

private:
    class Port;
    friend class Port;
    struct Pending {
        std::vector<std::uint8_t> report;
        std::uint32_t releaseAt;
    };

    bool WriteReport(const std::uint8_t *data, std::size_t bytes);
    bool ReadReport(Port &port, std::uint8_t *data, std::size_t capacity, std::size_t *length, DWORD timeoutMs);
    void Detach(Port *port);
    // The first live fault of this kind for this command, counted down.
    bool TakeFault(ReplyFault::Kind kind, std::uint8_t command, ReplyFault &taken);
    void Deliver(std::vector<std::uint8_t> report, std::uint32_t releaseAt);
    std::vector<std::uint8_t> MakeReport(const Firmware::Block &reply, std::uint8_t sequence,
                                         std::uint8_t code) const;

    const std::string path_;
    const std::string instanceId_;
    const std::string parentInstanceId_;
    const WideText serialString_;

    mutable std::mutex lock_;
    std::condition_variable changed_;
    Firmware firmware_;
    int inputLength_;
    int outputLength_;
    DWORD lastOpenFlags_ = 0;
    bool present_ = true;
    std::vector<ReplyFault> faults_;
    int failWritesSkip_ = 0;
    int failWrites_ = 0;
    std::deque<std::vector<std::uint8_t>> scripted_;
    struct PausePoint {
        bool armed = false;
        int command = -1;
        int skip = 0;
    } pause_;
    // Writers held so far, and released so far: one is held while they
    // differ.
    std::uint64_t held_ = 0;
    std::uint64_t released_ = 0;
    std::deque<std::vector<std::uint8_t>> log_;
    std::vector<Port *> ports_;
    // Replies leave the firmware in order: one that is late holds back the
    // ones behind it, as a busy device would.
    std::uint32_t lastRelease_ = 0;
    bool anyRelease_ = false;
};

}  // namespace nuv::sim
