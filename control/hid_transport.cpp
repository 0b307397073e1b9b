#include "control/hid_transport.h"
#include "control/testing.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

namespace nuv {

namespace {

// Reports shorter than the usual length cannot carry a whole command or
// reply block.
constexpr std::size_t kHeaderBytes = kReportHeader;
constexpr std::size_t kMinReportLength = kReportLength;

// Process-wide, shared by every camera and thread; every exchange takes its
// own number.
std::atomic<std::uint8_t> gSequence{0};

void PutAddress(CommandBlock &command, std::uint32_t address) {
    command[1] = static_cast<std::uint8_t>(address >> 16);
    command[2] = static_cast<std::uint8_t>(address >> 8);
    command[3] = static_cast<std::uint8_t>(address);
}

bool EchoesAddress(const CommandBlock &command, const ReplyBlock &reply) {
    return reply[1] == command[1] && reply[2] == command[2] && reply[3] == command[3];
}

}  // namespace

namespace testing {
std::uint8_t NextSequenceNumber() { return gSequence.load(); }
}  // namespace testing

bool HidTransact(const ControlChannel &channel, const CommandBlock &command, ReplyBlock &reply) {
    const HANDLE handle = channel.handle();
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return false;
    const std::size_t outLength = channel.outputLength();
    const std::size_t inLength = channel.inputLength();
    // Reports too short to carry a whole command or reply block would have
    // the device see a cut command or us read past the report: refuse, like
    // a write that failed (nothing sent, sequence number kept).
    if (outLength < kMinReportLength || inLength < kMinReportLength) return false;

    // The usual report lengths fit on the stack; longer ones get the heap.
    constexpr std::size_t kLocalReport = 256;
    std::uint8_t localOut[kLocalReport];
    std::uint8_t localIn[kLocalReport];
    std::vector<std::uint8_t> heapOut, heapIn;
    std::uint8_t *out = localOut;
    std::uint8_t *in = localIn;
    if (outLength > kLocalReport) {
        heapOut.resize(outLength);
        out = heapOut.data();
    }
    if (inLength > kLocalReport) {
        heapIn.resize(inLength);
        in = heapIn.data();
    }
    std::lock_guard<std::mutex> exchange(channel.exchangeLock());
    std::memset(out, 0, outLength);
    const std::uint8_t sequence = gSequence.fetch_add(1);
    out[0] = 0;
    out[1] = sequence;
    // Only command bytes 0..62 go out, however long the report; the rest of a
    // longer report stays zero.
    std::memcpy(out + kHeaderBytes, command.data(), kWireCommandBytes);

    DWORD written = 0;
    if (!os::WriteFileWithin(handle, out, static_cast<DWORD>(outLength), &written, kReplyDeadlineMs) ||
        written != outLength) {
        // Nothing went out: the number is given back, unless another
        // exchange has taken one since (it must not be handed out twice).
        std::uint8_t taken = static_cast<std::uint8_t>(sequence + 1);
        gSequence.compare_exchange_strong(taken, sequence);
        return false;
    }

    const DWORD start = os::GetTickCount();
    for (;;) {
        // Unsigned difference: a wrap of the tick counter does no harm.
        const DWORD elapsed = os::GetTickCount() - start;
        if (elapsed >= kReplyDeadlineMs) return false;
        std::memset(in, 0, inLength);
        DWORD got = 0;
        const BOOL ok = os::ReadFileWithin(handle, in, static_cast<DWORD>(inLength), &got,
                                           kReplyDeadlineMs - elapsed);
        if (!ok || got < kMinReportLength) {
            // A read that failed before its time (device gone) must not turn
            // the loop into a busy spin until the deadline.
            if (os::GetTickCount() - start < kReplyDeadlineMs) os::Sleep(1);
            continue;
        }
        // A report answering something else (a late reply to an exchange
        // that timed out, another thread's reply) is dropped. The next read
        // waits by itself, so no sleep is needed before it.
        if (in[1] == sequence && in[2] == command[0]) {
            std::memcpy(reply.data(), in + kHeaderBytes, kReplyBlockSize);
            return true;
        }
    }
}

bool FlashWriteChunk(const ControlChannel &channel, std::uint32_t address, const std::uint8_t *data56) {
    CommandBlock command{};
    command[0] = kCmdFlashWrite;
    PutAddress(command, address);
    std::memcpy(command.data() + 4, data56, kFlashChunkSize);
    ReplyBlock reply{};
    return HidTransact(channel, command, reply) && reply[kReplyStatusByte] == kStatusOk && EchoesAddress(command, reply);
}

bool FlashReadChunk(const ControlChannel &channel, std::uint32_t address, std::uint8_t *data56) {
    CommandBlock command{};
    command[0] = kCmdFlashRead;
    PutAddress(command, address);
    ReplyBlock reply{};
    if (!HidTransact(channel, command, reply) || reply[kReplyStatusByte] != kStatusOk || !EchoesAddress(command, reply)) return false;
    std::memcpy(data56, reply.data() + 4, kFlashChunkSize);
    return true;
}

bool FlashErase(const ControlChannel &channel, std::uint8_t firstSector, std::uint8_t lastSector) {
    CommandBlock command{};
    command[0] = kCmdFlashErase;
    command[1] = firstSector;
    command[2] = lastSector;
    ReplyBlock reply{};
    return HidTransact(channel, command, reply) && reply[kReplyStatusByte] == kStatusOk;
}

bool ReadParameterBlock(const ControlChannel &channel, ParameterBlock &block) {
    // Read into a copy: a failed read leaves the caller's block as it was.
    ParameterBlock incoming;
    incoming.fill(0xFF);
    for (int i = 0; i < kParameterBlockChunks; ++i) {
        const std::uint32_t offset = kFlashChunkSize * static_cast<std::uint32_t>(i);
        if (!FlashReadChunk(channel, kParameterBlockAddress + offset, incoming.data() + offset)) return false;
    }
    block = incoming;
    return true;
}

bool WriteParameterBlock(const ControlChannel &channel, const ParameterBlock &block) {
    for (int i = 0; i < kParameterBlockChunks; ++i) {
        const std::uint32_t offset = kFlashChunkSize * static_cast<std::uint32_t>(i);
        if (!FlashWriteChunk(channel, kParameterBlockAddress + offset, block.data() + offset)) return false;
    }
    return true;
}

bool UpdateParameterBlock(const ControlChannel &channel, LockedRef<ParameterBlockRef> &cache,
                          const std::function<void(ParameterBlock &)> &change) {
    const std::shared_ptr<const ParameterBlock> current = cache.load();
    if (current == nullptr) return false;
    if (!FlashErase(channel, kParameterBlockSector, kParameterBlockSector)) return false;
    auto copy = std::make_shared<ParameterBlock>(*current);
    if (change) change(*copy);
    if (!WriteParameterBlock(channel, *copy)) return false;
    // Readers holding the old block keep it alive until they let go.
    cache.store(std::move(copy));
    return true;
}

}  // namespace nuv
