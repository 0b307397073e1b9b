// The simulated filter graph (with media control and media event), its
// streaming threads, and the capture graph builder.
#include <algorithm>
#include <cstring>

#include "platform/sim/clock.h"
#include "platform/sim/video_com.h"

namespace nuv::sim {
namespace {

constexpr HRESULT kWrongState = static_cast<HRESULT>(0x80040227u);
constexpr HRESULT kNotStopped = static_cast<HRESULT>(0x80040224u);

// One capture filter streaming into its grabber on a thread of its own, as
// the framework's streaming threads do. Generated frames are paced by the
// simulator's clock; pushed frames go out as soon as they are queued.
class Stream {
public:
    Stream(IBaseFilter *filter, CaptureFilter *capture, SampleGrabber *grabber, IBaseFilter *grabberFilter)
        : filter_(filter), capture_(capture), grabber_(grabber), grabberFilter_(grabberFilter),
          camera_(CameraOf(capture)) {
        filter_->AddRef();
        grabberFilter_->AddRef();
    }
    ~Stream() {
        Stop();
        grabberFilter_->Release();
        filter_->Release();
    }

    void Start() {
        Clock &clock = Clock::Instance();
        silent_ = VideoFaults::Instance().Fails(kStepFirstFrame);
        start_ = clock.Now();
        follower_ = clock.AddFollower();
        {
            std::lock_guard<std::mutex> hold(camera_->video->lock);
            ++camera_->video->activeStreams;
        }
        thread_ = std::thread([this] { Loop(); });
    }

    // Returns once the thread has ended: no sample is delivered afterwards.
    void Stop() {
        if (!thread_.joinable()) return;
        stop_ = true;
        Clock::Instance().Notify();
        if (thread_.get_id() == std::this_thread::get_id()) {
            thread_.detach();  // stopped from its own callback: it ends after returning
        } else {
            thread_.join();
        }
        Clock::Instance().RemoveFollower(follower_);
        VideoDevice &device = *camera_->video;
        std::lock_guard<std::mutex> hold(device.lock);
        --device.activeStreams;
        device.deliveredCv.notify_all();
    }

private:
    void Loop() {
        Clock &clock = Clock::Instance();
        VideoDevice &device = *camera_->video;
        std::vector<std::uint8_t> bytes;
        std::uint64_t frame = 0;
        for (;;) {
            VideoCapability format{};
            bool generate = false;
            bool havePushed = false;
            PushedFrame pushed;
            {
                std::lock_guard<std::mutex> hold(device.lock);
                if (!device.pushed.empty()) {
                    pushed = std::move(device.pushed.front());
                    device.pushed.pop_front();
                    havePushed = true;
                } else {
                    generate = device.Generates(silent_);
                    if (generate) device.CurrentFormat(&format);
                }
            }
            if (stop_) return;
            if (havePushed) {
                DeliverSample(grabber_, pushed.sampleTime, pushed.bytes.data(), static_cast<long>(pushed.bytes.size()));
                std::lock_guard<std::mutex> hold(device.lock);
                ++device.pushedDelivered;
                device.deliveredCv.notify_all();
                continue;
            }
            auto wake = [&] {
                if (stop_) return true;
                std::lock_guard<std::mutex> hold(device.lock);
                return !device.pushed.empty() || (!generate && device.Generates(silent_));
            };
            const auto offset = static_cast<std::uint32_t>(static_cast<std::uint64_t>(frame) *
                                                           static_cast<std::uint64_t>(format.frameInterval) / 10000);
            if (!clock.WaitUntil(follower_, start_ + offset, generate, wake)) {
                if (stop_) return;
                continue;
            }
            ++frame;
            generator_.Generate(*camera_, format, frame, bytes);
            const double sampleTime = static_cast<double>(frame) * static_cast<double>(format.frameInterval) / 1e7;
            DeliverSample(grabber_, sampleTime, bytes.data(), static_cast<long>(bytes.size()));
            std::lock_guard<std::mutex> hold(device.lock);
            ++device.framesDelivered;
        }
    }

    IBaseFilter *filter_;
    CaptureFilter *capture_;
    SampleGrabber *grabber_;
    IBaseFilter *grabberFilter_;
    std::shared_ptr<VirtualCamera> camera_;
    std::atomic<bool> stop_{false};
    bool silent_ = false;
    std::uint32_t start_ = 0;
    int follower_ = 0;
    FrameGenerator generator_;
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
    NUV_SIM_COM_REFCOUNT

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **out) override {
        if (out == nullptr) return E_POINTER;
        *out = nullptr;
        if (iid == IID_IUnknown || iid == IID_IGraphBuilder || iid == IID_IFilterGraph) {
            return HandOut(static_cast<IGraphBuilder *>(this), out);
        }
        if (iid == IID_IMediaControl) {
            if (VideoFaults::Instance().Fails(kStepMediaControl)) return E_NOINTERFACE;
            return HandOut(static_cast<IMediaControl *>(this), out);
        }
        if (iid == IID_IMediaEvent) {
            if (VideoFaults::Instance().Fails(kStepMediaEvent)) return E_NOINTERFACE;
            return HandOut(static_cast<IMediaEvent *>(this), out);
        }
        return E_NOINTERFACE;
    }

