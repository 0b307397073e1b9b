// The simulated capture graph, driven through the framework interfaces the
// way the capture code drives it: bind a device, set its format, connect it
// to a sample grabber, run, receive samples, stop.
#include <atomic>
#include <climits>
#include <cstdint>
#include <cmath>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "common/text.h"
#include "platform/com_ref.h"
#include "platform/os.h"
#include "sim_fixture.h"

namespace {

using nuv::ComRef;

// A counting buffer callback, as the library's sample callback would be.
class Callback final : public ISampleGrabberCB {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **out) override {
        if (iid == IID_ISampleGrabberCB || iid == IID_IUnknown) {
            *out = this;
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE SampleCB(double, IMediaSample *) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE BufferCB(double time, BYTE *data, long length) override {
        std::lock_guard<std::mutex> hold(lock);
        EXPECT_FALSE(stopped.load()) << "a sample after Stop returned";
        ++count;
        lastTime = time;
        last.assign(data, data + length);
        times.push_back(time);
        return S_OK;
    }
    std::mutex lock;
    std::atomic<bool> stopped{false};
    int count = 0;
    double lastTime = -1.0;
    std::vector<BYTE> last;
    std::vector<double> times;
};

struct Graph {
    ComRef<IGraphBuilder> graph;
    ComRef<IBaseFilter> capture;
    ComRef<ICaptureGraphBuilder2> builder;
    ComRef<IAMStreamConfig> config;
    ComRef<IBaseFilter> grabberFilter;
    ComRef<ISampleGrabber> grabber;
    ComRef<IMediaControl> control;
    ComRef<IMediaEvent> event;
};

ComRef<IPin> FindPin(IBaseFilter *filter, PIN_DIRECTION wanted) {
    ComRef<IEnumPins> pins;
    if (filter->EnumPins(pins.put()) != S_OK) return {};
    ComRef<IPin> pin;
    while (pins->Next(1, pin.put(), nullptr) == S_OK) {
        PIN_DIRECTION direction;
        if (pin->QueryDirection(&direction) == S_OK && direction == wanted) return pin;
    }
    return {};
}

class SimVideoTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        nuv::os::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    }
    void TearDown() override {
        nuv::os::CoUninitialize();
        EXPECT_EQ(NuvSimLiveComObjects(), 0);
        SimTest::TearDown();
    }

