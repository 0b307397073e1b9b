#include "platform/sim/control_function.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "platform/framework/clock.h"

namespace nuv::sim {

using framework::Clock;

namespace {

// Tick counts wrap: compare by signed distance.
bool IsDue(std::uint32_t releaseAt, std::uint32_t now) { return static_cast<std::int32_t>(releaseAt - now) <= 0; }

}  // namespace

// One open handle: its own queue of input reports, as the OS keeps per
// handle.
class ControlFunction::Port final : public framework::ControlHandle {
public:
    explicit Port(std::shared_ptr<ControlFunction> function) : function_(std::move(function)) {}
    ~Port() override { function_->Detach(this); }

    bool Write(const std::uint8_t *report, std::size_t length) override {
        return function_->WriteReport(report, length);
    }
    bool Read(std::uint8_t *report, std::size_t capacity, std::size_t *length, DWORD timeoutMs) override {
        return function_->ReadReport(*this, report, capacity, length, timeoutMs);
    }

    std::deque<Pending> queue;  // guarded by the function's lock

private:
    std::shared_ptr<ControlFunction> function_;
};

ControlFunction::ControlFunction(std::string path, std::string instanceId, std::string parentInstanceId,
                                 WideText serialString, std::uint32_t serialNumber, int inputLength, int outputLength)
    : path_(std::move(path)),
      instanceId_(std::move(instanceId)),
      parentInstanceId_(std::move(parentInstanceId)),
      serialString_(std::move(serialString)),
      firmware_(serialNumber),
      inputLength_(inputLength),
      outputLength_(outputLength) {}

bool ControlFunction::SerialString(WideText *serial) const {
    *serial = serialString_;
    return true;
}

int ControlFunction::InputReportLength() const {
    std::lock_guard<std::mutex> hold(lock_);
    return inputLength_;
}

int ControlFunction::OutputReportLength() const {
    std::lock_guard<std::mutex> hold(lock_);
    return outputLength_;
}

bool ControlFunction::Present() const {
    std::lock_guard<std::mutex> hold(lock_);
    return present_;
}

void ControlFunction::SetReportLengths(int inputLength, int outputLength) {
    std::lock_guard<std::mutex> hold(lock_);
    inputLength_ = inputLength;
    outputLength_ = outputLength;
}

DWORD ControlFunction::LastOpenFlags() const {
    std::lock_guard<std::mutex> hold(lock_);
    return lastOpenFlags_;
}

void ControlFunction::Unplug() {
    std::lock_guard<std::mutex> hold(lock_);
    present_ = false;
    pause_ = PausePoint{};
    released_ = held_;
    changed_.notify_all();
}

std::shared_ptr<framework::ControlHandle> ControlFunction::Open(DWORD flags) {
    auto port = std::make_shared<Port>(shared_from_this());
    std::lock_guard<std::mutex> hold(lock_);
    if (!present_) return nullptr;
    lastOpenFlags_ = flags;
    ports_.push_back(port.get());
    return port;
}

void ControlFunction::Detach(Port *port) {
    std::lock_guard<std::mutex> hold(lock_);
    ports_.erase(std::remove(ports_.begin(), ports_.end(), port), ports_.end());
}

std::vector<std::uint8_t> ControlFunction::ParameterBlock() const {
    std::vector<std::uint8_t> block(Firmware::kParameterBlockSize);
    std::lock_guard<std::mutex> hold(lock_);
    firmware_.FlashPeek(Firmware::kParameterBlockAddress, block.data(), block.size());
    return block;
}

void ControlFunction::AddFault(const ReplyFault &fault) {
    if (fault.count <= 0) return;
    std::lock_guard<std::mutex> hold(lock_);
    faults_.push_back(fault);
    faults_.back().skip = std::max(fault.skip, 0);
}

void ControlFunction::FailWrites(int skip, int count) {
    std::lock_guard<std::mutex> hold(lock_);
    failWritesSkip_ = std::max(0, skip);
    failWrites_ = std::max(0, count);
}

void ControlFunction::ScriptReply(std::vector<std::uint8_t> report) {
    std::lock_guard<std::mutex> hold(lock_);
    scripted_.push_back(std::move(report));
}

void ControlFunction::PauseAt(int command, int skip) {
    std::lock_guard<std::mutex> hold(lock_);
    pause_ = PausePoint{true, command, std::max(0, skip)};
}

bool ControlFunction::WaitUntilPaused(unsigned timeoutMs) {
    std::unique_lock<std::mutex> hold(lock_);
    return changed_.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] { return held_ != released_; });
}

