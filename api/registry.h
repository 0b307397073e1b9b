// The camera registry: ten open-camera records, each paired with the camera
// slot of the same position, the process-wide state and the registry lock.
//
// All of it lives in static storage and is constant-initialised, so loading
// the library does no work. Fields that exported calls read without the lock
// are atomics; the objects a record owns (control channel, parameter block,
// gain maps) are SharedRefs, so a reader's snapshot stays valid while another
// thread replaces or releases them.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "api/guarded.h"
#include "api/shared_ref.h"
#include "platform/aligned_buffer.h"
#include "platform/com_ref.h"
#include "platform/os.h"

class ewc_SampleGrabberCB;

namespace nuv {

inline constexpr int kCameraCount = 10;
inline constexpr int kParameterBlockSize = 1176;
inline constexpr int kPropertyCount = 17;

using ParameterBlock = std::array<std::uint8_t, kParameterBlockSize>;
using ParameterBlockRef = std::shared_ptr<const ParameterBlock>;
using GainMapRef = std::shared_ptr<const double[]>;

// The camera's HID control channel: owns the file handle and closes it when
// the last user lets go, so that a command or a firmware job still running
// on another thread never writes to a closed handle, or to another device
// that the OS gave the same handle value.
//
// It also keeps the report lengths of its own interface (cameras on one
// machine may report different ones) and serialises the exchanges made
// through it: two threads sending at once would otherwise read each other's
// replies from the one handle, and one of them would wait out the deadline.
class ControlChannel {
public:
    ControlChannel(HANDLE handle, unsigned inputLength, unsigned outputLength)
        : handle_(handle), inputLength_(inputLength), outputLength_(outputLength) {}
    ControlChannel(const ControlChannel &) = delete;
    ControlChannel &operator=(const ControlChannel &) = delete;
    ~ControlChannel();
    HANDLE handle() const { return handle_; }
    unsigned inputLength() const { return inputLength_; }
    unsigned outputLength() const { return outputLength_; }
    // Held for one whole exchange (command report out, reply in).
    std::mutex &exchangeLock() const { return exchangeLock_; }

private:
    HANDLE handle_;
    unsigned inputLength_;
    unsigned outputLength_;
    mutable std::mutex exchangeLock_;
};
using ControlChannelRef = std::shared_ptr<ControlChannel>;

struct CameraRecord {
    std::atomic<int> slotIndex{-1};
    std::atomic<int> handle{-1};
    SharedRef<ControlChannel> channel;
    std::atomic<int> kind{-1};
    SharedRef<const ParameterBlock> parameterBlock;
    std::atomic<int> modeIndex{-1};
    std::atomic<int> cameraNumberIndex{-1};
    SharedRef<const double[]> gainMaps[2];
    std::atomic<int> defectSwitch{1};
    std::atomic<int> shadingSwitch{1};
};

// The capture-side context of one camera.
struct CameraSlot {
    int width = 0;
    int height = 0;
    double frameRate = 0.0;
    int deviceIndex = 0;
    int devicePosition = 0;
    char friendlyName[256] = {};
    char displayName[1024] = {};
    GUID requestedSubtype = {};
    char requestedFormatName[80] = {};
    GUID subtype = {};
    char formatName[80] = {};
    std::atomic<int> running{0};
    std::atomic<int> buildStatus{0};

    // Frame delivery: the streaming thread writes and NuvReceiveImage reads
    // the buffer under frameLock, so no frame is ever torn.
    std::mutex frameLock;
    AlignedArray<std::uint8_t> frameBuffer;
    std::size_t frameCapacity = 0;
    std::atomic<int> frameLength{0};
    std::atomic<double> sampleTime{0.0};

    int propertySupport[kPropertyCount] = {};

    ComRef<IGraphBuilder> filterGraph;
    ComRef<IBaseFilter> grabberFilter;
    ComRef<ISampleGrabber> grabber;
    ComRef<ICaptureGraphBuilder2> captureBuilder;
    ComRef<IBaseFilter> captureFilter;
    ComRef<IAMVideoProcAmp> procAmp;
    ComRef<IAMCameraControl> cameraControl;
    ComRef<IMediaControl> mediaControl;
    ComRef<IAMStreamConfig> streamConfig;
    ComRef<IMoniker> moniker;
    ComRef<IEnumMoniker> monikerEnum;
    ComRef<ICreateDevEnum> deviceEnum;
    AM_MEDIA_TYPE grabberMediaType = {};
    ComRef<IPin> captureOutPin;
    ComRef<IPin> grabberInPin;
    ComRef<IMediaEvent> mediaEvent;

    // ---- Capture: protection against a close on another thread ----
    // Held by the graph build, the teardown and every video-property call
    // for the whole of their framework calls, so that a property call never
    // uses an interface that a concurrent close is releasing. The streaming
    // thread never takes it (it only takes frameLock), so stopping the graph
    // under it cannot deadlock. Never held together with the registry lock.
    std::mutex graphLock;
};

struct ProcessState {
    int lastWidth = 640;
    int lastHeight = 480;
    double lastFrameRate = 30.0;
    std::atomic<int> deviceCount{-1};
    std::atomic<int> deviceListSize{1024};
    std::atomic<int> deviceBound[kCameraCount] = {};
    std::atomic<int> processComFlag{0};
    std::atomic<HRESULT> lastComStatus{0};
    std::atomic<ewc_SampleGrabberCB *> callbackTable[kCameraCount] = {};

    // ---- Capture: open/close serialisation and COM ownership ----
    // NuvOpen and NuvClose run one at a time: the choice of a free record
    // and slot, the clearing of the slots and the COM bookkeeping of an idle
    // period are never interleaved by two threads.
    std::mutex lifecycleLock;
};

CameraRecord &Record(int index);
CameraSlot &Slot(int index);
ProcessState &Process();

// The registry lock guards writes to records. Locking it never throws: a
// failing mutex ends the process instead of turning into a result.
std::unique_lock<std::mutex> LockRegistry() noexcept;

void RegisterCamera(int slotIndex, int handle, ControlChannelRef channel, int kind, ParameterBlockRef block,
                    int modeIndex, GainMapRef map1, GainMapRef map2, int cameraNumberIndex);

// Look-ups by camera handle; none treats -1 specially and none locks.
int FindSlot(int handle);
ParameterBlockRef FindParameterBlock(int handle);
int FindModeIndex(int handle);
int FindDefectSwitch(int handle);
int FindShadingSwitch(int handle);

// The first record whose handle matches, or null.
CameraRecord *FindRecord(int handle);

// How every export that takes a camera handle finds its record: -1 is
// refused first, because free records hold -1 as their handle.
CameraRecord *LookUpCamera(int handle);

// Returns the record to its free values (handle -1, slot -1, no channel,
// kind -1, no block, mode -1, camera number -1, no maps, both switches 1).
// What the record owned is released after the lock is dropped.
void ClearRecord(CameraRecord &record);

// The slot of a record in use, or null when its slot index is out of 0..9.
CameraSlot *SlotOf(const CameraRecord &record);


}  // namespace nuv
