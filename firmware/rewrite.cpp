#include "firmware/rewrite.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include "common/guarded.h"
#include "common/holders.h"
#include "control/hid_transport.h"
#include "firmware/testing.h"
#include "platform/aligned_buffer.h"
#include "nuv.h"

namespace nuv {

namespace {

constexpr int kMaxAttempts = 6;  // per chunk, in a row: write, read, and mismatches each
constexpr std::uint32_t kImagePadding = 64;

// The one rewrite job of the process, shared by the callers' threads and
// the worker, guarded by its lock.
struct RewriteJob {
    std::mutex lock;
    // A NuvSoftRewrite is between its checks and the worker's start: a
    // second caller is refused meanwhile.
    bool reserved = false;
    // Resources held: worker handle, image, a reference to the channel. The
    // reference keeps the channel's handle open while the worker writes
    // through it, whatever the camera's record does meanwhile.
    bool active = false;
    std::shared_ptr<ControlChannel> channel;
    // Whose job it is, also after release, so that later queries of the
    // same camera repeat the final answer; expires when the camera closes.
    std::weak_ptr<ControlChannel> owner;
    AlignedArray<std::uint8_t> image;
    std::uint32_t size = 0;
    int state = kRewriteFailed;
    int elapsed = 0;
    float progress = 0.0f;
    HANDLE thread = nullptr;
    std::atomic<bool> stop{false};
};

RewriteJob gJob;

std::mutex gObserverLock;
testing::RewriteObserver gObserver;
std::atomic<bool> gObserved{false};  // spares the worker the lock when nobody follows

bool IsFinal(int state) { return state == kRewriteDone || state == kRewriteFailed; }

// Under the job lock, with the worker ended.
void ReleaseLocked() {
    gJob.image.reset();
    gJob.channel.reset();
    gJob.active = false;
}

// Releases a job whose worker has stored its final state. The worker is
// waited for with the lock released (it may still be on its way out of its
// last publication, which takes the lock); meanwhile the job has no thread
// handle, so nobody else waits for it or starts another job. hold is locked
// on entry and on return.
void ReleaseFinishedJob(std::unique_lock<std::mutex> &hold) {
    if (!gJob.active || gJob.thread == nullptr || !IsFinal(gJob.state)) return;
    const HANDLE thread = gJob.thread;
    gJob.thread = nullptr;
    hold.unlock();
    os::WaitForSingleObject(thread, INFINITE);
    os::CloseHandle(thread);
    hold.lock();
    ReleaseLocked();
}

// Stores elapsed time, progress and (when given) the state under the lock,
// then tells the observer outside it.
void Publish(DWORD start, float progress, const int *state = nullptr) {
    int current, elapsed;
    {
        std::lock_guard<std::mutex> hold(gJob.lock);
        gJob.elapsed = static_cast<int>((os::GetTickCount() - start) / 1000u);
        gJob.progress = progress;
        if (state) gJob.state = *state;
        current = gJob.state;
        elapsed = gJob.elapsed;
    }
    if (!gObserved.load(std::memory_order_relaxed)) return;
    testing::RewriteObserver observer;
    {
        std::lock_guard<std::mutex> hold(gObserverLock);
        observer = gObserver;
    }
    if (observer) observer(current, elapsed, progress);
}

void SetState(int state, DWORD start) {
    float progress;
    {
        std::lock_guard<std::mutex> hold(gJob.lock);
        progress = gJob.progress;
    }
    Publish(start, progress, &state);
}

// Percent in single precision from the unsigned byte counts: the write phase
// runs towards 50, the verify phase towards 100.
float Percent(std::uint32_t done, std::uint32_t size) {
    return static_cast<float>(done) / static_cast<float>(2u * size) * 100.0f;
}

bool WritePhase(const ControlChannel &channel, const std::uint8_t *image, std::uint32_t size, DWORD start) {
    std::uint32_t address = 0;
    int attempts = 0;
    while (address < size) {
        if (gJob.stop.load()) return false;
        if (FlashWriteChunk(channel, address, image + address)) {
            attempts = 0;
            address += kFlashChunkSize;
        } else if (++attempts >= kMaxAttempts) {
            Publish(start, Percent(address, size));
            return false;
        }
        Publish(start, Percent(address, size));
    }
    return true;
}

bool VerifyPhase(const ControlChannel &channel, const std::uint8_t *image, std::uint32_t size, DWORD start) {
    std::uint32_t address = 0;
    int readAttempts = 0;
    int mismatches = 0;
    std::uint8_t chunk[kFlashChunkSize];
    while (address < size) {
        if (gJob.stop.load()) return false;
        if (!FlashReadChunk(channel, address, chunk)) {
            if (++readAttempts >= kMaxAttempts) return false;
            continue;
        }
        readAttempts = 0;
        if (std::memcmp(chunk, image + address, kFlashChunkSize) != 0) {
            if (++mismatches >= kMaxAttempts) return false;
            continue;
        }
        mismatches = 0;
        address += kFlashChunkSize;
        Publish(start, Percent(address + size, size));
    }
    return true;
}

DWORD WINAPI RewriteWorker(LPVOID) {
    const ControlChannel *channel;
    const std::uint8_t *image;
    std::uint32_t size;
    DWORD start;
    {
        std::lock_guard<std::mutex> hold(gJob.lock);
        channel = gJob.channel.get();
        image = gJob.image.get();
        size = gJob.size;
        start = os::GetTickCount();
    }
    // The image and the channel stay in place until this thread has ended:
    // only a release after waiting for it frees them.
    int final = kRewriteFailed;
    try {
        SetState(kRewriteWriting, start);
        if (WritePhase(*channel, image, size, start)) {
            SetState(kRewriteVerifying, start);
            if (VerifyPhase(*channel, image, size, start)) final = kRewriteDone;
        }
    } catch (...) {
        final = kRewriteFailed;
    }
    // The last time the worker takes the lock; a query that sees the final
    // state waits for this thread to end (without holding the lock).
    SetState(final, start);
    return 0;
}

struct ImageFile {
    AlignedArray<std::uint8_t> bytes;
    std::uint32_t size = 0;
};

// The whole file, in a buffer 64 bytes longer than it, filled with 0xFF so
// that the last chunk is padded with erased-flash bytes. Only a disk file is
// read: a pipe or a device that nobody writes to would hold the caller (and
// the job) forever. Refuses an empty image and one that would reach the
// parameter block's sector.
bool ReadImage(const char *path, ImageFile &out) {
    FileHandle file(os::CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid() || os::GetFileType(file.get()) != FILE_TYPE_DISK) return false;
    LARGE_INTEGER length{};
    if (!os::GetFileSizeEx(file.get(), &length)) return false;
    if (length.QuadPart <= 0 || length.QuadPart >= static_cast<LONGLONG>(kMaxImageSize)) return false;
    const auto size = static_cast<std::uint32_t>(length.QuadPart);
    AlignedArray<std::uint8_t> bytes = AllocateArray<std::uint8_t>(size + kImagePadding);
    if (!bytes) return false;
    std::memset(bytes.get(), 0xFF, size + kImagePadding);
    // Never more than the size measured: a file that grew meanwhile cannot
    // overrun the buffer, one that shrank is refused.
    std::uint32_t done = 0;
    while (done < size) {
        DWORD got = 0;
        if (!os::ReadFile(file.get(), bytes.get() + done, size - done, &got, nullptr)) return false;
        if (got == 0) break;
        done += got;
    }
    if (done != size) return false;
    out.bytes = std::move(bytes);
    out.size = size;
    return true;
}

// Clears the reservation of a NuvSoftRewrite that did not start a worker.
struct Reservation {
    ~Reservation() {
        if (held) {
            std::lock_guard<std::mutex> hold(gJob.lock);
            gJob.reserved = false;
        }
    }
    bool held = false;
};

}  // namespace

namespace testing {

void SetRewriteObserver(RewriteObserver observer) {
    std::lock_guard<std::mutex> hold(gObserverLock);
    gObserved = static_cast<bool>(observer);
    gObserver = std::move(observer);
}

}  // namespace testing

void FinishRewriteBeforeClose(const ControlChannel *channel) {
    if (channel == nullptr) return;
    HANDLE thread;
    {
        std::lock_guard<std::mutex> hold(gJob.lock);
        if (!gJob.active || gJob.channel.get() != channel || gJob.thread == nullptr) return;
        gJob.stop = true;
        thread = gJob.thread;
        gJob.thread = nullptr;  // ours to wait for and close now
    }
    // Not under the lock: the worker takes it to publish until it ends.
    os::WaitForSingleObject(thread, INFINITE);
    os::CloseHandle(thread);
    std::lock_guard<std::mutex> hold(gJob.lock);
    ReleaseLocked();
}

}  // namespace nuv