    // Binds the device at pnp position 0 and sets its format; false when a
    // step fails. Returns the HRESULT of SetFormat through setFormat.
    bool Build(Graph &g, int width, int height, REFERENCE_TIME interval, const GUID &subtype,
               HRESULT *setFormat = nullptr) {
        if (nuv::os::CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                      g.graph.putVoid()) != S_OK) {
            return false;
        }
        ComRef<ICreateDevEnum> devices;
        ComRef<IEnumMoniker> monikers;
        ComRef<IMoniker> moniker;
        EXPECT_EQ(nuv::os::CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum,
                                            devices.putVoid()),
                  S_OK);
        if (devices->CreateClassEnumerator(CLSID_VideoInputDeviceCategory, monikers.put(), 0) != S_OK) return false;
        if (monikers->Next(1, moniker.put(), nullptr) != S_OK) return false;
        if (moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter, g.capture.putVoid()) != S_OK) return false;
        if (g.graph->AddFilter(g.capture.get(), nuv::WideLiteral("Video Capture 0").get()) != S_OK) return false;
        if (nuv::os::CoCreateInstance(CLSID_CaptureGraphBuilder2, nullptr, CLSCTX_INPROC_SERVER,
                                      IID_ICaptureGraphBuilder2, g.builder.putVoid()) != S_OK ||
            g.builder->SetFiltergraph(g.graph.get()) != S_OK) {
            return false;
        }
        if (g.builder->FindInterface(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Video, g.capture.get(), IID_IAMStreamConfig,
                                     g.config.putVoid()) != S_OK) {
            return false;
        }
        AM_MEDIA_TYPE *type = nullptr;
        if (g.config->GetFormat(&type) != S_OK) return false;
        auto *info = reinterpret_cast<VIDEOINFOHEADER *>(type->pbFormat);
        info->bmiHeader.biWidth = width;
        info->bmiHeader.biHeight = height;
        info->AvgTimePerFrame = interval;
        type->subtype = subtype;
        const HRESULT set = g.config->SetFormat(type);
        nuv::os::CoTaskMemFree(type->pbFormat);
        nuv::os::CoTaskMemFree(type);
        if (setFormat) *setFormat = set;
        g.config.reset();
        if (set != S_OK) return false;
        if (nuv::os::CoCreateInstance(CLSID_SampleGrabber, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                      g.grabberFilter.putVoid()) != S_OK ||
            g.grabberFilter.query(IID_ISampleGrabber, g.grabber) != S_OK) {
            return false;
        }
        AM_MEDIA_TYPE wanted{};
        wanted.majortype = MEDIATYPE_Video;
        wanted.subtype = subtype;
        wanted.formattype = FORMAT_VideoInfo;
        if (g.grabber->SetMediaType(&wanted) != S_OK) return false;
        if (g.graph->AddFilter(g.grabberFilter.get(), nuv::WideLiteral("Grabber 0").get()) != S_OK) return false;
        ComRef<IPin> out = FindPin(g.capture.get(), PINDIR_OUTPUT);
        ComRef<IPin> in = FindPin(g.grabberFilter.get(), PINDIR_INPUT);
        if (!out || !in || g.graph->Connect(out.get(), in.get()) != S_OK) return false;
        if (g.grabber->SetBufferSamples(FALSE) != S_OK || g.grabber->SetOneShot(FALSE) != S_OK) return false;
        if (g.grabber->SetCallback(&callback_, 1) != S_OK) return false;
        if (g.graph.query(IID_IMediaEvent, g.event) != S_OK) return false;
        return g.graph.query(IID_IMediaControl, g.control) == S_OK;
    }

    // Stop, detach, then release, as teardown does.
    void Teardown(Graph &g) {
        if (g.control) g.control->Stop();
        callback_.stopped = true;
        if (g.grabber) g.grabber->SetCallback(nullptr, 1);
        g = Graph{};
    }

    static std::uint16_t Word(const std::vector<BYTE> &frame, std::size_t index) {
        return static_cast<std::uint16_t>(frame[2 * index] | (frame[2 * index + 1] << 8));
    }

    Callback callback_;
};

TEST_F(SimVideoTest, RunningGraphDeliversFramesAsTheClockAdvances) {
    const int device = NuvSimAddCamera("NUV", 0x12345678, 1);
    Graph g;
    ASSERT_TRUE(Build(g, 1280, 720, 333333, MEDIASUBTYPE_YUY2));
    int width = 0, height = 0;
    long long interval = 0;
    unsigned char subtype[16];
    ASSERT_EQ(NuvSimGetDeviceFormat(device, &width, &height, &interval, subtype), 1);
    EXPECT_EQ(width, 1280);
    EXPECT_EQ(height, 720);
    EXPECT_EQ(interval, 333333);
    EXPECT_EQ(std::memcmp(subtype, &MEDIASUBTYPE_YUY2, 16), 0);

    ASSERT_EQ(g.control->Run(), S_OK);
    EXPECT_EQ(NuvSimRunningStreams(device), 1);
    NuvSimAdvanceClock(90);  // frames due at 0, 33 and 66 ms
    {
        std::lock_guard<std::mutex> hold(callback_.lock);
        EXPECT_EQ(callback_.count, 3);
        ASSERT_EQ(callback_.last.size(), 1280u * 720u * 2u);
        EXPECT_EQ(Word(callback_.last, 0), 3) << "frame counter in the first words";
        EXPECT_NEAR(callback_.lastTime, 3 * 0.0333333, 1e-9);
        for (std::size_t i = 0; i < 1280u * 720u; i += 997) ASSERT_LE(Word(callback_.last, i), 1023);
    }
    long code = 0;
    const unsigned before = NuvSimGetTickCount();
    EXPECT_EQ(g.event->WaitForCompletion(3000, &code), E_ABORT);
    EXPECT_EQ(NuvSimGetTickCount() - before, 3000u);
    {
        std::lock_guard<std::mutex> hold(callback_.lock);
        EXPECT_EQ(callback_.count, 93);
        for (std::size_t i = 1; i < callback_.times.size(); ++i) ASSERT_LT(callback_.times[i - 1], callback_.times[i]);
    }
    Teardown(g);
    EXPECT_EQ(NuvSimRunningStreams(device), 0);
    EXPECT_EQ(NuvSimFramesDelivered(device), 93);
    NuvSimAdvanceClock(1000);
    EXPECT_EQ(NuvSimFramesDelivered(device), 93);
}

