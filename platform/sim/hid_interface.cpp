#include "platform/sim/hid_interface.h"

#include <algorithm>
#include <cstring>

#include "platform/sim/clock.h"

namespace nuv::sim {

namespace {

// Tick counts wrap: compare by signed distance.
bool IsDue(std::uint32_t releaseAt, std::uint32_t now) { return static_cast<std::int32_t>(releaseAt - now) <= 0; }

}  // namespace

HidInterface::HidInterface(std::string path, std::string parentInstanceId, std::wstring serialString,
                           std::shared_ptr<Firmware> firmware, int inputLength, int outputLength)
    : path_(std::move(path)),
      parentInstanceId_(std::move(parentInstanceId)),
      serialString_(std::move(serialString)),
      firmware_(std::move(firmware)),
      inputLength_(inputLength),
      outputLength_(outputLength) {
    if (!firmware_) firmware_ = std::make_shared<Firmware>(0);
}

int HidInterface::InputLength() const {
    std::lock_guard<std::mutex> hold(lock_);
    return inputLength_;
}

int HidInterface::OutputLength() const {
    std::lock_guard<std::mutex> hold(lock_);
    return outputLength_;
}

void HidInterface::SetReportLengths(int inputLength, int outputLength) {
    std::lock_guard<std::mutex> hold(lock_);
    inputLength_ = inputLength;
    outputLength_ = outputLength;
}

DWORD HidInterface::LastOpenFlags() const {
    std::lock_guard<std::mutex> hold(lock_);
    return lastOpenFlags_;
}

void HidInterface::Unplug() {
    std::lock_guard<std::mutex> hold(lock_);
    present_ = false;
    arrived_.notify_all();
}

std::shared_ptr<SimFile> HidInterface::Open(DWORD flags) {
    auto handle = std::make_shared<HidHandle>(shared_from_this());
    std::lock_guard<std::mutex> hold(lock_);
    lastOpenFlags_ = flags;
    handles_.push_back(handle.get());
    return handle;
}

void HidInterface::Detach(HidHandle *handle) {
    std::lock_guard<std::mutex> hold(lock_);
    handles_.erase(std::remove(handles_.begin(), handles_.end(), handle), handles_.end());
}

void HidInterface::AddFault(FaultKind kind, int command, int count, int a, int b, int c, int skip) {
    if (count <= 0) return;
    std::lock_guard<std::mutex> hold(lock_);
    faults_.push_back(Fault{kind, command, count, a, b, c, std::max(skip, 0)});
}

void HidInterface::FailWrites(int count) {
    std::lock_guard<std::mutex> hold(lock_);
    failWrites_ = std::max(0, count);
}

void HidInterface::ClearFaults() {
    std::lock_guard<std::mutex> hold(lock_);
    faults_.clear();
    failWrites_ = 0;
}

std::vector<std::vector<std::uint8_t>> HidInterface::CommandLog() const {
    std::lock_guard<std::mutex> hold(lock_);
    return {log_.begin(), log_.end()};
}

std::size_t HidInterface::CommandCount() const {
    std::lock_guard<std::mutex> hold(lock_);
    return log_.size();
}

void HidInterface::ClearCommandLog() {
    std::lock_guard<std::mutex> hold(lock_);
    log_.clear();
}

bool HidInterface::TakeFault(FaultKind kind, std::uint8_t command, Fault &taken) {
    // Every fault still letting commands pass counts this one; the first
    // fault that is due takes it.
    bool found = false;
    for (Fault &fault : faults_) {
        if (fault.kind != kind || (fault.command >= 0 && fault.command != command)) continue;
        if (fault.skip > 0) {
            --fault.skip;
            continue;
        }
        if (!found) {
            found = true;
            taken = fault;
            --fault.remaining;
        }
    }
    faults_.erase(std::remove_if(faults_.begin(), faults_.end(), [](const Fault &f) { return f.remaining <= 0; }),
                  faults_.end());
    return found;
}

void HidInterface::Deliver(std::vector<std::uint8_t> report, std::uint32_t releaseAt) {
    // In order: a reply never overtakes one that left the firmware before it.
    if (anyRelease_ && !IsDue(lastRelease_, releaseAt)) releaseAt = lastRelease_;
    lastRelease_ = releaseAt;
    anyRelease_ = true;
    for (HidHandle *handle : handles_) handle->queue_.push_back(HidHandle::Pending{report, releaseAt});
    arrived_.notify_all();
}

BOOL HidInterface::WriteReport(const void *data, DWORD bytes, DWORD *written) {
    if (written) *written = 0;
    if (data == nullptr) return FALSE;
    std::lock_guard<std::mutex> hold(lock_);
    if (!present_) return FALSE;
    if (failWrites_ > 0) {
        --failWrites_;
        return FALSE;
    }
    // The HID class takes exactly one whole output report.
    if (bytes != static_cast<DWORD>(outputLength_)) return FALSE;
    const auto *bytesIn = static_cast<const std::uint8_t *>(data);
    if (log_.size() >= kLogCapacity) log_.pop_front();
    log_.emplace_back(bytesIn, bytesIn + bytes);
    if (written) *written = bytes;

    const std::uint8_t sequence = bytes > 1 ? bytesIn[1] : 0;
    Firmware::Block command{};
    if (bytes > 2) std::memcpy(command.data(), bytesIn + 2, std::min<std::size_t>(bytes - 2, Firmware::kBlockSize));
    const std::uint8_t code = command[0];

    Fault fault{};
    Firmware::Block reply{};
    if (TakeFault(FaultKind::Status, code, fault)) {
        // A refusing firmware does not carry the command out.
        reply[0] = code;
        reply[62] = static_cast<std::uint8_t>(fault.a);
    } else {
        reply = firmware_->Answer(command);
    }
    if ((code == 0x20 || code == 0x21) && TakeFault(FaultKind::EchoAddress, code, fault)) {
        const std::uint32_t echoed =
            ((std::uint32_t{reply[1]} << 16) | (std::uint32_t{reply[2]} << 8) | reply[3]) + static_cast<std::uint32_t>(fault.a);
        reply[1] = static_cast<std::uint8_t>(echoed >> 16);
        reply[2] = static_cast<std::uint8_t>(echoed >> 8);
        reply[3] = static_cast<std::uint8_t>(echoed);
    }
    if (code == 0x21 && TakeFault(FaultKind::CorruptRead, code, fault)) {
        reply[4 + static_cast<std::size_t>(fault.a) % Firmware::kChunkSize] ^= 0x01;
    }
    if (TakeFault(FaultKind::Drop, code, fault)) return TRUE;

    auto makeReport = [&](std::uint8_t seq, std::uint8_t echoedCode) {
        std::vector<std::uint8_t> report(static_cast<std::size_t>(std::max(inputLength_, 0)), 0);
        if (report.size() > 1) report[1] = seq;
        Firmware::Block block = reply;
        block[0] = echoedCode;
        if (report.size() > 2) {
            std::memcpy(report.data() + 2, block.data(), std::min<std::size_t>(report.size() - 2, block.size()));
        }
        return report;
    };

    const std::uint32_t now = Clock::Instance().Now();
    std::uint32_t releaseAt = now;
    if (TakeFault(FaultKind::Late, code, fault)) releaseAt = now + static_cast<std::uint32_t>(fault.a);
    if (TakeFault(FaultKind::Mismatch, code, fault)) {
        Deliver(makeReport(static_cast<std::uint8_t>(sequence + fault.a), static_cast<std::uint8_t>(code + fault.b)),
                releaseAt);
        if (fault.c == 0) return TRUE;
    }
    Deliver(makeReport(sequence, code), releaseAt);
    return TRUE;
}

BOOL HidInterface::ReadReport(HidHandle &handle, void *data, DWORD bytes, DWORD *read, DWORD timeoutMs) {
    if (read) *read = 0;
    if (data == nullptr) return FALSE;
    Clock &clock = Clock::Instance();
    std::unique_lock<std::mutex> hold(lock_);
    // The HID class refuses a buffer shorter than one input report.
    if (bytes < static_cast<DWORD>(inputLength_)) return FALSE;
    const std::uint32_t start = clock.Now();
    for (;;) {
        if (!present_) return FALSE;
        const std::uint32_t now = clock.Now();
        if (!handle.queue_.empty() && IsDue(handle.queue_.front().releaseAt, now)) {
            const std::vector<std::uint8_t> &report = handle.queue_.front().report;
            const std::size_t length = std::min<std::size_t>(report.size(), bytes);
            std::memcpy(data, report.data(), length);
            if (read) *read = static_cast<DWORD>(length);
            handle.queue_.pop_front();
            return TRUE;
        }
        const std::uint32_t elapsed = now - start;
        const bool bounded = timeoutMs != INFINITE;
        if (bounded && elapsed >= timeoutMs) return FALSE;
        const std::uint32_t remaining = bounded ? timeoutMs - elapsed : INFINITE;
        const bool pending = !handle.queue_.empty();
        const std::uint32_t untilNext = pending ? handle.queue_.front().releaseAt - now : INFINITE;
        if (clock.IsVirtual()) {
            // Nothing waits in virtual time: move the clock to the next
            // report's arrival or to the deadline, whichever comes first.
            if (pending && untilNext <= remaining) {
                clock.Advance(untilNext);
            } else if (bounded) {
                clock.Advance(remaining);
                return FALSE;
            } else {
                return FALSE;  // would wait forever
            }
            continue;
        }
        const std::uint32_t wait = std::min(untilNext, remaining);
        if (wait == INFINITE) {
            arrived_.wait(hold);
        } else {
            arrived_.wait_for(hold, std::chrono::milliseconds(wait));
        }
    }
}

std::shared_ptr<HidInterface> HidInterfaceOf(HANDLE handle) {
    auto file = FileTable::Instance().Get(handle);
    auto hid = std::dynamic_pointer_cast<HidHandle>(file);
    return hid ? hid->Interface() : nullptr;
}

}  // namespace nuv::sim