using namespace nuv;

NuvBool NUV_CALL NuvSoftRewrite(int handle, const char *path) {
    return Guarded<NuvBool>(0, [&]() -> NuvBool {
        CameraRecord *record = LookUpCamera(handle);
        if (record == nullptr || path == nullptr) return 0;
        std::shared_ptr<ControlChannel> channel = record->channel.load();
        if (channel == nullptr || channel->handle() == nullptr) return 0;

        Reservation reservation;
        {
            std::unique_lock<std::mutex> hold(gJob.lock);
            if (gJob.reserved) return 0;
            // A running job is left alone. One that finished without being
            // queried yet is released here.
            ReleaseFinishedJob(hold);
            if (gJob.active || gJob.reserved) return 0;
            gJob.reserved = true;
            reservation.held = true;
        }

        ImageFile image;
        if (!ReadImage(path, image)) return 0;
        // Sectors 0 up to the one holding the image's size: bits 16..23.
        if (!FlashErase(*channel, 0, static_cast<std::uint8_t>(image.size >> 16))) return 0;

        std::lock_guard<std::mutex> hold(gJob.lock);
        gJob.channel = channel;
        gJob.owner = channel;
        gJob.image = std::move(image.bytes);
        gJob.size = image.size;
        gJob.state = kRewriteStarted;
        gJob.elapsed = 0;
        gJob.progress = 0.0f;
        gJob.stop = false;
        // The worker's first step takes the lock, so it starts on a full job.
        HANDLE thread = os::CreateThread(nullptr, 0, &RewriteWorker, nullptr, 0, nullptr);
        if (thread == nullptr) {
            ReleaseLocked();
            gJob.owner.reset();  // no job exists: queries answer -1
            gJob.state = kRewriteFailed;
            return 0;
        }
        gJob.thread = thread;
        gJob.active = true;
        return 1;
    });
}

int NUV_CALL NuvSoftRewriteState(int handle, int *elapsed, float *progress) {
    return Guarded<int>(-1, [&]() -> int {
        const CameraRecord *record = LookUpCamera(handle);
        if (record == nullptr || elapsed == nullptr || progress == nullptr) return -1;
        const std::shared_ptr<ControlChannel> channel = record->channel.load();
        if (channel == nullptr) return -1;
        std::unique_lock<std::mutex> hold(gJob.lock);
        const std::shared_ptr<ControlChannel> owner = gJob.owner.lock();
        if (owner == nullptr || owner != channel) return -1;
        *elapsed = gJob.elapsed;
        *progress = gJob.progress;
        const int state = gJob.state;
        // The first query that sees the final state releases the job.
        if (IsFinal(state)) ReleaseFinishedJob(hold);
        return state;
    });
}