    // IFilterGraph
    HRESULT STDMETHODCALLTYPE AddFilter(IBaseFilter *filter, LPCWSTR name) override {
        if (filter == nullptr) return E_POINTER;
        const bool isGrabber = AsSampleGrabber(filter) != nullptr;
        if (VideoFaults::Instance().Fails(isGrabber ? kStepAddGrabber : kStepAddCaptureFilter)) return E_FAIL;
        {
            std::lock_guard<std::mutex> hold(lock_);
            for (IBaseFilter *present : filters_) {
                if (present == filter) return E_INVALIDARG;
            }
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
        if (VideoFaults::Instance().Fails(kStepConnect)) return VFW_E_CANNOT_CONNECT;
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
        if (VideoFaults::Instance().Fails(kStepRun)) return E_FAIL;
        std::vector<IBaseFilter *> filters;
        {
            std::lock_guard<std::mutex> hold(lock_);
            filters = filters_;
        }
        std::vector<std::unique_ptr<Stream>> streams;
        for (IBaseFilter *filter : filters) {
            CaptureFilter *capture = AsCaptureFilter(filter);
            if (capture == nullptr) continue;
            auto camera = CameraOf(capture);
            {
                std::lock_guard<std::mutex> hold(camera->video->lock);
                if (camera->video->runFails) return E_FAIL;
            }
            SampleGrabber *grabber = ConnectedGrabber(capture);
            if (grabber == nullptr) continue;
            IBaseFilter *grabberFilter = nullptr;
            for (IBaseFilter *candidate : filters) {
                if (AsSampleGrabber(candidate) == grabber) grabberFilter = candidate;
            }
            if (grabberFilter == nullptr) continue;  // connected to a grabber outside this graph
            streams.push_back(std::make_unique<Stream>(filter, capture, grabber, grabberFilter));
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
    HRESULT STDMETHODCALLTYPE Stop() override {
        std::lock_guard<std::mutex> control(controlLock_);
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
    // graph times out (E_ABORT) on the simulator's clock; a stopped graph
    // answers at once that it is not running.
    HRESULT STDMETHODCALLTYPE GetEventHandle(OAEVENT *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetEvent(long *, LONG_PTR *, LONG_PTR *, long) override { return E_ABORT; }
    HRESULT STDMETHODCALLTYPE WaitForCompletion(long timeout, long *code) override {
        if (code == nullptr) return E_POINTER;
        *code = 0;
        Clock &clock = Clock::Instance();
        std::unique_lock<std::mutex> hold(lock_);
        if (!running_) return kWrongState;
        const auto ms = static_cast<std::uint32_t>(timeout < 0 ? 0xFFFFFFFFu : static_cast<std::uint32_t>(timeout));
        if (clock.IsVirtual()) {
            hold.unlock();
            clock.Sleep(ms);
            return E_ABORT;
        }
        const bool stopped = stoppedCv_.wait_for(hold, std::chrono::milliseconds(ms), [&] { return !running_; });
        return stopped ? kWrongState : E_ABORT;
    }
    HRESULT STDMETHODCALLTYPE CancelDefaultHandling(long) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE RestoreDefaultHandling(long) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE FreeEventParams(long, LONG_PTR, LONG_PTR) override { return S_OK; }

private:
    void StopStreams() {
        std::vector<std::unique_ptr<Stream>> streams;
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
    std::vector<std::unique_ptr<Stream>> streams_;
    bool running_ = false;
};

class CaptureGraphBuilder final : public ICaptureGraphBuilder2, public ComObject {
public:
    ~CaptureGraphBuilder() override {
        if (graph_) graph_->Release();
    }
    NUV_SIM_COM_REFCOUNT

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
        if (VideoFaults::Instance().Fails(kStepFindInterface)) return E_FAIL;
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

HRESULT CreateFilterGraph(REFIID iid, void **out) {
    auto *graph = new FilterGraph();
    const HRESULT result = graph->QueryInterface(iid, out);
    graph->Release();
    return result;
}

HRESULT CreateCaptureGraphBuilder(REFIID iid, void **out) {
    auto *builder = new CaptureGraphBuilder();
    const HRESULT result = builder->QueryInterface(iid, out);
    builder->Release();
    return result;
}

}  // namespace nuv::sim
