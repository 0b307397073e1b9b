// The capture graph of a camera slot: build (with its first-frame check and
// retries), teardown, and the release of its framework objects.
//
// Order is what keeps the streaming thread safe: a graph is always stopped
// and its callback detached before the frame buffer and the callback object
// are freed, and those are freed before the framework objects are released.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <mutex>
#include <new>

#include "capture/capture.h"
#include "capture/capture_internal.h"
#include "capture/sample_grabber_cb.h"
#include "discovery/discovery.h"

namespace nuv {

HRESULT NoteCom(HRESULT result) {
    Process().lastComStatus = result;
    return result;
}

namespace {

// Media types handed out by the framework own their format block.
void FreeMediaType(AM_MEDIA_TYPE *type) {
    if (type == nullptr) return;
    if (type->cbFormat != 0 || type->pbFormat != nullptr) os::CoTaskMemFree(type->pbFormat);
    if (type->pUnk != nullptr) type->pUnk->Release();
    os::CoTaskMemFree(type);
}

struct MediaTypeHolder {
    AM_MEDIA_TYPE *type = nullptr;
    ~MediaTypeHolder() { FreeMediaType(type); }
};

void CopyNarrow(const WCHAR *wide, char *out, int outSize) {
    out[0] = '\0';
    if (wide == nullptr) return;
    if (os::WideCharToMultiByte(CP_ACP, 0, wide, -1, out, outSize, nullptr, nullptr) == 0) out[0] = '\0';
    out[outSize - 1] = '\0';
}

// The temporary references of one build attempt, released when it fails
// before the slot's own objects.
void ReleaseAttemptTemporaries(CameraSlot &slot) {
    slot.deviceEnum.reset();
    slot.monikerEnum.reset();
    slot.moniker.reset();
    slot.streamConfig.reset();
    slot.captureOutPin.reset();
    slot.grabberInPin.reset();
}

// Stops the graph of a failed build. Its results are not kept as the last
// COM status: that stays the result of the step that failed.
void StopGraphLocked(CameraSlot &slot) {
    if (!slot.filterGraph) return;
    ComRef<IMediaControl> control;
    if (slot.filterGraph.query(IID_IMediaControl, control) == S_OK && control) control->Stop();
}

// Items 4 and 5 of the build: walks the video-input category, counts the
// plug-and-play devices and binds the one the slot asks for.
int BindDevice(int slotIndex, CameraSlot &slot) {
    ProcessState &process = Process();
    bool boundInWalk = false;
    int plugAndPlay = 0;
    for (;;) {
        slot.moniker.reset();
        ULONG fetched = 0;
        if (slot.monikerEnum->Next(1, slot.moniker.put(), &fetched) != S_OK || !slot.moniker) break;

        LPOLESTR wideName = nullptr;
        if (NoteCom(slot.moniker->GetDisplayName(nullptr, nullptr, &wideName)) != S_OK || wideName == nullptr) {
            if (wideName) os::CoTaskMemFree(wideName);
            return kBuildDisplayName;
        }
        char displayName[1024];
        CopyNarrow(wideName, displayName, sizeof displayName);
        const bool isPnp = std::wcsstr(wideName, L"@device:pnp") != nullptr;
        os::CoTaskMemFree(wideName);
        if (!isPnp) continue;

        char friendlyName[256] = {};
        {
            ComRef<IPropertyBag> bag;
            if (NoteCom(slot.moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag, bag.putVoid())) == S_OK &&
                bag) {
                VARIANT value;
                os::VariantInit(&value);
                if (NoteCom(bag->Read(L"FriendlyName", &value, nullptr)) == S_OK && value.vt == VT_BSTR)
                    CopyNarrow(value.bstrVal, friendlyName, sizeof friendlyName);
                os::VariantClear(&value);
            }
        }

        const bool matches = slot.deviceIndex == -1 || slot.deviceIndex == plugAndPlay;
        if (matches && !boundInWalk && process.deviceBound[slotIndex].load() == 0) {
            // A device that cannot be bound fails as adding it would.
            if (NoteCom(slot.moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter,
                                                   slot.captureFilter.putVoid())) != S_OK ||
                !slot.captureFilter) {
                slot.captureFilter.reset();
                return kBuildAddCaptureFilter;
            }
            wchar_t filterName[32];
            std::swprintf(filterName, 32, L"Video Capture %d", slotIndex);
            if (NoteCom(slot.filterGraph->AddFilter(slot.captureFilter.get(), filterName)) != S_OK)
                return kBuildAddCaptureFilter;
            slot.devicePosition = plugAndPlay;
            std::memcpy(slot.friendlyName, friendlyName, sizeof friendlyName);
            std::memcpy(slot.displayName, displayName, sizeof displayName);
            process.deviceBound[slotIndex] = 1;
            boundInWalk = true;
        }
        ++plugAndPlay;
    }
    slot.moniker.reset();
    slot.monikerEnum.reset();
    slot.deviceEnum.reset();
    if (process.deviceCount.load() == -1) process.deviceCount = plugAndPlay;
    if (process.deviceCount.load() == 0) return kBuildNoDevices;
    if (!boundInWalk) return kBuildNoDeviceBound;
    return kBuildOk;
}

