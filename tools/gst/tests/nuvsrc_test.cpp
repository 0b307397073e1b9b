// nuvsrc in GStreamer's check harness, in the same process as the simulated
// world it streams from (the element loads the very libnuv_sim.so this
// program links), on the simulator's virtual clock: frames come when the
// test moves the clock, so a stalled or unplugged camera is noticed without
// waiting in real time. Waits for buffers are the harness's, bounded.
#include <gst/check/gstharness.h>
#include <gst/gst.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "device_provider.h"
#include "formats.h"
#include "frame_clock.h"
#include "nuv.h"
#include "nuv_sim.h"

namespace {

constexpr int kWidth = 328;
constexpr int kHeight = 204;
constexpr unsigned kIntervalMs = 40;  // the test camera's 25 frames per second
constexpr std::size_t kFrameBytes = static_cast<std::size_t>(kWidth) * kHeight * 2;
constexpr unsigned kSerial = 0x1A2B3C10;

using Frame = std::vector<std::uint8_t>;

std::string ErrorText(GstMessage *message) {
    GError *error = nullptr;
    gchar *debug = nullptr;
    if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) gst_message_parse_error(message, &error, &debug);
    else gst_message_parse_warning(message, &error, &debug);
    std::string text = error != nullptr ? error->message : "";
    g_clear_error(&error);
    g_free(debug);
    return text;
}

// The sum of a frame's counter words, as the simulator writes them into
// frames rendered from its optics (eight bits a word, four words).
std::uint32_t CounterOf(const Frame &frame) {
    std::uint32_t counter = 0;
    for (int i = 0; i < 4; ++i) counter |= static_cast<std::uint32_t>(frame[2 * i]) << (8 * i);
    return counter;
}

class NuvSrcTest : public ::testing::Test {
protected:
    void SetUp() override {
        NuvSimReset();
        NuvSimUseVirtualClock(1);
        camera_ = AddCamera("NUV2", kSerial);
        // Every frame differs (noise is a function of the frame number), so
        // a frame can only equal the library's frame of the same number.
        ASSERT_EQ(NuvSimSetScene(camera_, 500.0), 1);
        ASSERT_EQ(NuvSimSetNoise(camera_, 30.0, 7), 1);
    }

    void TearDown() override {
        Stop();
        // Nothing of the library's is left: no COM objects, handles, buffers
        // or running graphs.
        EXPECT_EQ(NuvSimLiveComObjects(), 0);
        EXPECT_EQ(NuvSimLiveComInits(), 0);
        EXPECT_EQ(NuvSimOpenHandles(), 0);
        EXPECT_EQ(NuvSimLiveAllocations(), 0);
        EXPECT_EQ(NuvSimRunningStreams(camera_), 0);
        NuvSimResetDefault();
    }

    // A camera offering 328x204 and 656x408 at 25 frames per second, so that
    // a frame interval is a whole number of the clock's milliseconds.
    static int AddCamera(const char *name, unsigned serial) {
        const int id = NuvSimAddCamera(name, serial, 1);
        EXPECT_GT(id, 0);
        NuvSimClearCapabilities(id);
        NuvSimAddCapability(id, "YUY2", kWidth, kHeight, 16, kIntervalMs * 10000, 0);
        NuvSimAddCapability(id, "YUY2", 656, 408, 16, kIntervalMs * 10000, 0);
        return id;
    }

    // nuvsrc with its properties (a gst-launch property list), delivering
    // into the harness with these caps.
    GstElement *Make(const std::string &properties, const std::string &caps = "") {
        std::string line = "nuvsrc library=" + std::string(NUV_SIM_LIBRARY) + " " + properties;
        GError *error = nullptr;
        element_ = GST_ELEMENT(gst_object_ref_sink(gst_parse_launch(line.c_str(), &error)));
        EXPECT_EQ(error, nullptr) << (error != nullptr ? error->message : "");
        g_clear_error(&error);
        harness_ = gst_harness_new_with_element(element_, nullptr, "src");
        if (!caps.empty()) gst_harness_set_sink_caps_str(harness_, caps.c_str());
        bus_ = gst_bus_new();
        gst_element_set_bus(element_, bus_);
        return element_;
    }

    GstStateChangeReturn Play() { return gst_element_set_state(element_, GST_STATE_PLAYING); }

