// The framework's filters and what the filter graph needs of them: the
// capture filter of a video source (capture pin with its stream
// configuration, the two video-property interfaces) and the sample grabber.
// Pins live inside their filter and count references on it.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/framework/com_object.h"
#include "platform/framework/source.h"

namespace nuv::framework {

// Private interface ids: let one framework object recognise another behind
// an interface pointer without RTTI.
inline constexpr GUID kIidCaptureFilter = {0x6E75760A, 0x0001, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 1}};
inline constexpr GUID kIidSampleGrabber = {0x6E75760A, 0x0002, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 2}};
inline constexpr GUID kIidPin = {0x6E75760A, 0x0003, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 3}};

class FilterBase;

class PinBase : public IPin {
public:
    PinBase(FilterBase &owner, PIN_DIRECTION direction, const char *name);
    virtual ~PinBase() = default;

    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **out) override;
    virtual HRESULT QueryMore(REFIID, void **out) {
        *out = nullptr;
        return E_NOINTERFACE;
    }

    HRESULT STDMETHODCALLTYPE Disconnect() override;
    HRESULT STDMETHODCALLTYPE ConnectedTo(IPin **pin) override;
    HRESULT STDMETHODCALLTYPE ConnectionMediaType(AM_MEDIA_TYPE *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE QueryPinInfo(PIN_INFO *info) override;
    HRESULT STDMETHODCALLTYPE QueryDirection(PIN_DIRECTION *direction) override;
    HRESULT STDMETHODCALLTYPE QueryId(LPWSTR *id) override;
    HRESULT STDMETHODCALLTYPE QueryAccept(const AM_MEDIA_TYPE *) override { return S_FALSE; }
    HRESULT STDMETHODCALLTYPE EnumMediaTypes(IEnumMediaTypes **) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE QueryInternalConnections(IPin **, ULONG *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE EndOfStream() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE BeginFlush() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE EndFlush() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE NewSegment(REFERENCE_TIME, REFERENCE_TIME, double) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Connect(IPin *, const AM_MEDIA_TYPE *) override { return VFW_E_CANNOT_CONNECT; }
    HRESULT STDMETHODCALLTYPE ReceiveConnection(IPin *, const AM_MEDIA_TYPE *) override {
        return VFW_E_CANNOT_CONNECT;
    }

    FilterBase &owner() { return owner_; }
    const WideText &name() const { return name_; }
    IPin *connected();

protected:
    FilterBase &owner_;
    const PIN_DIRECTION direction_;
    const WideText name_;
    std::mutex lock_;
    // Not a reference: the graph holds both filters while they are
    // connected and disconnects them before it lets go.
    IPin *connected_ = nullptr;
};

PinBase *AsPin(IPin *pin);

class FilterBase : public IBaseFilter, public ComObject {
public:
    NUV_COM_REFCOUNT
    ULONG AddRefFromPart() { return AddRefImpl(); }
    ULONG ReleaseFromPart() { return ReleaseImpl(); }

    virtual std::vector<PinBase *> Pins() = 0;
    virtual HRESULT QueryMore(REFIID, void **out) {
        *out = nullptr;
        return E_NOINTERFACE;
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **out) override;
    HRESULT STDMETHODCALLTYPE GetClassID(CLSID *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Stop() override;
    HRESULT STDMETHODCALLTYPE Pause() override;
    HRESULT STDMETHODCALLTYPE Run(REFERENCE_TIME) override;
    HRESULT STDMETHODCALLTYPE GetState(DWORD, FILTER_STATE *state) override;
    HRESULT STDMETHODCALLTYPE SetSyncSource(IReferenceClock *) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetSyncSource(IReferenceClock **clock) override;
    HRESULT STDMETHODCALLTYPE EnumPins(IEnumPins **out) override;
    HRESULT STDMETHODCALLTYPE FindPin(LPCWSTR id, IPin **out) override;
    HRESULT STDMETHODCALLTYPE QueryFilterInfo(FILTER_INFO *info) override;
    HRESULT STDMETHODCALLTYPE JoinFilterGraph(IFilterGraph *graph, LPCWSTR name) override;
    HRESULT STDMETHODCALLTYPE QueryVendorInfo(LPWSTR *) override { return E_NOTIMPL; }

protected:
    std::atomic<FILTER_STATE> state_{State_Stopped};
    std::mutex infoLock_;
    IFilterGraph *graph_ = nullptr;  // not a reference: the graph holds the filter
    WideText graphName_;
};

class CaptureFilter;
class SampleGrabber;

// What the graph needs from the capture filter and the grabber (no
// reference added).
CaptureFilter *AsCaptureFilter(IUnknown *object);
SampleGrabber *AsSampleGrabber(IUnknown *object);
std::shared_ptr<VideoSource> SourceOf(CaptureFilter *filter);
// The grabber whose input pin the filter's capture pin is connected to.
SampleGrabber *ConnectedGrabber(CaptureFilter *filter);
// Where a stream of the graph delivers: the grabber's callback.
FrameSink &SinkOf(SampleGrabber *grabber);

// The output pin offers a connection to the input pin.
HRESULT ConnectPins(IPin *out, IPin *in);
void DisconnectFilter(IBaseFilter *filter);

HRESULT CreateCaptureFilter(std::shared_ptr<VideoSource> source, REFIID iid, void **out);
HRESULT CreateSampleGrabber(REFIID iid, void **out);
HRESULT CreateFilterGraph(REFIID iid, void **out);
HRESULT CreateCaptureGraphBuilder(REFIID iid, void **out);
HRESULT CreateSystemDeviceEnum(REFIID iid, void **out);

}  // namespace nuv::framework