// Item 8: the device's current format with the request written into it.
int SetFormat(CameraSlot &slot) {
    ProcessState &process = Process();
    MediaTypeHolder format;
    if (NoteCom(slot.streamConfig->GetFormat(&format.type)) != S_OK || format.type == nullptr)
        return kBuildSetFormat;

    if (slot.width == 0) slot.width = process.lastWidth;
    if (slot.height == 0) slot.height = process.lastHeight;
    if (slot.frameRate == 0.0) slot.frameRate = process.lastFrameRate;
    process.lastWidth = slot.width;
    process.lastHeight = slot.height;
    process.lastFrameRate = slot.frameRate;

    AM_MEDIA_TYPE *type = format.type;
    if (type->formattype != FORMAT_VideoInfo || type->pbFormat == nullptr ||
        type->cbFormat < sizeof(VIDEOINFOHEADER))
        return kBuildSetFormat;
    // A rate whose frame interval cannot be expressed is refused here rather
    // than converted with undefined results.
    const double interval = std::floor(1e7 / slot.frameRate + 0.5);
    if (!std::isfinite(interval) || interval < -9.0e18 || interval > 9.0e18) return kBuildSetFormat;

    auto *info = reinterpret_cast<VIDEOINFOHEADER *>(type->pbFormat);
    info->bmiHeader.biWidth = slot.width;
    info->bmiHeader.biHeight = slot.height;
    info->AvgTimePerFrame = static_cast<REFERENCE_TIME>(interval);
    type->subtype = slot.requestedSubtype;
    slot.subtype = slot.requestedSubtype;
    FormatNameFromSubtype(slot.requestedSubtype, slot.requestedFormatName);
    FormatNameFromSubtype(slot.subtype, slot.formatName);
    if (NoteCom(slot.streamConfig->SetFormat(type)) != S_OK) return kBuildSetFormat;
    slot.streamConfig.reset();
    return kBuildOk;
}

void ProbeProperties(CameraSlot &slot) {
    for (int &flag : slot.propertySupport) flag = 0;
    long minimum = 0, maximum = 0, step = 0, initial = 0, caps = 0;
    if (NoteCom(slot.captureFilter.query(IID_IAMVideoProcAmp, slot.procAmp)) == S_OK && slot.procAmp) {
        for (int k = 0; k < 10; ++k)
            slot.propertySupport[k] =
                NoteCom(slot.procAmp->GetRange(k, &minimum, &maximum, &step, &initial, &caps)) == S_OK ? 1 : 0;
    }
    slot.procAmp.reset();
    if (NoteCom(slot.captureFilter.query(IID_IAMCameraControl, slot.cameraControl)) == S_OK && slot.cameraControl) {
        for (int k = 0; k < 7; ++k)
            slot.propertySupport[10 + k] =
                NoteCom(slot.cameraControl->GetRange(k, &minimum, &maximum, &step, &initial, &caps)) == S_OK ? 1
                                                                                                             : 0;
    }
    slot.cameraControl.reset();
}