    void Stop() {
        if (harness_ != nullptr) gst_harness_teardown(harness_);
        harness_ = nullptr;
        gst_clear_object(&element_);
        if (bus_ != nullptr) gst_bus_set_flushing(bus_, TRUE);
        gst_clear_object(&bus_);
    }

    // The next buffer the element pushes (the harness waits at most 60 s).
    GstBuffer *Pull() { return gst_harness_pull(harness_); }

    static Frame Bytes(GstBuffer *buffer) {
        Frame bytes(gst_buffer_get_size(buffer));
        gst_buffer_extract(buffer, 0, bytes.data(), bytes.size());
        return bytes;
    }

    // The camera's next frame: the clock moves one frame interval.
    GstBuffer *Next() {
        NuvSimAdvanceClock(kIntervalMs);
        return Pull();
    }

    // The value-bits field of the caps the element streams with (0: none).
    int ValueBits() {
        GstCaps *caps = gst_pad_get_current_caps(GST_PAD_PEER(harness_->sinkpad));
        int bits = 0;
        if (caps != nullptr) gst_structure_get_int(gst_caps_get_structure(caps, 0), "value-bits", &bits);
        gst_clear_caps(&caps);
        return bits;
    }

    // The first error or warning message on the element's bus.
    std::string Message(GstMessageType type) {
        GstMessage *message = gst_bus_timed_pop_filtered(bus_, 30 * GST_SECOND, type);
        if (message == nullptr) return "(no message)";
        const std::string text = ErrorText(message);
        gst_message_unref(message);
        return text;
    }

    // Frames the library hands out itself for the same camera: opened the
    // same way, switches as given, one per frame interval.
    static std::vector<Frame> LibraryFrames(int position, int count, bool corrected) {
        std::vector<Frame> frames;
        EXPECT_EQ(NuvOpen(position, kWidth, kHeight, 25.0, "YUY2"), 0);
        EXPECT_EQ(NuvSetPixelDefectOnOff(position, corrected ? 1 : 0), 1);
        EXPECT_EQ(NuvSetShadingCorrectionOnOff(position, corrected ? 1 : 0), 1);
        Frame frame(kFrameBytes);
        for (int i = 0; i < count * 4 && static_cast<int>(frames.size()) < count; ++i) {
            if (NuvReceiveImage(position, frame.data()) == 1) frames.push_back(frame);
            else NuvSimAdvanceClock(kIntervalMs);
        }
        NuvClose(position);
        return frames;
    }

    int camera_ = 0;
    GstElement *element_ = nullptr;
    GstHarness *harness_ = nullptr;
    GstBus *bus_ = nullptr;
};

// ---- the caps offered, the choice of a stream ---------------------------

TEST(NuvSrcFormats, ACameraWithCorrectionsOffersItsCorrectedFramesFirstThenWhatItDelivers) {
    const std::vector<nuvclient::FormatEntry> list = {
        {0, 1280, 720, 30.000030, "YUY2"}, {1, 640, 480, 30.000030, "YUY2"}, {2, 328, 204, 59.999880, "YUY2"},
        {3, 1280, 720, 30.000030, "MJPG"}, {4, 1280, 720, 30.000030, "NV12"}, {5, 1280, 720, 30.000030, "Y16"}};
    const auto nuv2 = nuvgst::StreamChoices(list, 1);
    ASSERT_EQ(nuv2.size(), 5u);  // 640x480 is no mode; NV12 and Y16 do not open
    EXPECT_EQ(nuv2[0].Describe(), "GRAY16_LE 1280x720 at 30/1");
    EXPECT_TRUE(nuv2[0].corrected);
    EXPECT_EQ(nuv2[1].Describe(), "GRAY16_LE 328x204 at 60/1");
    EXPECT_EQ(nuv2[2].Describe(), "YUY2 1280x720 at 30/1");
    EXPECT_FALSE(nuv2[2].corrected);
    EXPECT_EQ(nuv2[4].Describe(), "image/jpeg 1280x720 at 30/1");
    EXPECT_EQ(nuv2[4].FrameBytes(), 0u);

    // A NUV camera delivers; a plain video device opens at any listed size.
    const auto nuv = nuvgst::StreamChoices(list, 0);
    ASSERT_EQ(nuv.size(), 3u);
    EXPECT_EQ(nuv[0].gstFormat, "YUY2");
    const auto webcam = nuvgst::StreamChoices(list, -1);
    ASSERT_EQ(webcam.size(), 4u);
    EXPECT_EQ(webcam[1].Describe(), "YUY2 640x480 at 30/1");
    EXPECT_EQ(nuvgst::DescribeOffer(nuv2), "GRAY16_LE, YUY2 or image/jpeg at 1280x720 or 328x204, 30 or 60 fps");
}