TEST_F(SimVideoTest, StoppedGraphAnswersAtOnceAndNothingArrivesAfterStop) {
    NuvSimAddCamera("NUV2", 1, 1);
    Graph g;
    ASSERT_TRUE(Build(g, 328, 204, 166667, MEDIASUBTYPE_YUY2));
    long code = 0;
    EXPECT_NE(g.event->WaitForCompletion(3000, &code), E_ABORT) << "not running: no wait";
    ASSERT_EQ(g.control->Run(), S_OK);
    NuvSimAdvanceClock(50);
    EXPECT_EQ(g.control->Stop(), S_OK);
    callback_.stopped = true;
    NuvSimAdvanceClock(500);
    const unsigned before = NuvSimGetTickCount();
    EXPECT_NE(g.event->WaitForCompletion(3000, &code), E_ABORT);
    EXPECT_EQ(NuvSimGetTickCount(), before);
    Teardown(g);
}

TEST_F(SimVideoTest, FramesShowTheStoredShadingAndDefects) {
    const int device = NuvSimAddCamera("NUV2", 7, 1);
    const int hid = NuvSimCameraHidInterface(device);
    // One hot pixel for camera number 1, mode 2, and a set whose gain rises
    // with the distance from the centre.
    unsigned char block[1176];
    ASSERT_EQ(NuvSimFlashPeek(hid, 0x70000, block, sizeof block), 1);
    const std::size_t defects = 16 + 160;
    std::memset(block + defects, 0xFF, 80);
    const unsigned char entry[4] = {10, 0, 20, 0};  // column 10, row 20
    std::memcpy(block + defects, entry, 4);
    const double set[14] = {164.0, 102.0, 1e-5, 0, 1.0, 1e-5, 0, 1.0, 1e-5, 0, 1.0, 1e-5, 0, 1.0};
    std::memcpy(block + 16 + 240 + 224, set, sizeof set);  // little-endian doubles
    ASSERT_EQ(NuvSimFlashPoke(hid, 0x70000, block, sizeof block), 1);

    Graph g;
    ASSERT_TRUE(Build(g, 328, 204, 333333, MEDIASUBTYPE_YUY2));
    ASSERT_EQ(g.control->Run(), S_OK);
    NuvSimAdvanceClock(1);
    std::vector<BYTE> frame;
    {
        std::lock_guard<std::mutex> hold(callback_.lock);
        frame = callback_.last;
    }
    Teardown(g);
    ASSERT_EQ(frame.size(), 328u * 204u * 2u);
    EXPECT_EQ(Word(frame, 20 * 328 + 10), 1023);
    const int centre = Word(frame, 102 * 328 + 164);
    const int corner = Word(frame, 203 * 328 + 327);
    EXPECT_EQ(centre, 640);
    const double r = std::sqrt(163.0 * 163.0 + 101.0 * 101.0);
    EXPECT_NEAR(corner, 640.0 / (1e-5 * r * r + 1.0), 1.0) << "darkened by the inverse of the gain";
    EXPECT_LT(corner, centre);
}

TEST_F(SimVideoTest, PushedFramesArriveBeforePushReturns) {
    const int device = NuvSimAddDevice("Cam", 1);
    const BYTE early[4] = {1, 2, 3, 4};
    ASSERT_EQ(NuvSimPushFrame(device, early, 4, 0.0), 1);  // queued for the next run
    Graph g;
    ASSERT_TRUE(Build(g, 656, 408, 333333, MEDIASUBTYPE_YUY2));
    ASSERT_EQ(g.control->Run(), S_OK);
    NuvSimAdvanceClock(1);
    {
        std::lock_guard<std::mutex> hold(callback_.lock);
        ASSERT_EQ(callback_.count, 1);
        EXPECT_EQ(callback_.last, std::vector<BYTE>(early, early + 4));
        EXPECT_EQ(callback_.lastTime, 0.0);
    }
    ASSERT_EQ(NuvSimPushFrame(device, nullptr, 0, 2.5), 1);
    {
        std::lock_guard<std::mutex> hold(callback_.lock);
        EXPECT_EQ(callback_.count, 2);
        EXPECT_TRUE(callback_.last.empty());
        EXPECT_EQ(callback_.lastTime, 2.5);
    }
    NuvSimAdvanceClock(1000);
    {
        std::lock_guard<std::mutex> hold(callback_.lock);
        EXPECT_EQ(callback_.count, 2) << "pushed mode generates nothing";
    }
    Teardown(g);
}