// One attempt of the build; the slot's graph lock is held.
int BuildAttempt(int slotIndex, CameraSlot &slot, bool &ran) {
    if (NoteCom(os::CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                     slot.filterGraph.putVoid())) != S_OK ||
        !slot.filterGraph)
        return kBuildFilterGraph;
    if (NoteCom(os::CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum,
                                     slot.deviceEnum.putVoid())) != S_OK ||
        !slot.deviceEnum)
        return kBuildDeviceEnumerator;
    // An empty category (S_FALSE) fails as well.
    if (NoteCom(slot.deviceEnum->CreateClassEnumerator(CLSID_VideoInputDeviceCategory, slot.monikerEnum.put(), 0)) !=
            S_OK ||
        !slot.monikerEnum)
        return kBuildClassEnumerator;
    if (const int status = BindDevice(slotIndex, slot); status != kBuildOk) return status;

    if (NoteCom(os::CoCreateInstance(CLSID_CaptureGraphBuilder2, nullptr, CLSCTX_INPROC_SERVER,
                                     IID_ICaptureGraphBuilder2, slot.captureBuilder.putVoid())) != S_OK ||
        !slot.captureBuilder || NoteCom(slot.captureBuilder->SetFiltergraph(slot.filterGraph.get())) != S_OK)
        return kBuildCaptureBuilder;
    if (NoteCom(slot.captureBuilder->FindInterface(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Video, slot.captureFilter.get(),
                                                   IID_IAMStreamConfig, slot.streamConfig.putVoid())) != S_OK ||
        !slot.streamConfig)
        return kBuildStreamConfig;
    if (const int status = SetFormat(slot); status != kBuildOk) return status;

    if (NoteCom(os::CoCreateInstance(CLSID_SampleGrabber, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                     slot.grabberFilter.putVoid())) != S_OK ||
        !slot.grabberFilter || NoteCom(slot.grabberFilter.query(IID_ISampleGrabber, slot.grabber)) != S_OK ||
        !slot.grabber)
        return kBuildSampleGrabber;
    slot.grabberMediaType = AM_MEDIA_TYPE{};
    slot.grabberMediaType.majortype = MEDIATYPE_Video;
    slot.grabberMediaType.subtype = slot.requestedSubtype;
    slot.grabberMediaType.formattype = FORMAT_VideoInfo;
    if (NoteCom(slot.grabber->SetMediaType(&slot.grabberMediaType)) != S_OK) return kBuildGrabberMediaType;
    wchar_t grabberName[32];
    std::swprintf(grabberName, 32, L"Grabber %d", slotIndex);
    if (NoteCom(slot.filterGraph->AddFilter(slot.grabberFilter.get(), grabberName)) != S_OK) return kBuildAddGrabber;

    slot.captureOutPin = FindPin(slot.captureFilter.get(), PINDIR_OUTPUT);
    slot.grabberInPin = FindPin(slot.grabberFilter.get(), PINDIR_INPUT);
    if (!slot.captureOutPin || !slot.grabberInPin ||
        NoteCom(slot.filterGraph->Connect(slot.captureOutPin.get(), slot.grabberInPin.get())) != S_OK)
        return kBuildConnect;
    slot.captureOutPin.reset();
    slot.grabberInPin.reset();

    if (NoteCom(slot.grabber->SetBufferSamples(FALSE)) != S_OK) return kBuildBufferSamples;
    if (NoteCom(slot.grabber->SetOneShot(FALSE)) != S_OK) return kBuildOneShot;

    {
        std::lock_guard<std::mutex> hold(slot.frameLock);
        slot.frameBuffer.reset();
        slot.frameCapacity = 0;
        slot.frameLength = 0;
        slot.sampleTime = 0.0;
    }
    auto *callback = new (std::nothrow) ewc_SampleGrabberCB(slotIndex);
    if (callback == nullptr) return kBuildCallback;
    Process().callbackTable[slotIndex] = callback;
    if (NoteCom(slot.grabber->SetCallback(callback, 1)) != S_OK) return kBuildCallback;

    ProbeProperties(slot);

    if (NoteCom(slot.filterGraph.query(IID_IMediaEvent, slot.mediaEvent)) != S_OK || !slot.mediaEvent)
        return kBuildMediaEvent;
    if (NoteCom(slot.filterGraph.query(IID_IMediaControl, slot.mediaControl)) != S_OK || !slot.mediaControl)
        return kBuildMediaControl;
    ran = true;
    const HRESULT run = NoteCom(slot.mediaControl->Run());
    slot.mediaControl.reset();
    if (run != S_OK) return kBuildRun;

    // A running capture graph does not complete: this is a pause while the
    // first frames arrive; its outcome is not looked at.
    long eventCode = 0;
    NoteCom(slot.mediaEvent->WaitForCompletion(static_cast<long>(kFirstFrameTimeoutMs), &eventCode));

    // The first frame: the poll yields the processor between looks (a
    // spinning poll would starve the streaming thread on a busy machine)
    // and stays bounded by the time-out.
    const DWORD start = os::GetTickCount();
    while (slot.frameLength.load() == 0) {
        if (static_cast<DWORD>(os::GetTickCount() - start) > kFirstFrameTimeoutMs) return kBuildNoFirstFrame;
        os::Sleep(1);
    }
    return kBuildOk;
}

}  // namespace

ComRef<IPin> FindPin(IBaseFilter *filter, PIN_DIRECTION direction) {
    ComRef<IPin> found;
    if (filter == nullptr) return found;
    ComRef<IEnumPins> pins;
    if (NoteCom(filter->EnumPins(pins.put())) != S_OK || !pins) return found;
    for (;;) {
        ComRef<IPin> pin;
        ULONG fetched = 0;
        if (pins->Next(1, pin.put(), &fetched) != S_OK || !pin) break;
        PIN_DIRECTION pinDirection = PINDIR_INPUT;
        if (NoteCom(pin->QueryDirection(&pinDirection)) == S_OK && pinDirection == direction) {
            found = std::move(pin);
            break;
        }
    }
    return found;
}