TEST(NuvSrcFormats, CapsSayTheValueBitsAndLeadBackToTheListedStream) {
    const std::vector<nuvclient::FormatEntry> list = {{0, 656, 408, 30.000030, "YUY2"}};
    const auto choices = nuvgst::StreamChoices(list, 1);
    for (bool fullScale : {false, true}) {
        GstCaps *caps = nuvgst::CapsOf(choices, fullScale);
        ASSERT_EQ(gst_caps_get_size(caps), 2u);
        int bits = 0;
        EXPECT_TRUE(gst_structure_get_int(gst_caps_get_structure(caps, 0), "value-bits", &bits));
        EXPECT_EQ(bits, fullScale ? 16 : 10);
        EXPECT_FALSE(gst_structure_has_field(gst_caps_get_structure(caps, 1), "value-bits"));
        gst_caps_unref(caps);
    }
    GstCaps *wanted = gst_caps_from_string("video/x-raw, format=YUY2, width=656, height=408, framerate=30/1");
    const auto chosen = nuvgst::ChoiceFor(choices, wanted);
    ASSERT_TRUE(chosen.has_value());
    EXPECT_FALSE(chosen->corrected);
    EXPECT_DOUBLE_EQ(chosen->fps, 30.000030);  // what NuvOpen is given: the listed rate
    gst_caps_unref(wanted);
    wanted = gst_caps_from_string("video/x-raw, format=YUY2, width=656, height=408, framerate=60/1");
    EXPECT_FALSE(nuvgst::ChoiceFor(choices, wanted).has_value());
    gst_caps_unref(wanted);
}

TEST(NuvSrcFormats, ListedRatesBecomeTheFractionsPeopleAskFor) {
    const struct {
        double fps;
        int numerator, denominator;
    } cases[] = {{30.000030, 30, 1}, {59.999880, 60, 1}, {25.0, 25, 1},       {29.970030, 30000, 1001},
                 {59.940060, 60000, 1001}, {7.5, 15, 2}, {1.0, 1, 1}, {0.0, 0, 1}};
    for (const auto &c : cases) {
        int n = -1, d = -1;
        nuvgst::RateFraction(c.fps, &n, &d);
        EXPECT_EQ(n, c.numerator) << c.fps;
        EXPECT_EQ(d, c.denominator) << c.fps;
    }
}

// ---- counting frames, pacing the looks ----------------------------------

TEST(NuvSrcFrameClock, FramesSeenLateAreNotTakenForLostOnesButReplacedOnesAreCounted) {
    nuvgst::FrameCounter counter(1000.0 / 60.0);
    std::uint64_t missed = 99;
    EXPECT_EQ(counter.Seen(1000.0, &missed), 0u);
    EXPECT_EQ(missed, 0u);
    EXPECT_EQ(counter.Seen(1017.0, &missed), 1u);  // on time, on a millisecond clock
    EXPECT_EQ(missed, 0u);
    EXPECT_EQ(counter.Seen(1041.0, &missed), 2u);  // 7 ms late: still the next frame
    EXPECT_EQ(missed, 0u);
    EXPECT_EQ(counter.Seen(1092.0, &missed), 5u);  // three intervals: two frames went by
    EXPECT_EQ(missed, 2u);
    EXPECT_EQ(counter.Seen(1093.0, &missed), 6u);  // never fewer than one
    EXPECT_EQ(missed, 0u);
    EXPECT_DOUBLE_EQ(counter.SinceLast(1100.0), 7.0);
}

