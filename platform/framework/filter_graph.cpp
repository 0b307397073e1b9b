// The filter graph (with media control and media event), its streaming
// threads, and the capture graph builder.
#include <algorithm>
#include <cstring>
#include <thread>

#include "platform/framework/clock.h"
#include "platform/framework/filters.h"

namespace nuv::framework {
namespace {

constexpr HRESULT kWrongState = static_cast<HRESULT>(0x80040227u);
constexpr HRESULT kNotStopped = static_cast<HRESULT>(0x80040224u);

// A sink for a graph that was started but sends nothing.
class Silence final : public FrameSink {
public:
    void Deliver(double, const std::uint8_t *, std::size_t) override {}
};

// One capture filter streaming into its grabber on a thread of the
// framework's own, as the framework's streaming threads do. The source
// paces the frames.
class StreamThread {
public:
    StreamThread(IBaseFilter *captureFilter, IBaseFilter *grabberFilter, SampleGrabber *grabber,
                 std::unique_ptr<VideoStream> stream, bool silent)
        : captureFilter_(captureFilter), grabberFilter_(grabberFilter), grabber_(grabber),
          stream_(std::move(stream)), silent_(silent) {
        captureFilter_->AddRef();
        grabberFilter_->AddRef();
    }
    ~StreamThread() {
        Stop();
        stream_.reset();
        grabberFilter_->Release();
        captureFilter_->Release();
    }

    void Start() {
        thread_ = std::thread([this] {
            Silence silence;
            stream_->Run(silent_ ? static_cast<FrameSink &>(silence) : SinkOf(grabber_));
        });
    }

    // Returns once the thread has ended: no sample is delivered afterwards.
    void Stop() {
        if (!thread_.joinable()) return;
        stream_->Interrupt();
        if (thread_.get_id() == std::this_thread::get_id()) {
            thread_.detach();  // stopped from its own callback: it ends after returning
        } else {
            thread_.join();
        }
    }

private:
    IBaseFilter *captureFilter_;
    IBaseFilter *grabberFilter_;
    SampleGrabber *grabber_;
    std::unique_ptr<VideoStream> stream_;
    const bool silent_;
    std::thread thread_;
};

class FilterGraph final : public IGraphBuilder, public IMediaControl, public IMediaEvent, public ComObject {
public:
    ~FilterGraph() override {
        StopStreams();
        std::vector<IBaseFilter *> filters;
        {
            std::lock_guard<std::mutex> hold(lock_);
            filters.swap(filters_);
        }
        for (IBaseFilter *filter : filters) DisconnectFilter(filter);
        for (IBaseFilter *filter : filters) {
            filter->JoinFilterGraph(nullptr, nullptr);
            filter->Release();
        }
    }
    NUV_COM_REFCOUNT

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **out) override {
        if (out == nullptr) return E_POINTER;
        *out = nullptr;
        if (iid == IID_IUnknown || iid == IID_IGraphBuilder || iid == IID_IFilterGraph) {
            return HandOut(static_cast<IGraphBuilder *>(this), out);
        }
        if (iid == IID_IMediaControl) {
            if (Faults::Fails(FaultPoint::MediaControl)) return E_NOINTERFACE;
            return HandOut(static_cast<IMediaControl *>(this), out);
        }
        if (iid == IID_IMediaEvent) {
            if (Faults::Fails(FaultPoint::MediaEvent)) return E_NOINTERFACE;
            return HandOut(static_cast<IMediaEvent *>(this), out);
        }
        return E_NOINTERFACE;
    }