namespace {

// Stops frames from reaching the slot: the grabber is asked to let go of the
// callback, and the callback drops whatever still arrives (a grabber that
// refused, or a graph that could not be stopped).
void DetachCallbackLocked(int slotIndex, CameraSlot &slot) {
    // Not kept as the last COM status, like the stop of a failed build.
    if (slot.grabber) slot.grabber->SetCallback(nullptr, 1);
    std::lock_guard<std::mutex> hold(slot.frameLock);
    if (ewc_SampleGrabberCB *callback = Process().callbackTable[slotIndex].load()) callback->Detach();
}

}  // namespace

void ReleaseGraphLocked(int slotIndex) {
    if (slotIndex < 0 || slotIndex >= kCameraCount) return;
    CameraSlot &slot = Slot(slotIndex);
    ProcessState &process = Process();
    if (slot.devicePosition != -1) process.deviceBound[slotIndex] = 0;

    DetachCallbackLocked(slotIndex, slot);
    {
        std::lock_guard<std::mutex> hold(slot.frameLock);
        slot.frameBuffer.reset();
        slot.frameCapacity = 0;
    }

    slot.mediaEvent.reset();
    slot.mediaControl.reset();
    slot.cameraControl.reset();
    slot.procAmp.reset();
    slot.grabber.reset();
    slot.grabberFilter.reset();
    slot.captureBuilder.reset();
    slot.captureFilter.reset();
    // The temporaries too, in case a failed step left one behind.
    slot.captureOutPin.reset();
    slot.grabberInPin.reset();
    slot.streamConfig.reset();
    slot.moniker.reset();
    slot.monikerEnum.reset();
    slot.deviceEnum.reset();
    slot.filterGraph.reset();

    // Last: whatever of the framework still held the callback (a grabber that
    // refused the detach releases it when it goes) has gone by now.
    std::lock_guard<std::mutex> hold(slot.frameLock);
    delete process.callbackTable[slotIndex].exchange(nullptr);
}

void ReleaseGraph(int slotIndex) {
    if (slotIndex < 0 || slotIndex >= kCameraCount) return;
    std::lock_guard<std::mutex> hold(Slot(slotIndex).graphLock);
    ReleaseGraphLocked(slotIndex);
}

void BuildCaptureGraph(int slotIndex) {
    if (slotIndex < 0 || slotIndex >= kCameraCount) return;
    CameraSlot &slot = Slot(slotIndex);
    std::lock_guard<std::mutex> hold(slot.graphLock);
    int status = kBuildOk;
    for (int attempt = 0; attempt < kBuildAttempts; ++attempt) {
        bool ran = false;
        try {
            status = BuildAttempt(slotIndex, slot, ran);
        } catch (...) {
            status = kBuildCallback;
        }
        if (status == kBuildOk) {
            slot.running = 1;
            slot.buildStatus = kBuildOk;
            return;
        }
        ReleaseAttemptTemporaries(slot);
        // A graph that was started is stopped before its buffer and callback
        // go, so no frame lands in freed memory.
        if (ran) StopGraphLocked(slot);
        ReleaseGraphLocked(slotIndex);
        if (status != kBuildRun && status != kBuildNoFirstFrame) break;
    }
    slot.buildStatus = status;
}

int TeardownGraph(int slotIndex) {
    if (slotIndex < 0 || slotIndex >= kCameraCount) return 1;
    CameraSlot &slot = Slot(slotIndex);
    {
        std::lock_guard<std::mutex> hold(slot.graphLock);
        if (slot.running.load() == 0) return 1;
        // A refused step leaves the graph in place (a later open tries again),
        // but it no longer delivers into the slot.
        auto refuse = [&] {
            DetachCallbackLocked(slotIndex, slot);
            return 2;
        };
        if (NoteCom(slot.filterGraph.query(IID_IMediaControl, slot.mediaControl)) != S_OK || !slot.mediaControl) {
            slot.mediaControl.reset();
            return refuse();
        }
        NoteCom(slot.mediaControl->Stop());
        slot.mediaControl.reset();
        if (slot.mediaEvent) {
            long eventCode = 0;
            if (NoteCom(slot.mediaEvent->WaitForCompletion(static_cast<long>(kFirstFrameTimeoutMs), &eventCode)) ==
                E_ABORT)
                return refuse();
        }
        ReleaseGraphLocked(slotIndex);
        slot.running = 0;
    }
    EndIdlePeriodIfNothingRuns();
    return 0;
}

void EndIdlePeriodIfNothingRuns() {
    for (int i = 0; i < kCameraCount; ++i)
        if (Slot(i).running.load() != 0) return;
    ProcessState &process = Process();
    UndoComInitialisation();
    process.deviceCount = -1;
}

}  // namespace nuv
