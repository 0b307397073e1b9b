// The sample callback of a camera slot: the media framework hands it every
// frame of the slot's graph on the graph's streaming thread.
//
// Its lifetime belongs to the slot's graph, not to reference counts: the
// graph owns it and destroys it after every framework object, so nothing
// that still holds it can reach freed memory.
#pragma once

#include "platform/os.h"

namespace nuv {
struct FrameStore;
}

// final and without a virtual destructor: its table holds exactly the five
// operations of the interface.
class ewc_SampleGrabberCB final : public ISampleGrabberCB {
public:
    ewc_SampleGrabberCB(int slotIndex, nuv::FrameStore &frames) : slotIndex_(slotIndex), frames_(frames) {}
    ~ewc_SampleGrabberCB() = default;
    ewc_SampleGrabberCB(const ewc_SampleGrabberCB &) = delete;
    ewc_SampleGrabberCB &operator=(const ewc_SampleGrabberCB &) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **object) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE SampleCB(double, IMediaSample *) override { return S_OK; }
    // Copies the sample into the slot's frame buffer under the frames' lock,
    // growing the buffer when a sample is longer than its capacity
    // (compressed formats vary); stores the sample time after the bytes.
    HRESULT STDMETHODCALLTYPE BufferCB(double sampleTime, BYTE *buffer, long length) override;

    int slotIndex() const { return slotIndex_; }
    // The sample time of the frame NuvReceiveImage handed out last; read and
    // written under the frames' lock.
    double lastDeliveredTime = 0.0;

    // From here on samples are dropped without touching the slot: for a graph
    // whose grabber refused to let go of the callback, or that could not be
    // stopped. Called, like every read of the flag, under the frames' lock.
    void Detach() { detached_ = true; }

private:
    int slotIndex_;
    nuv::FrameStore &frames_;
    bool detached_ = false;
};
