// The COM objects of the simulated media framework. Each object counts its
// own references and is counted by the world while it lives, so tests can
// see that the library released everything it made.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "platform/os.h"
#include "platform/sim/optics.h"
#include "platform/sim/video_device.h"
#include "platform/sim/world.h"

namespace nuv::sim {

// Private interface ids: let one simulated object recognise another behind
// an interface pointer without RTTI.
inline constexpr GUID kIidSimCaptureFilter = {0x6E75760A, 0x0001, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 1}};
inline constexpr GUID kIidSimGrabber = {0x6E75760A, 0x0002, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 2}};
inline constexpr GUID kIidSimPin = {0x6E75760A, 0x0003, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 3}};
inline constexpr GUID kIidMoniker = {0x0000000F, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr GUID kIidEnumMoniker = {0x00000102, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr GUID kIidPersist = {0x0000010C, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

class ComObject {
public:
    ComObject(const ComObject &) = delete;
    ComObject &operator=(const ComObject &) = delete;

protected:
    ComObject() { World::Instance().NoteComObject(+1); }
    virtual ~ComObject() { World::Instance().NoteComObject(-1); }
    ULONG AddRefImpl() { return ++refs_; }
    ULONG ReleaseImpl() {
        const ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }

private:
    std::atomic<ULONG> refs_{1};
};

#define NUV_SIM_COM_REFCOUNT                                                \
    ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }      \
    ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }

template <class I>
HRESULT HandOut(I *object, void **out) {
    object->AddRef();
    *out = object;
    return S_OK;
}

// Factories behind CoCreateInstance.
HRESULT CreateSystemDeviceEnum(REFIID iid, void **out);
HRESULT CreateFilterGraph(REFIID iid, void **out);
HRESULT CreateCaptureGraphBuilder(REFIID iid, void **out);
HRESULT CreateSampleGrabber(REFIID iid, void **out);
// The capture filter of a device (BindToObject).
HRESULT CreateCaptureFilter(std::shared_ptr<VirtualCamera> camera, REFIID iid, void **out);

class CaptureFilter;
class SampleGrabber;

// What the graph needs from the capture filter and the grabber.
CaptureFilter *AsCaptureFilter(IUnknown *object);   // no reference added
SampleGrabber *AsSampleGrabber(IUnknown *object);   // no reference added
std::shared_ptr<VirtualCamera> CameraOf(CaptureFilter *filter);
// The grabber whose input pin the filter's capture pin is connected to.
SampleGrabber *ConnectedGrabber(CaptureFilter *filter);
// Hands one sample to the grabber's callback; false when the grabber takes
// no more samples (one-shot done) or has no buffer callback.
void DeliverSample(SampleGrabber *grabber, double sampleTime, BYTE *data, long length);
// The capture filter's output pin accepts a connection to the grabber's
// input pin when the grabber's media type admits the current format.
HRESULT ConnectPins(IPin *out, IPin *in);
void DisconnectFilter(IBaseFilter *filter);

// Makes the frames of one stream: the scene as the camera's sensor sees it
// (10-bit values in 16-bit words, darkened towards the corners by the
// inverse of the camera's stored shading set, hot pixels at its stored
// defect positions) with the frame counter in the first words. The scene is
// kept between frames and made again only when what it depends on changed.
class FrameGenerator {
public:
    void Generate(const VirtualCamera &camera, const VideoCapability &format, std::uint64_t counter,
                  std::vector<std::uint8_t> &bytes);

private:
    OpticsRenderer optics_;
    std::vector<std::uint8_t> scene_;
    std::vector<std::uint8_t> block_;
    int cameraNumber_ = 0;
    int width_ = -1;
    int height_ = -1;
};

// The camera's parameter block as its firmware holds it (1176 bytes); false
// for a device without firmware.
bool ReadCameraParameterBlock(const VirtualCamera &camera, std::vector<std::uint8_t> &block);
// The frame length of a format.
std::size_t FrameLength(const VideoCapability &format);

// Fills a media type for a capability (format block allocated with
// CoTaskMemAlloc). Null on allocation failure.
AM_MEDIA_TYPE *NewMediaType(const VideoCapability &cap);

}  // namespace nuv::sim