TEST(NuvSrcFrameClock, LooksSleepUntilAFrameIsDueThenComeInStepsGrowingWithItsLateness) {
    nuvgst::PollSchedule schedule(16667);
    const std::int64_t seen = 1'000'000, start = seen + 16667 - 16667 / 32;
    EXPECT_EQ(schedule.Next(seen, seen + 100), start);                        // asleep until just before due
    EXPECT_EQ(schedule.Next(seen, start), start + 260);                       // then small steps
    EXPECT_EQ(schedule.Next(seen, start + 4000), start + 4000 + 260 + 1000);  // a quarter of the lateness more
    EXPECT_EQ(schedule.Next(seen, start + 60000), start + 60000 + 4166);      // a stalled camera: coarse steps
    // A stalled camera costs a few looks a frame interval, never a busy loop.
    int looks = 0;
    for (std::int64_t t = start; t < seen + 1'000'000; t = schedule.Next(seen, t)) ++looks;
    EXPECT_LT(looks, 260);
    EXPECT_GE(nuvgst::PollSchedule(1000000).CoarseStep(), 1000);
}

TEST(NuvSrcFrameClock, TheDueTimeFollowsTheFramesActuallySeen) {
    // A camera listed at 60 frames per second that sends 30.
    nuvgst::PollSchedule schedule(16667);
    for (int i = 0; i < 40; ++i) schedule.Seen(33333, 1);
    EXPECT_NEAR(schedule.PeriodUs(), 33333, 200);
    EXPECT_NEAR(schedule.Next(0, 100), 33333 - 33333 / 32, 200);
    // Gaps of frames replaced unseen count a frame each; a pause is no rate.
    for (int i = 0; i < 40; ++i) schedule.Seen(50000, 3);
    EXPECT_NEAR(schedule.PeriodUs(), 16667, 200);
    const std::int64_t before = schedule.PeriodUs();
    schedule.Seen(60'000'000, 1);
    EXPECT_EQ(schedule.PeriodUs(), before + (16667 * 16 - before) / 8);
}

// ---- frames -----------------------------------------------------------

TEST_F(NuvSrcTest, CorrectedFramesAreBitForBitThoseTheLibraryHandsOut) {
    Make("device=NUV2", "video/x-raw, format=GRAY16_LE, width=328, height=204");
    ASSERT_NE(Play(), GST_STATE_CHANGE_FAILURE);
    std::vector<Frame> frames;
    GstBuffer *first = Pull();
    EXPECT_EQ(ValueBits(), 10);
    frames.push_back(Bytes(first));
    gst_buffer_unref(first);
    for (int i = 0; i < 5; ++i) {
        GstBuffer *buffer = Next();
        frames.push_back(Bytes(buffer));
        gst_buffer_unref(buffer);
    }
    Stop();

    const std::vector<Frame> library = LibraryFrames(0, 10, true);
    const std::set<Frame> known(library.begin(), library.end());
    std::set<Frame> seen;
    for (const Frame &frame : frames) {
        ASSERT_EQ(frame.size(), kFrameBytes);
        EXPECT_TRUE(known.count(frame)) << "frame " << seen.size() << " is not one the library hands out";
        seen.insert(frame);
        const auto *words = reinterpret_cast<const std::uint16_t *>(frame.data());
        EXPECT_LE(*std::max_element(words, words + kWidth * kHeight), 1023) << "values are the camera's 10 bits";
    }
    EXPECT_EQ(seen.size(), frames.size()) << "every frame is a new one";
}

TEST_F(NuvSrcTest, TheDeliveredFormatIsTheCamerasBytesAndFullScaleWidensEachValueByBitReplication) {
    Make("device=1A2B3C10", "video/x-raw, format=YUY2, width=328, height=204");
    ASSERT_NE(Play(), GST_STATE_CHANGE_FAILURE);
    std::vector<Frame> raw;
    for (int i = 0; i < 3; ++i) {
        GstBuffer *buffer = i == 0 ? Pull() : Next();
        raw.push_back(Bytes(buffer));
        gst_buffer_unref(buffer);
    }
    Stop();
    const std::vector<Frame> uncorrected = LibraryFrames(0, 8, false);
    for (const Frame &frame : raw)
        EXPECT_NE(std::find(uncorrected.begin(), uncorrected.end(), frame), uncorrected.end());

    Make("device=NUV2#1A2B3C10 full-scale=true", "video/x-raw, format=GRAY16_LE, width=328, height=204");
    ASSERT_NE(Play(), GST_STATE_CHANGE_FAILURE);
    GstBuffer *buffer = Pull();
    EXPECT_EQ(ValueBits(), 16);
    const Frame wide = Bytes(buffer);
    gst_buffer_unref(buffer);
    Stop();
    bool matched = false;
    for (const Frame &frame : LibraryFrames(0, 8, true)) {
        Frame widened = frame;
        auto *w = reinterpret_cast<std::uint16_t *>(widened.data());
        for (int i = 0; i < kWidth * kHeight; ++i) w[i] = static_cast<std::uint16_t>(w[i] << 6 | w[i] >> 4);
        matched = matched || widened == wide;
    }
    EXPECT_TRUE(matched) << "the widened frame is v << 6 | v >> 4 of a corrected frame";
    const auto *w = reinterpret_cast<const std::uint16_t *>(wide.data());
    // Each word's low six bits repeat its top six.
    EXPECT_EQ(std::count_if(w, w + kWidth * kHeight, [](std::uint16_t v) { return (v >> 10) != (v & 63); }), 0);
}