TEST_F(SimVideoTest, DevicesThatSendNothingOrDoNotRun) {
    const int device = NuvSimAddDevice("Cam", 1);
    NuvSimSetFrameSource(device, 2);
    Graph g;
    ASSERT_TRUE(Build(g, 1280, 720, 333333, MEDIASUBTYPE_YUY2));
    ASSERT_EQ(g.control->Run(), S_OK);
    NuvSimAdvanceClock(5000);
    EXPECT_EQ(callback_.count, 0);
    g.control->Stop();
    NuvSimSetFrameSource(device, 0);
    NuvSimSetRunFails(device, 1);
    EXPECT_NE(g.control->Run(), S_OK);
    NuvSimSetRunFails(device, 0);
    NuvSimFailBuildStep(22, 1);
    EXPECT_NE(g.control->Run(), S_OK);
    NuvSimFailBuildStepNamed("FirstFrame", 1);
    ASSERT_EQ(g.control->Run(), S_OK);
    NuvSimAdvanceClock(500);
    EXPECT_EQ(callback_.count, 0) << "this run sends nothing";
    g.control->Stop();
    ASSERT_EQ(g.control->Run(), S_OK);
    NuvSimAdvanceClock(10);
    EXPECT_EQ(callback_.count, 1);
    Teardown(g);
}