void ControlFunction::Resume() {
    std::lock_guard<std::mutex> hold(lock_);
    released_ = held_;
    changed_.notify_all();
}

void ControlFunction::ClearFaults() {
    std::lock_guard<std::mutex> hold(lock_);
    faults_.clear();
    failWritesSkip_ = failWrites_ = 0;
    scripted_.clear();
    pause_ = PausePoint{};
    released_ = held_;
    changed_.notify_all();
}

std::size_t ControlFunction::CommandCount() const {
    std::lock_guard<std::mutex> hold(lock_);
    return log_.size();
}

int ControlFunction::CommandReport(std::size_t index, std::uint8_t *out, std::size_t size) const {
    std::lock_guard<std::mutex> hold(lock_);
    if (index >= log_.size()) return -1;
    const std::vector<std::uint8_t> &entry = log_[index];
    if (out != nullptr && size > 0 && !entry.empty()) std::memcpy(out, entry.data(), std::min(entry.size(), size));
    return static_cast<int>(entry.size());
}

void ControlFunction::ClearCommandLog() {
    std::lock_guard<std::mutex> hold(lock_);
    log_.clear();
}

bool ControlFunction::TakeFault(ReplyFault::Kind kind, std::uint8_t command, ReplyFault &taken) {
    // Every fault still letting commands pass counts this one; the first
    // fault that is due takes it.
    bool found = false;
    for (ReplyFault &fault : faults_) {
        if (fault.kind != kind || (fault.command >= 0 && fault.command != command)) continue;
        if (fault.skip > 0) {
            --fault.skip;
            continue;
        }
        if (!found) {
            found = true;
            taken = fault;
            --fault.count;
        }
    }
    faults_.erase(std::remove_if(faults_.begin(), faults_.end(), [](const ReplyFault &f) { return f.count <= 0; }),
                  faults_.end());
    return found;
}

void ControlFunction::Deliver(std::vector<std::uint8_t> report, std::uint32_t releaseAt) {
    // In order: a reply never overtakes one that left the firmware before it.
    if (anyRelease_ && !IsDue(lastRelease_, releaseAt)) releaseAt = lastRelease_;
    lastRelease_ = releaseAt;
    anyRelease_ = true;
    for (Port *port : ports_) port->queue.push_back(Pending{report, releaseAt});
    changed_.notify_all();
}

std::vector<std::uint8_t> ControlFunction::MakeReport(const Firmware::Block &reply, std::uint8_t sequence,
                                                      std::uint8_t code) const {
    std::vector<std::uint8_t> report(static_cast<std::size_t>(std::max(inputLength_, 0)), 0);
    if (report.size() > 1) report[1] = sequence;
    Firmware::Block block = reply;
    block[0] = code;
    if (report.size() > protocol::kReportHeader) {
        std::memcpy(report.data() + protocol::kReportHeader, block.data(),
                    std::min(report.size() - protocol::kReportHeader, block.size()));
    }
    return report;
}