TEST_F(NuvSrcTest, OffsetsCountTheCamerasFramesAndADiscontinuityMarksFramesThatWentByUnseen) {
    Make("device=NUV2", "video/x-raw, format=YUY2, width=328, height=204");
    ASSERT_NE(Play(), GST_STATE_CHANGE_FAILURE);
    GstBuffer *buffer = Pull();
    EXPECT_EQ(GST_BUFFER_OFFSET(buffer), 0u);
    EXPECT_TRUE(GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DISCONT));
    std::uint32_t counter = CounterOf(Bytes(buffer));
    gst_buffer_unref(buffer);
    for (guint64 n = 1; n <= 3; ++n) {
        gst_harness_set_time(harness_, n * kIntervalMs * GST_MSECOND);
        buffer = Next();
        EXPECT_EQ(GST_BUFFER_OFFSET(buffer), n);
        EXPECT_EQ(GST_BUFFER_OFFSET_END(buffer), n + 1);
        EXPECT_FALSE(GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DISCONT));
        EXPECT_EQ(GST_BUFFER_PTS(buffer), n * kIntervalMs * GST_MSECOND) << "timed on the pipeline clock";
        EXPECT_EQ(GST_BUFFER_DURATION(buffer), kIntervalMs * GST_MSECOND);
        EXPECT_EQ(CounterOf(Bytes(buffer)), ++counter) << "one camera frame each";
        gst_buffer_unref(buffer);
    }

    // The pipeline holds the element up while the camera sends three
    // frames: the library keeps only the newest.
    struct Gate {
        GMutex lock;
        GCond changed;
        bool held = false;
        bool open = false;
    } gate;
    g_mutex_init(&gate.lock);
    g_cond_init(&gate.changed);
    GstPad *pad = gst_element_get_static_pad(element_, "src");
    gst_pad_add_probe(
        pad, GST_PAD_PROBE_TYPE_BUFFER,
        [](GstPad *, GstPadProbeInfo *, gpointer data) {
            auto *g = static_cast<Gate *>(data);
            g_mutex_lock(&g->lock);
            g->held = true;
            g_cond_broadcast(&g->changed);
            while (!g->open) g_cond_wait(&g->changed, &g->lock);
            g_mutex_unlock(&g->lock);
            return GST_PAD_PROBE_REMOVE;
        },
        &gate, nullptr);
    NuvSimAdvanceClock(kIntervalMs);  // frame 4 comes and is held in the push
    g_mutex_lock(&gate.lock);
    const gint64 until = g_get_monotonic_time() + 30 * G_TIME_SPAN_SECOND;
    while (!gate.held && g_cond_wait_until(&gate.changed, &gate.lock, until)) {
    }
    ASSERT_TRUE(gate.held);
    const long long delivered = NuvSimFramesDelivered(camera_);
    // Frames 5, 6 and 7 (the clock returns once the camera sent what was
    // due): 7 is the one the library keeps.
    NuvSimAdvanceClock(3 * kIntervalMs);
    EXPECT_EQ(NuvSimFramesDelivered(camera_), delivered + 3);
    gate.open = true;
    g_cond_broadcast(&gate.changed);
    g_mutex_unlock(&gate.lock);

    buffer = Pull();
    EXPECT_EQ(GST_BUFFER_OFFSET(buffer), 4u);
    EXPECT_EQ(CounterOf(Bytes(buffer)), ++counter);
    gst_buffer_unref(buffer);
    buffer = Pull();
    EXPECT_EQ(GST_BUFFER_OFFSET(buffer), 7u) << "frames 5 and 6 went by unseen";
    EXPECT_TRUE(GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DISCONT));
    EXPECT_EQ(CounterOf(Bytes(buffer)), counter + 3);
    gst_buffer_unref(buffer);
    gst_object_unref(pad);
    g_mutex_clear(&gate.lock);
    g_cond_clear(&gate.changed);
}

