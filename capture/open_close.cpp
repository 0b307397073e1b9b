// Opening a camera (graph, control channel, parameter block, gain maps,
// camera number, registration), handing out its frames, closing it, and
// opening by serial number.
//
// Opens of different cameras run side by side: only the choice of a free
// record and slot, and the COM bookkeeping of an idle period, happen under
// capture's open lock, one open or close at a time. The build (with its wait
// for the first frame) and the control side run outside it.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/guarded.h"
#include "api/registry.h"
#include "capture/capture.h"
#include "capture/capture_slot.h"
#include "common/com.h"
#include "common/process_state.h"
#include "control/control_channel.h"
#include "control/hid_transport.h"
#include "control/video_properties.h"
#include "correction/correction.h"
#include "discovery/discovery.h"
#include "firmware/rewrite.h"
#include "nuv.h"

namespace nuv {

namespace {

// COM apartments belong to threads: only the thread whose initialisation
// the process COM flag records can balance it.
thread_local bool tOwnsComInitialisation = false;

// COM initialisation of an idle period: made by the first open on its
// thread, undone when nothing runs any more. Under the open lock.
void InitialiseComIfIdle() {
    ProcessState &process = Process();
    if (process.processComFlag.load() != 0 || Capture().deviceCount.load() != -1) return;
    // A thread whose initialisation outlived an idle period (the camera was
    // closed on another thread, which could not undo it) uses that one
    // instead of piling up another.
    if (tOwnsComInitialisation) {
        process.processComFlag = 1;
        return;
    }
    const HRESULT result = NoteCom(os::CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    // S_FALSE (COM already initialised on this thread) must be balanced as
    // well, or every idle period would leave one initialisation behind.
    if (SUCCEEDED(result)) {
        process.processComFlag = 1;
        tOwnsComInitialisation = true;
    }
}

void UndoComInitialisation() {
    ProcessState &process = Process();
    if (process.processComFlag.load() == 0) return;
    // Another thread's initialisation cannot be undone from here; calling
    // CoUninitialize anyway would end one the application made itself.
    if (tOwnsComInitialisation) {
        os::CoUninitialize();
        tOwnsComInitialisation = false;
    }
    process.processComFlag = 0;
}

// "Fill with zeros": every field of a slot back to zero, with nothing held.
void ClearSlot(int index) {
    CaptureSlot &slot = Slot(index);
    std::lock_guard<std::mutex> graph(slot.graphLock);
    ReleaseGraphLocked(index);
    slot.width = 0;
    slot.height = 0;
    slot.frameRate = 0.0;
    slot.deviceIndex = 0;
    slot.devicePosition = 0;
    std::memset(slot.friendlyName, 0, sizeof slot.friendlyName);
    std::memset(slot.displayName, 0, sizeof slot.displayName);
    slot.requestedSubtype = GUID{};
    std::memset(slot.requestedFormatName, 0, sizeof slot.requestedFormatName);
    slot.subtype = GUID{};
    std::memset(slot.formatName, 0, sizeof slot.formatName);
    slot.running = 0;
    slot.buildStatus = 0;
    for (int &flag : slot.propertySupport) flag = 0;
    std::lock_guard<std::mutex> frames(slot.frames.lock);
    slot.frames.buffer.reset();
    slot.frames.capacity = 0;
    slot.frames.length = 0;
    slot.frames.sampleTime = 0.0;
}

// The lowest free record whose slot neither runs nor is taken by an open
// under way. A slot still running without a record is one whose teardown
// was refused when its camera closed: the teardown is tried again, and a
// slot that still refuses is skipped, so one stuck graph costs one slot
// instead of every later open. Under the open lock.
int TakeFreeSlot() {
    for (int i = 0; i < kCameraCount; ++i) {
        if (Record(i).slotIndex.load() != -1 || Capture().reserved[i]) continue;
        if (Slot(i).running.load() != 0) StopAndReleaseGraph(i);
        if (Slot(i).running.load() == 0) return i;
    }
    return -1;
}

// The number of names in a device list that a listing call returned with
// result listed: the count it gave, or for a list that did not fit (-1),
// the complete names it holds (a trailing separator starts no name).
int NamesInList(const char *list, int listed) {
    if (listed >= 0) return listed;
    const std::size_t length = std::strlen(list);
    if (length == 0) return 0;
    const int separators = static_cast<int>(std::count(list, list + length, ','));
    return list[length - 1] == ',' ? separators : separators + 1;
}

// Name number position of a device list. Every field counts, an empty one
// too (a device without a name is listed as ""), so that position k of the
// list is always device k.
bool NameAt(const char *list, int listed, int position, std::string &name) {
    if (position < 0 || position >= NamesInList(list, listed)) return false;
    const char *p = list;
    for (int index = 0; index < position; ++index) {
        p = std::strchr(p, ',');
        if (p == nullptr) return false;
        ++p;
    }
    const char *end = std::strchr(p, ',');
    name.assign(p, end != nullptr ? end : p + std::strlen(p));
    return true;
}

// The device list of a listing export, always terminated. A remembered size
// of 0 or less is replaced by fallback; the buffer starts small and grows
// while the list does not fit, so a size some caller passed (however large)
// never decides what an open allocates.
std::vector<char> FetchList(int(NUV_CALL *list)(char *, int), int fallback, int *result) {
    if (Process().deviceListSize.load() <= 0) Process().deviceListSize = fallback;
    constexpr int kFirstSize = 1024;
    constexpr int kLargestSize = 1 << 20;
    std::vector<char> buffer;
    for (int size = kFirstSize;; size *= 2) {
        buffer.assign(static_cast<std::size_t>(size) + 1, '\0');
        *result = list(buffer.data(), size);
        if (*result != -1 || size >= kLargestSize) break;
    }
    buffer.back() = '\0';
    return buffer;
}

// The control side of an open, for a camera with a control channel. False
// when the camera cannot be registered; what was made is dropped then.
bool OpenControlSide(int slotIndex, int position, int kind, int width, int height) {
    ControlChannelRef channel = OpenControlChannel(Slot(slotIndex).displayName);
    if (!channel) return false;

    auto block = std::make_shared<ParameterBlock>();
    if (!ReadParameterBlock(*channel, *block)) return false;

    // From the arguments as passed, not from the values a build substituted.
    const int modeIndex = protocol::ModeOf(width, height);
    if (modeIndex < 0) return false;

    GainMapRef maps[2];
    if (kind == kKindNuv2) {
        for (int k = 0; k < 2; ++k) {
            std::shared_ptr<GainMap> map = AllocateGainMap(modeIndex);
            if (!map) return false;
            if (ComputeGainMap(k + 1, map.get(), modeIndex, *block)) maps[k] = std::move(map);
        }
    }

    double cameraNumber = 0.0;
    if (!GetProperty(slotIndex, kPropertyCameraNumber, &cameraNumber)) return false;
    const int cameraNumberIndex = static_cast<int>(std::trunc(cameraNumber)) - 1;

    RegisterCamera(slotIndex, position, std::move(channel), kind, std::move(block), modeIndex, std::move(maps[0]),
                   std::move(maps[1]), cameraNumberIndex);
    return true;
}

// Everything of an open after the choice of its slot: the build, the name,
// and for the library's cameras the control side. -1 leaves the slot torn
// down and nothing registered.
int OpenChosenSlot(int slotIndex, int position, int width, int height) {
    BuildCaptureGraph(slotIndex);
    if (Slot(slotIndex).buildStatus.load() != kBuildOk) return -1;

    int listed = 0;
    std::vector<char> list = FetchList(&NuvGetDevice, 512, &listed);
    std::string name;
    if (listed == 0 || !NameAt(list.data(), listed, position, name)) {
        TeardownGraph(slotIndex);
        return -1;
    }
    int kind = kKindVideoOnly;
    if (name == "NUV") kind = kKindNuv;
    else if (name == "NUV2") kind = kKindNuv2;
    if (kind == kKindVideoOnly) {
        RegisterCamera(slotIndex, position, nullptr, kKindVideoOnly, nullptr, -1, nullptr, nullptr, -1);
        return 1;
    }
    bool registered = false;
    try {
        registered = OpenControlSide(slotIndex, position, kind, width, height);
    } catch (...) {
        registered = false;
    }
    if (registered) return 0;
    TeardownGraph(slotIndex);
    return -1;
}

int Open(int position, int width, int height, double frameRate, const char *formatName) {
    // The eight names a camera can be opened with, exact and case-sensitive.
    GUID subtype{};
    if (formatName == nullptr || !SubtypeFromFormatName(formatName, &subtype)) return -1;

    CaptureState &capture = Capture();
    int slotIndex = -1;
    {
        std::lock_guard<std::mutex> hold(capture.openLock);
        if (const CameraRecord *open = FindRecord(position); open != nullptr && open->slotIndex.load() != -1)
            return -1;
        for (int i = 0; i < kCameraCount; ++i)
            if (capture.reserved[i] && Slot(i).deviceIndex == position) return -1;  // being opened
        slotIndex = TakeFreeSlot();
        if (slotIndex == -1) return -1;

        InitialiseComIfIdle();
        if (capture.deviceCount.load() == -1 && capture.opening == 0)
            for (int i = 0; i < kCameraCount; ++i) ClearSlot(i);

        CaptureSlot &slot = Slot(slotIndex);
        std::lock_guard<std::mutex> graph(slot.graphLock);
        slot.width = width;
        slot.height = height;
        slot.frameRate = frameRate;
        slot.deviceIndex = position;
        slot.displayName[0] = '\0';
        slot.requestedSubtype = subtype;
        slot.subtype = subtype;
        slot.buildStatus = -1;
        capture.reserved[slotIndex] = true;
        ++capture.opening;
    }

    int result = -1;
    try {
        result = OpenChosenSlot(slotIndex, position, width, height);
    } catch (...) {
        TeardownGraph(slotIndex);
        result = -1;
    }

    std::lock_guard<std::mutex> hold(capture.openLock);
    capture.reserved[slotIndex] = false;
    --capture.opening;
    if (result == -1) EndIdlePeriodIfNothingRuns();
    return result;
}

bool ReceiveImage(int handle, void *image) {
    const CameraRecord *record = LookUpCamera(handle);
    if (record == nullptr || image == nullptr) return false;
    const int slotIndex = record->slotIndex.load();
    CaptureSlot *slot = SlotOf(*record);
    if (slot == nullptr || slot->running.load() == 0) return false;
    FrameStore &frames = slot->frames;
    // The same lock as the streaming thread's copy and the teardown's
    // release: the frame is never torn and never freed under the copy.
    std::lock_guard<std::mutex> hold(frames.lock);
    ewc_SampleGrabberCB *callback = frames.callback;
    if (callback == nullptr || slot->running.load() == 0) return false;
    FrameCorrections corrections;
    {
        // The record as it stands with this frame: a close clears it only
        // after the teardown, which needs the frame lock held here.
        auto registry = LockRegistry();
        if (record->handle.load() != handle || record->slotIndex.load() != slotIndex) return false;
        corrections = CurrentCorrections(*record);
    }
    const double sampleTime = frames.sampleTime.load();
    // Exact comparison; a NaN on either side counts as a new frame.
    if (sampleTime == callback->lastDeliveredTime) return false;
    callback->lastDeliveredTime = sampleTime;
    // Corrected on the way out of the slot's buffer, in one pass.
    const int length = frames.length.load();
    CopyCorrected(corrections, image, frames.buffer.get(),
                  length > 0 && frames.buffer ? static_cast<std::size_t>(length) : 0);
    return true;
}

int BufferSize(int handle) {
    const CameraRecord *record = LookUpCamera(handle);
    if (record == nullptr) return 0;
    const CaptureSlot *slot = SlotOf(*record);
    if (slot == nullptr || slot->running.load() == 0) return 0;
    return slot->frames.length.load();
}

void Close(int handle) {
    NuvSetLed(handle, 0);
    if (CameraRecord *record = LookUpCamera(handle)) {
        // Commands still running on other threads keep their own reference:
        // the handle closes when the last of them lets go.
        if (ControlChannelRef channel = record->channel.load()) {
            // No rewrite job may go on writing through a closed camera.
            FinishRewriteBeforeClose(channel.get());
            record->channel.exchange(nullptr);
        }
    }
    if (const CameraRecord *record = LookUpCamera(handle)) {
        const int slotIndex = record->slotIndex.load();
        if (slotIndex != -1) TeardownGraph(slotIndex);
    }
    if (CameraRecord *record = LookUpCamera(handle)) ClearRecord(*record);
}

int OpenSerialNo(const char *serial, int *handle, int width, int height, double frameRate) {
    if (serial == nullptr || handle == nullptr) return -1;
    char request[128] = {};
    const std::size_t length = strnlen(serial, 124);
    if (length > 123) return -1;
    const char *confirmFormat = nullptr;
    if (std::strstr(serial, "NUV#") != nullptr) confirmFormat = "NUV#%08X";
    else if (std::strstr(serial, "NUV2#") != nullptr) confirmFormat = "NUV2#%08X";
    else return -1;
    std::memcpy(request, serial, length);

    int listed = 0;
    std::vector<char> list = FetchList(&NuvGetDeviceWithSerialNo, 1024, &listed);
    if (listed == 0) return -1;
    int position = -1;
    std::string entry;
    for (int i = 0; NameAt(list.data(), listed, i, entry); ++i) {
        if (entry == request) {
            position = i;
            break;
        }
    }
    if (position == -1) return -1;

    if (NuvOpen(position, width, height, frameRate, "YUY2") == -1) return -1;
    int number = 0;
    if (!NuvGetSerialNo(position, &number)) {
        NuvClose(position);
        return -1;
    }
    char confirmation[128];
    std::snprintf(confirmation, sizeof confirmation, confirmFormat, static_cast<unsigned int>(number));
    if (std::strcmp(confirmation, request) != 0) {
        NuvClose(position);
        return -1;
    }
    *handle = position;
    return 0;
}

}  // namespace

void EndIdlePeriodIfNothingRuns() {
    CaptureState &capture = Capture();
    if (capture.opening != 0) return;
    for (int i = 0; i < kCameraCount; ++i)
        if (Slot(i).running.load() != 0) return;
    UndoComInitialisation();
    capture.deviceCount = -1;
}

}  // namespace nuv

using namespace nuv;

int NUV_CALL NuvOpen(int position, int width, int height, double frameRate, const char *formatName) {
    return Guarded<int>(-1, [&] { return Open(position, width, height, frameRate, formatName); });
}

NuvBool NUV_CALL NuvReceiveImage(int handle, void *image) {
    return Guarded<NuvBool>(0, [&]() -> NuvBool { return ReceiveImage(handle, image) ? 1 : 0; });
}

int NUV_CALL NuvGetBufferSize(int handle) {
    return Guarded<int>(0, [&] { return BufferSize(handle); });
}

void NUV_CALL NuvClose(int handle) {
    if (handle == -1) return;
    Guarded<int>(0, [&] {
        Close(handle);
        return 0;
    });
}

int NUV_CALL NuvOpenSerialNo(const char *serial, int *handle, int width, int height, double frameRate) {
    return Guarded<int>(-1, [&] { return OpenSerialNo(serial, handle, width, height, frameRate); });
}