bool ControlFunction::WriteReport(const std::uint8_t *data, std::size_t bytes) {
    if (data == nullptr) return false;
    std::unique_lock<std::mutex> hold(lock_);
    if (!present_) return false;
    if (failWrites_ > 0) {
        if (failWritesSkip_ > 0) {
            --failWritesSkip_;
        } else {
            --failWrites_;
            return false;
        }
    }
    // The HID class takes exactly one whole output report.
    if (bytes != static_cast<std::size_t>(outputLength_)) return false;
    const std::uint8_t sequence = bytes > 1 ? data[1] : 0;
    Firmware::Block command{};
    if (bytes > protocol::kReportHeader) {
        std::memcpy(command.data(), data + protocol::kReportHeader,
                    std::min(bytes - protocol::kReportHeader, Firmware::kBlockSize));
    }
    const std::uint8_t code = command[0];

    if (pause_.armed && (pause_.command < 0 || pause_.command == code)) {
        if (pause_.skip > 0) {
            --pause_.skip;
        } else {
            // Held until resumed; the point is spent, so another can be
            // armed for later commands meanwhile.
            pause_ = PausePoint{};
            const std::uint64_t ticket = ++held_;
            changed_.notify_all();
            changed_.wait(hold, [&] { return released_ >= ticket; });
            if (!present_) return false;
        }
    }

    if (log_.size() >= kLogCapacity) log_.pop_front();
    log_.emplace_back(data, data + bytes);

    const std::uint32_t now = Clock::Instance().Now();
    if (!scripted_.empty()) {
        Deliver(std::move(scripted_.front()), now);
        scripted_.pop_front();
        return true;
    }

    ReplyFault fault;
    Firmware::Block reply{};
    if (TakeFault(ReplyFault::Kind::Status, code, fault)) {
        // A refusing firmware does not carry the command out.
        reply[0] = code;
        reply[protocol::kReplyStatusByte] = fault.status;
    } else {
        reply = firmware_.Answer(command);
    }
    const bool flash = code == protocol::kCmdFlashWrite || code == protocol::kCmdFlashRead;
    if (flash && TakeFault(ReplyFault::Kind::EchoAddress, code, fault)) {
        const std::uint32_t echoed = ((std::uint32_t{reply[1]} << 16) | (std::uint32_t{reply[2]} << 8) | reply[3]) +
                                     static_cast<std::uint32_t>(fault.addressDelta);
        reply[1] = static_cast<std::uint8_t>(echoed >> 16);
        reply[2] = static_cast<std::uint8_t>(echoed >> 8);
        reply[3] = static_cast<std::uint8_t>(echoed);
    }
    if (code == protocol::kCmdFlashRead && TakeFault(ReplyFault::Kind::CorruptRead, code, fault)) {
        reply[protocol::kFlashDataByte + static_cast<std::size_t>(fault.dataByte) % Firmware::kChunkSize] ^= 0x01;
    }
    if (TakeFault(ReplyFault::Kind::Drop, code, fault)) return true;

    std::uint32_t releaseAt = now;
    if (TakeFault(ReplyFault::Kind::Late, code, fault)) releaseAt = now + fault.delayMs;
    if (TakeFault(ReplyFault::Kind::Mismatch, code, fault)) {
        Deliver(MakeReport(reply, static_cast<std::uint8_t>(sequence + fault.sequenceDelta),
                           static_cast<std::uint8_t>(code + fault.codeDelta)),
                releaseAt);
        if (!fault.thenAnswer) return true;
    }
    Deliver(MakeReport(reply, sequence, code), releaseAt);
    return true;
}

// Never holds the function's lock while the clock moves: a streaming thread
// that must catch up with the clock reads the flash through that lock.
bool ControlFunction::ReadReport(Port &port, std::uint8_t *data, std::size_t capacity, std::size_t *length,
                                 DWORD timeoutMs) {
    *length = 0;
    Clock &clock = Clock::Instance();
    std::unique_lock<std::mutex> hold(lock_);
    // The HID class refuses a buffer shorter than one input report.
    if (capacity < static_cast<std::size_t>(std::max(inputLength_, 0))) return false;
    const std::uint32_t start = clock.Now();
    const bool bounded = timeoutMs != INFINITE;
    for (;;) {
        if (!present_) return false;
        const std::uint32_t now = clock.Now();
        if (!port.queue.empty() && IsDue(port.queue.front().releaseAt, now)) {
            const std::vector<std::uint8_t> &report = port.queue.front().report;
            *length = std::min(report.size(), capacity);
            if (*length > 0) std::memcpy(data, report.data(), *length);
            port.queue.pop_front();
            return true;
        }
        const std::uint32_t elapsed = now - start;
        if (bounded && elapsed >= timeoutMs) return false;
        const std::uint32_t remaining = bounded ? timeoutMs - elapsed : INFINITE;
        const bool pending = !port.queue.empty();
        const std::uint32_t untilNext = pending ? port.queue.front().releaseAt - now : INFINITE;
        if (clock.IsVirtual()) {
            // Nothing waits in virtual time: move the clock to the next
            // report's arrival or to the deadline, whichever comes first.
            if (!pending && !bounded) return false;  // would wait forever
            const std::uint32_t step = pending && untilNext <= remaining ? untilNext : remaining;
            hold.unlock();
            clock.Advance(step);
            hold.lock();
            continue;
        }
        const std::uint32_t wait = std::min(untilNext, remaining);
        if (wait == INFINITE) {
            changed_.wait(hold);
        } else {
            changed_.wait_for(hold, std::chrono::milliseconds(wait));
        }
    }
}

}  // namespace nuv::sim