// ---- controls ---------------------------------------------------------

TEST_F(NuvSrcTest, ControlsSetBeforehandReachTheCameraAndChangeWhilePlaying) {
    const int hid = NuvSimCameraHidInterface(camera_);
    Make("device=NUV2 gain=100 led=7 exposure=-3 camera-no=2 color-bar=true shutter=1234",
         "video/x-raw, format=GRAY16_LE, width=328, height=204");
    ASSERT_NE(Play(), GST_STATE_CHANGE_FAILURE);
    gst_buffer_unref(Pull());
    const struct {
        int index, value;
    } expected[] = {{9, 100}, {0, 7}, {14, -3}, {2, 2}, {1, 1}};
    for (const auto &e : expected) {
        int value = -99;
        ASSERT_EQ(NuvSimGetVideoProperty(camera_, e.index, &value), 1);
        EXPECT_EQ(value, e.value) << "video property " << e.index;
    }
    EXPECT_EQ(NuvSimHidShutter(hid), 1234);

    g_object_set(element_, "gain", 50, "shutter", 4321, "led", 0, nullptr);
    int gain = 0, led = -1, shutter = 0;
    g_object_get(element_, "gain", &gain, "led", &led, "shutter", &shutter, nullptr);
    EXPECT_EQ(gain, 50);
    EXPECT_EQ(led, 0);
    EXPECT_EQ(shutter, 4321);
    int value = 0;
    NuvSimGetVideoProperty(camera_, 9, &value);
    EXPECT_EQ(value, 50);
    EXPECT_EQ(NuvSimHidShutter(hid), 4321);

    // The corrections are switched on the open camera itself.
    int on = -1;
    ASSERT_EQ(NuvGetPixelDefectOnOff(0, &on), 1);
    EXPECT_EQ(on, 1);
    g_object_set(element_, "defect-correction", FALSE, nullptr);
    ASSERT_EQ(NuvGetPixelDefectOnOff(0, &on), 1);
    EXPECT_EQ(on, 0);
    ASSERT_EQ(NuvGetShadingCorrectionOnOff(0, &on), 1);
    EXPECT_EQ(on, 1);

    // A value the library takes but this camera refuses: a warning naming
    // it, and the camera keeps its value.
    ASSERT_EQ(NuvSimSetVideoProperty(camera_, 14, 1, -10, -1, -5), 1);
    g_object_set(element_, "exposure", -12, nullptr);
    EXPECT_NE(Message(GST_MESSAGE_WARNING).find("exposure=-12: NuvSetExposure(NUV2#1A2B3C10) failed"),
              std::string::npos);
    NuvSimGetVideoProperty(camera_, 14, &value);
    EXPECT_EQ(value, -5);
    // What is fixed while streaming says so.
    g_object_set(element_, "device", "0", nullptr);
    EXPECT_NE(Message(GST_MESSAGE_WARNING).find("device cannot change while the element streams"), std::string::npos);
}

TEST_F(NuvSrcTest, TheDeliveredFormatGoesOutUncorrectedWhateverTheSwitchesSay) {
    Make("device=NUV2", "video/x-raw, format=YUY2, width=328, height=204");
    ASSERT_NE(Play(), GST_STATE_CHANGE_FAILURE);
    gst_buffer_unref(Pull());
    int defects = -1, shading = -1;
    ASSERT_EQ(NuvGetPixelDefectOnOff(0, &defects), 1);
    ASSERT_EQ(NuvGetShadingCorrectionOnOff(0, &shading), 1);
    EXPECT_EQ(defects, 0);
    EXPECT_EQ(shading, 0);
    g_object_set(element_, "shading-correction", TRUE, nullptr);
    ASSERT_EQ(NuvGetShadingCorrectionOnOff(0, &shading), 1);
    EXPECT_EQ(shading, 0);
}

// ---- failures ---------------------------------------------------------