TEST_F(SimVideoTest, SetFormatAcceptsOnlyWhatTheDeviceOffers) {
    const int device = NuvSimAddDevice("Cam", 1);
    const struct {
        int width;
        int height;
        REFERENCE_TIME interval;
        GUID subtype;
        bool accepted;
    } cases[] = {
        {1280, 720, 333333, MEDIASUBTYPE_YUY2, true},   {1280, 720, 666667, MEDIASUBTYPE_YUY2, true},
        {1280, 720, 166667, MEDIASUBTYPE_YUY2, true},   {1280, 720, 100000, MEDIASUBTYPE_YUY2, false},
        {640, 480, 333333, MEDIASUBTYPE_YUY2, false},   {1280, 720, 333333, MEDIASUBTYPE_MJPG, false},
        {0, 0, 333333, MEDIASUBTYPE_YUY2, false},
        // A top-down frame (negative height) of an offered size is offered;
        // heights and widths no device has, slower than one frame a second,
        // and the extremes of every field are refused without overflow.
        {1280, -720, 333333, MEDIASUBTYPE_YUY2, true},  {1280, INT_MIN, 333333, MEDIASUBTYPE_YUY2, false},
        {INT_MIN, 720, 333333, MEDIASUBTYPE_YUY2, false}, {1280, 720, 20000000, MEDIASUBTYPE_YUY2, false},
        {1280, 720, INT64_MAX, MEDIASUBTYPE_YUY2, false}, {1280, 720, INT64_MIN, MEDIASUBTYPE_YUY2, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.width);
        Graph g;
        HRESULT set = E_FAIL;
        Build(g, c.width, c.height, c.interval, c.subtype, &set);
        EXPECT_EQ(set == S_OK, c.accepted) << c.interval;
        Teardown(g);
    }
    NuvSimFailBuildStep(12, 1);
    Graph g;
    HRESULT set = S_OK;
    EXPECT_FALSE(Build(g, 1280, 720, 333333, MEDIASUBTYPE_YUY2, &set));
    EXPECT_EQ(set, E_FAIL);
    Teardown(g);
    int width = 0;
    ASSERT_EQ(NuvSimGetDeviceFormat(device, &width, nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(width, 1280);
}

TEST_F(SimVideoTest, EveryBuildStepCanBeMadeToFail) {
    NuvSimAddDevice("Cam", 1);
    for (int step : {3, 5, 7, 10, 11, 13, 14, 15, 16, 17, 18, 19, 20, 21}) {
        SCOPED_TRACE(step);
        ASSERT_EQ(NuvSimFailBuildStep(step, 1), 1);
        Graph g;
        EXPECT_FALSE(Build(g, 1280, 720, 333333, MEDIASUBTYPE_YUY2));
        Teardown(g);
        Graph again;
        EXPECT_TRUE(Build(again, 1280, 720, 333333, MEDIASUBTYPE_YUY2)) << "one time only";
        Teardown(again);
    }
    EXPECT_EQ(NuvSimFailBuildStep(8, 1), 0);
    EXPECT_EQ(NuvSimFailBuildStepNamed("NoSuchStep", 1), 0);
}

TEST_F(SimVideoTest, VideoPropertiesFollowTheDeviceRanges) {
    const int device = NuvSimAddDevice("NUV", 1);
    NuvSimSetVideoProperty(device, 12, 1, -5, 5, 0);  // camera control 2 (roll)
    Graph g;
    ASSERT_TRUE(Build(g, 1280, 720, 333333, MEDIASUBTYPE_YUY2));
    ComRef<IAMVideoProcAmp> amp;
    ComRef<IAMCameraControl> control;
    ASSERT_EQ(g.capture.query(IID_IAMVideoProcAmp, amp), S_OK);
    ASSERT_EQ(g.capture.query(IID_IAMCameraControl, control), S_OK);
    long min, max, step, def, caps, value, flags;
    const int supported[10] = {1, 1, 1, 0, 0, 0, 0, 0, 0, 1};
    for (long p = 0; p < 10; ++p) EXPECT_EQ(amp->GetRange(p, &min, &max, &step, &def, &caps) == S_OK, supported[p]);
    ASSERT_EQ(amp->GetRange(0, &min, &max, &step, &def, &caps), S_OK);
    EXPECT_EQ(min, 0);
    EXPECT_EQ(max, 64);
    ASSERT_EQ(amp->GetRange(2, &min, &max, &step, &def, &caps), S_OK);
    EXPECT_EQ(min, 1);
    EXPECT_EQ(max, 2);
    ASSERT_EQ(control->GetRange(4, &min, &max, &step, &def, &caps), S_OK);
    EXPECT_EQ(min, -13);
    EXPECT_EQ(max, 0);
    EXPECT_EQ(control->GetRange(2, &min, &max, &step, &def, &caps), S_OK);
    EXPECT_NE(control->GetRange(0, &min, &max, &step, &def, &caps), S_OK);

    EXPECT_EQ(amp->Set(0, 64, 2), S_OK);
    EXPECT_NE(amp->Set(0, 65, 2), S_OK);
    EXPECT_NE(amp->Set(3, 1, 2), S_OK);
    ASSERT_EQ(amp->Get(0, &value, &flags), S_OK);
    EXPECT_EQ(value, 64);
    int simValue = 0;
    ASSERT_EQ(NuvSimGetVideoProperty(device, 0, &simValue), 1);
    EXPECT_EQ(simValue, 64);
    EXPECT_EQ(control->Set(4, -14, 2), E_INVALIDARG);
    amp.reset();
    control.reset();
    Teardown(g);
}

TEST_F(SimVideoTest, CallbackSwappedWhileStreamingIsNeverCalledAgain) {
    NuvSimUseVirtualClock(0);  // real streaming threads racing the swap
    NuvSimAddDevice("Cam", 1);
    Graph g;
    ASSERT_TRUE(Build(g, 328, 204, 166667, MEDIASUBTYPE_YUY2));
    ASSERT_EQ(g.control->Run(), S_OK);
    for (int spin = 0; spin < 2000 && [&] {
             std::lock_guard<std::mutex> hold(callback_.lock);
             return callback_.count == 0;
         }();
         ++spin) {
        std::this_thread::yield();
    }
    ASSERT_EQ(g.grabber->SetCallback(nullptr, 1), S_OK);
    callback_.stopped = true;  // BufferCB fails the test if it still runs
    g.control->Stop();
    Teardown(g);
}

}  // namespace