    // IFilterGraph
    HRESULT STDMETHODCALLTYPE AddFilter(IBaseFilter *filter, LPCWSTR name) override {
        if (filter == nullptr) return E_POINTER;
        const bool isGrabber = AsSampleGrabber(filter) != nullptr;
        if (Faults::Fails(isGrabber ? FaultPoint::AddGrabber : FaultPoint::AddFilter)) return E_FAIL;
        {
            std::lock_guard<std::mutex> hold(lock_);
            if (std::find(filters_.begin(), filters_.end(), filter) != filters_.end()) return E_INVALIDARG;
            filter->AddRef();
            filters_.push_back(filter);
        }
        filter->JoinFilterGraph(this, name);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE RemoveFilter(IBaseFilter *filter) override {
        if (filter == nullptr) return E_POINTER;
        {
            std::lock_guard<std::mutex> hold(lock_);
            if (running_) return kNotStopped;
            auto it = std::find(filters_.begin(), filters_.end(), filter);
            if (it == filters_.end()) return VFW_E_NOT_FOUND;
            filters_.erase(it);
        }
        DisconnectFilter(filter);
        filter->JoinFilterGraph(nullptr, nullptr);
        filter->Release();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE EnumFilters(IEnumFilters **) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE FindFilterByName(LPCWSTR, IBaseFilter **) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ConnectDirect(IPin *out, IPin *in, const AM_MEDIA_TYPE *) override {
        return Connect(out, in);
    }
    HRESULT STDMETHODCALLTYPE Reconnect(IPin *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Disconnect(IPin *pin) override { return pin ? pin->Disconnect() : E_POINTER; }
    HRESULT STDMETHODCALLTYPE SetDefaultSyncSource() override { return S_OK; }

    // IGraphBuilder
    HRESULT STDMETHODCALLTYPE Connect(IPin *out, IPin *in) override {
        if (out == nullptr || in == nullptr) return E_POINTER;
        if (Faults::Fails(FaultPoint::Connect)) return VFW_E_CANNOT_CONNECT;
        return ConnectPins(out, in);
    }
    HRESULT STDMETHODCALLTYPE Render(IPin *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE RenderFile(LPCWSTR, LPCWSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE AddSourceFilter(LPCWSTR, LPCWSTR, IBaseFilter **) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetLogFile(DWORD_PTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Abort() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE ShouldOperationContinue() override { return S_OK; }

    // IDispatch (of both media interfaces): not offered.
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo **) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR *, UINT, LCID, DISPID *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS *, VARIANT *, EXCEPINFO *,
                                     UINT *) override {
        return E_NOTIMPL;
    }

    // IMediaControl
    HRESULT STDMETHODCALLTYPE Run() override {
        std::lock_guard<std::mutex> control(controlLock_);
        {
            std::lock_guard<std::mutex> hold(lock_);
            if (running_) return S_OK;
        }
        if (Faults::Fails(FaultPoint::Run)) return E_FAIL;
        std::vector<IBaseFilter *> filters;
        {
            std::lock_guard<std::mutex> hold(lock_);
            filters = filters_;
        }
        const bool silent = Faults::Fails(FaultPoint::FirstFrame);
        std::vector<std::unique_ptr<StreamThread>> streams;
        for (IBaseFilter *filter : filters) {
            CaptureFilter *capture = AsCaptureFilter(filter);
            if (capture == nullptr) continue;
            SampleGrabber *grabber = ConnectedGrabber(capture);
            if (grabber == nullptr) continue;
            IBaseFilter *grabberFilter = nullptr;
            for (IBaseFilter *candidate : filters) {
                if (AsSampleGrabber(candidate) == grabber) grabberFilter = candidate;
            }
            if (grabberFilter == nullptr) continue;  // connected to a grabber outside this graph
            std::unique_ptr<VideoStream> stream = SourceOf(capture)->Start();
            if (!stream) return E_FAIL;  // the streams started so far end with the vector
            streams.push_back(std::make_unique<StreamThread>(filter, grabberFilter, grabber, std::move(stream), silent));
        }
        for (IBaseFilter *filter : filters) filter->Run(0);
        {
            std::lock_guard<std::mutex> hold(lock_);
            running_ = true;
        }
        for (auto &stream : streams) stream->Start();
        std::lock_guard<std::mutex> hold(lock_);
        streams_ = std::move(streams);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Pause() override { return E_NOTIMPL; }
    // A refused stop leaves the graph running.
    HRESULT STDMETHODCALLTYPE Stop() override {
        std::lock_guard<std::mutex> control(controlLock_);
        if (Faults::Fails(FaultPoint::Stop)) return E_FAIL;
        StopStreams();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetState(LONG, OAFilterState *state) override {
        if (state == nullptr) return E_POINTER;
        std::lock_guard<std::mutex> hold(lock_);
        *state = running_ ? State_Running : State_Stopped;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE RenderFile(BSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE AddSourceFilter(BSTR, IDispatch **) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_FilterCollection(IDispatch **) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_RegFilterCollection(IDispatch **) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE StopWhenReady() override { return Stop(); }

    // IMediaEvent. A capture graph never completes: a wait on a running
    // graph times out (E_ABORT) on the framework's clock; a stopped graph
    // answers at once that it is not running, unless the wait is made to
    // time out.
    HRESULT STDMETHODCALLTYPE GetEventHandle(OAEVENT *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetEvent(long *, LONG_PTR *, LONG_PTR *, long) override { return E_ABORT; }
    HRESULT STDMETHODCALLTYPE WaitForCompletion(long timeout, long *code) override {
        if (code == nullptr) return E_POINTER;
        *code = 0;
        Clock &clock = Clock::Instance();
        const auto ms = timeout < 0 ? 0xFFFFFFFFu : static_cast<std::uint32_t>(timeout);
        const bool timesOut = Faults::Fails(FaultPoint::WaitForCompletion);
        std::unique_lock<std::mutex> hold(lock_);
        if (!running_ && !timesOut) return kWrongState;
        if (clock.IsVirtual()) {
            hold.unlock();
            clock.Sleep(ms);
            return E_ABORT;
        }
        const bool stopped = stoppedCv_.wait_for(hold, std::chrono::milliseconds(ms), [&] { return !running_; });
        return stopped && !timesOut ? kWrongState : E_ABORT;
    }
    HRESULT STDMETHODCALLTYPE CancelDefaultHandling(long) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE RestoreDefaultHandling(long) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE FreeEventParams(long, LONG_PTR, LONG_PTR) override { return S_OK; }

private:
    void StopStreams() {
        std::vector<std::unique_ptr<StreamThread>> streams;
        std::vector<IBaseFilter *> filters;
        {
            std::lock_guard<std::mutex> hold(lock_);
            streams.swap(streams_);
            filters = filters_;
        }
        streams.clear();  // joins every streaming thread
        for (IBaseFilter *filter : filters) filter->Stop();
        std::lock_guard<std::mutex> hold(lock_);
        running_ = false;
        stoppedCv_.notify_all();
    }

    std::mutex controlLock_;  // Run and Stop, one at a time
    std::mutex lock_;
    std::condition_variable stoppedCv_;
    std::vector<IBaseFilter *> filters_;
    std::vector<std::unique_ptr<StreamThread>> streams_;
    bool running_ = false;
};

class CaptureGraphBuilder final : public ICaptureGraphBuilder2, public ComObject {
public:
    ~CaptureGraphBuilder() override {
        if (graph_) graph_->Release();
    }
    NUV_COM_REFCOUNT

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **out) override {
        if (out == nullptr) return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_ICaptureGraphBuilder2) {
            return HandOut(static_cast<ICaptureGraphBuilder2 *>(this), out);
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    HRESULT STDMETHODCALLTYPE SetFiltergraph(IGraphBuilder *graph) override {
        if (graph == nullptr) return E_POINTER;
        if (graph_ != nullptr) return E_UNEXPECTED;
        graph->AddRef();
        graph_ = graph;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetFiltergraph(IGraphBuilder **graph) override {
        if (graph == nullptr) return E_POINTER;
        *graph = graph_;
        if (graph_ == nullptr) return E_UNEXPECTED;
        graph_->AddRef();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetOutputFileName(const GUID *, LPCOLESTR, IBaseFilter **, IFileSinkFilter **) override {
        return E_NOTIMPL;
    }
    // The capture pin's interfaces for the capture category of video, the
    // filter's own otherwise.
    HRESULT STDMETHODCALLTYPE FindInterface(const GUID *category, const GUID *type, IBaseFilter *filter, REFIID iid,
                                            void **out) override {
        if (out == nullptr || filter == nullptr) return E_POINTER;
        *out = nullptr;
        if (Faults::Fails(FaultPoint::FindInterface)) return E_FAIL;
        CaptureFilter *capture = AsCaptureFilter(filter);
        const bool videoCapture = category != nullptr && *category == PIN_CATEGORY_CAPTURE &&
                                  (type == nullptr || *type == MEDIATYPE_Video);
        if (capture != nullptr && videoCapture) {
            IEnumPins *pins = nullptr;
            if (filter->EnumPins(&pins) != S_OK) return E_FAIL;
            IPin *pin = nullptr;
            HRESULT result = E_NOINTERFACE;
            while (result != S_OK && pins->Next(1, &pin, nullptr) == S_OK) {
                PIN_DIRECTION direction;
                if (pin->QueryDirection(&direction) == S_OK && direction == PINDIR_OUTPUT) {
                    result = pin->QueryInterface(iid, out);
                }
                pin->Release();
            }
            pins->Release();
            return result;
        }
        if (category != nullptr) return E_NOINTERFACE;
        return filter->QueryInterface(iid, out);
    }
    HRESULT STDMETHODCALLTYPE RenderStream(const GUID *, const GUID *, IUnknown *, IBaseFilter *, IBaseFilter *) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE ControlStream(const GUID *, const GUID *, IBaseFilter *, REFERENCE_TIME *,
                                            REFERENCE_TIME *, WORD, WORD) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE AllocCapFile(LPCOLESTR, DWORDLONG) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CopyCaptureFile(LPOLESTR, LPOLESTR, int, IAMCopyCaptureFileProgress *) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE FindPin(IUnknown *, PIN_DIRECTION, const GUID *, const GUID *, BOOL, int,
                                      IPin **) override {
        return E_NOTIMPL;
    }

private:
    IGraphBuilder *graph_ = nullptr;
};

}  // namespace

HRESULT CreateFilterGraph(REFIID iid, void **out) { return CreateObject<FilterGraph>(iid, out); }

HRESULT CreateCaptureGraphBuilder(REFIID iid, void **out) { return CreateObject<CaptureGraphBuilder>(iid, out); }

}  // namespace nuv::framework