TEST_F(NuvSrcTest, AStalledCameraFailsThePipelineNamingItAndTheCause) {
    Make("device=NUV2 timeout=2000", "video/x-raw, format=GRAY16_LE, width=328, height=204");
    ASSERT_NE(Play(), GST_STATE_CHANGE_FAILURE);
    gst_buffer_unref(Pull());
    ASSERT_EQ(NuvSimSetFrameSource(camera_, 2), 1);
    NuvSimAdvanceClock(2100);
    const std::string error = Message(GST_MESSAGE_ERROR);
    EXPECT_NE(error.find("NUV2#1A2B3C10 sent no frame for 2.0 s: the camera is still listed, but stopped sending"),
              std::string::npos)
        << error;
}

TEST_F(NuvSrcTest, APauseLongerThanTheTimeoutIsNoStallAndResumesWithADiscontinuity) {
    Make("device=NUV2 timeout=1000", "video/x-raw, format=YUY2, width=328, height=204");
    ASSERT_NE(Play(), GST_STATE_CHANGE_FAILURE);
    GstBuffer *buffer = Pull();
    const std::uint32_t counter = CounterOf(Bytes(buffer));
    gst_buffer_unref(buffer);
    ASSERT_NE(gst_element_set_state(element_, GST_STATE_PAUSED), GST_STATE_CHANGE_FAILURE);
    NuvSimAdvanceClock(50 * kIntervalMs);  // two seconds: twice the timeout
    ASSERT_NE(Play(), GST_STATE_CHANGE_FAILURE);
    // The newest frame when playing again, not one of the pause's first.
    buffer = Pull();
    EXPECT_TRUE(GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DISCONT));
    EXPECT_EQ(CounterOf(Bytes(buffer)), counter + 50);
    EXPECT_EQ(GST_BUFFER_OFFSET(buffer), 50u) << "the frames of the pause are counted";
    gst_buffer_unref(buffer);
    buffer = Next();
    EXPECT_EQ(CounterOf(Bytes(buffer)), counter + 51);
    EXPECT_EQ(GST_BUFFER_OFFSET(buffer), 51u);
    EXPECT_FALSE(GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DISCONT));
    gst_buffer_unref(buffer);
    GstMessage *error = gst_bus_pop_filtered(bus_, GST_MESSAGE_ERROR);
    EXPECT_EQ(error, nullptr) << (error != nullptr ? ErrorText(error) : "");
    if (error != nullptr) gst_message_unref(error);
}

TEST_F(NuvSrcTest, AnUnplugWhilePlayingFailsThePipelineAndLeavesNothingOpen) {
    Make("device=NUV2", "video/x-raw, format=GRAY16_LE, width=328, height=204");
    ASSERT_NE(Play(), GST_STATE_CHANGE_FAILURE);
    gst_buffer_unref(Next());
    ASSERT_EQ(NuvSimUnplugCamera(camera_), 1);
    NuvSimAdvanceClock(5100);
    const std::string error = Message(GST_MESSAGE_ERROR);
    EXPECT_NE(error.find("NUV2#1A2B3C10 sent no frame for 5.0 s: it was unplugged"), std::string::npos) << error;
    // The stream ends downstream too.
    bool eos = false;
    for (GstEvent *event; !eos && (event = gst_harness_pull_event(harness_)) != nullptr;) {
        eos = GST_EVENT_TYPE(event) == GST_EVENT_EOS;
        gst_event_unref(event);
    }
    EXPECT_TRUE(eos);
    // (TearDown: the library's counters are back to zero.)
}

TEST_F(NuvSrcTest, AnOpenThatFailsNamesTheDeviceTheStreamAndTheLikelyCauses) {
    ASSERT_EQ(NuvSimSetRunFails(camera_, 1), 1);
    Make("device=NUV2", "video/x-raw, format=GRAY16_LE, width=328, height=204");
    Play();
    const std::string error = Message(GST_MESSAGE_ERROR);
    EXPECT_NE(error.find("cannot open NUV2#1A2B3C10 (position 0) at 328x204, 25/1 fps, YUY2: "), std::string::npos)
        << error;
    EXPECT_NE(error.find("no first frame arrived"), std::string::npos) << error;
}

TEST_F(NuvSrcTest, ACameraTheApplicationAlreadyHoldsIsNamedAsSuch) {
    ASSERT_EQ(NuvOpen(0, kWidth, kHeight, 25.0, "YUY2"), 0);
    Make("device=0", "video/x-raw, format=GRAY16_LE, width=328, height=204");
    Play();
    EXPECT_NE(Message(GST_MESSAGE_ERROR).find("it is already open in this process"), std::string::npos);
    Stop();
    NuvClose(0);
}

TEST_F(NuvSrcTest, ARequestTheCameraCannotMeetFailsNegotiationNamingWhatItOffers) {
    Make("device=NUV2", "video/x-raw, format=GRAY16_LE, width=640, height=480");
    Play();
    EXPECT_EQ(Message(GST_MESSAGE_ERROR),
              "NUV2#1A2B3C10 cannot deliver what the pipeline asks for: it offers GRAY16_LE or YUY2 at 328x204 or "
              "656x408, 25 fps");
}

TEST_F(NuvSrcTest, DevicesAreChosenAsNuvctlChoosesThem) {
    AddCamera("NUV2", 0x1A2B3C11);
    struct {
        const char *selector;
        const char *expected;  // device-name, or the start of the error
    } cases[] = {{"1", "NUV2#1A2B3C11"},
                 {"1a2b3c11", "NUV2#1A2B3C11"},
                 {"nuv2#1A2B3C10", "NUV2#1A2B3C10"},
                 {"NUV2", "\"NUV2\" matches 2 devices; choose one by position or serial:\n  0: NUV2#1A2B3C10\n  1: "
                          "NUV2#1A2B3C11"},
                 {"7", "no device at position 7; the devices are:\n  0: NUV2#1A2B3C10"}};
    for (const auto &c : cases) {
        Make(std::string("device=") + c.selector);
        if (gst_element_set_state(element_, GST_STATE_READY) != GST_STATE_CHANGE_FAILURE &&
            gst_element_set_state(element_, GST_STATE_PAUSED) != GST_STATE_CHANGE_FAILURE) {
            gchar *name = nullptr;
            g_object_get(element_, "device-name", &name, nullptr);
            EXPECT_STREQ(name, c.expected) << c.selector;
            g_free(name);
        } else {
            const std::string error = Message(GST_MESSAGE_ERROR);
            EXPECT_EQ(error.rfind(c.expected, 0), 0u) << c.selector << ": " << error;
        }
        Stop();
    }
}

TEST_F(NuvSrcTest, TheDeviceProviderListsTheCamerasWithTheirCapsAndMakesTheirElements) {
    AddCamera("NUV", 0x1A2B3C12);
    NuvSimAddDevice("Webcam", 1);
    GstDeviceProvider *provider = gst_device_provider_factory_get_by_name("nuvdeviceprovider");
    ASSERT_NE(provider, nullptr);
    GList *devices = gst_device_provider_get_devices(provider);
    ASSERT_EQ(g_list_length(devices), 3u);
    std::vector<std::string> names;
    for (GList *l = devices; l != nullptr; l = l->next) {
        GstDevice *device = GST_DEVICE(l->data);
        gchar *name = gst_device_get_display_name(device);
        names.push_back(name);
        g_free(name);
        EXPECT_TRUE(gst_device_has_classes(device, "Video/Source"));
    }
    EXPECT_EQ(names, (std::vector<std::string>{"NUV2#1A2B3C10", "NUV#1A2B3C12", "Webcam"}));
    GstCaps *caps = gst_device_get_caps(GST_DEVICE(devices->data));
    EXPECT_EQ(gst_structure_get_string(gst_caps_get_structure(caps, 0), "format"), std::string("GRAY16_LE"));
    gst_caps_unref(caps);
    GstElement *element = gst_device_create_element(GST_DEVICE(devices->data), nullptr);
    ASSERT_NE(element, nullptr);
    gchar *selector = nullptr;
    g_object_get(element, "device", &selector, nullptr);
    EXPECT_STREQ(selector, "1A2B3C10");
    g_free(selector);
    gst_object_unref(element);
    g_list_free_full(devices, gst_object_unref);
    gst_object_unref(provider);
}

}  // namespace

int main(int argc, char **argv) {
    // The device provider loads the library nuvsrc loads by default.
    setenv("NUVSRC_LIBRARY", NUV_SIM_LIBRARY, 1);
    gst_init(&argc, &argv);
    ::testing::InitGoogleTest(&argc, argv);
    const int status = RUN_ALL_TESTS();
    gst_deinit();
    return status;
}
