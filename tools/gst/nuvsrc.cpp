#include "nuvsrc.h"

#include <dlfcn.h>
#include <gst/video/video.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <optional>
#include <vector>

#include "camera_thread.h"
#include "devices.h"
#include "formats.h"
#include "frame_clock.h"

GST_DEBUG_CATEGORY_STATIC(nuvsrc_debug);
#define GST_CAT_DEFAULT nuvsrc_debug

namespace nuvgst {

nuvclient::LibraryChoice LibraryChoiceFor(const std::string &path, bool real) {
    nuvclient::LibraryChoice choice;
    choice.path = path;
    choice.real = real;
    choice.environment = kLibraryVariable;
    choice.howToChoose = std::string("nuvsrc's property library=PATH (real=true for libnuv.so) or the environment "
                                     "variable ") + kLibraryVariable;
    Dl_info info{};
    if (dladdr(reinterpret_cast<void *>(&LibraryChoiceFor), &info) != 0 && info.dli_fname != nullptr) {
        std::string dir = info.dli_fname;
        const auto slash = dir.rfind('/');
        dir = slash == std::string::npos ? "." : dir.substr(0, slash);
        // Installed: <libdir>/gstreamer-1.0/libgstnuv.so beside <libdir>/libnuv_sim.so;
        // built: build/native/gst/ beside build/native/.
        choice.searchDirs = {dir + "/..", dir};
    }
    return choice;
}

namespace {

enum Property : guint {
    kPropDevice = 1,
    kPropDeviceName,
    kPropLibrary,
    kPropReal,
    kPropDefectCorrection,
    kPropShadingCorrection,
    kPropFullScale,
    kPropTimeout,
    // The camera's controls, in the order of kControls.
    kPropCameraNo,
    kPropLed,
    kPropColorBar,
    kPropGain,
    kPropExposure,
    kPropShutter,
};

using Setter = NuvBool(NUV_CALL *)(int, int);
using Getter = NuvBool(NUV_CALL *)(int, int *);

// The camera's controls. Ranges are those the library accepts (a camera's
// own may be narrower); defaults are what the cameras start with. A control
// the user never set is left as the camera has it.
struct Control {
    guint property;
    const char *name;
    const char *blurb;
    int minimum;
    int maximum;
    int initial;
    bool boolean;
    bool needsChannel;  // a vendor command: NUV and NUV2 cameras only
    Setter nuvclient::Api::*set;
    const char *setName;
};

constexpr Control kControls[] = {
    {kPropCameraNo, "camera-no", "Camera number; also chooses the correction data applied to frames", 1, 2, 1,
     false, false, &nuvclient::Api::NuvSetCameraNo, "NuvSetCameraNo"},
    {kPropLed, "led", "LED level", 0, 64, 0, false, false, &nuvclient::Api::NuvSetLed, "NuvSetLed"},
    {kPropColorBar, "color-bar", "Colour-bar test pattern instead of the picture", 0, 1, 0, true, false,
     &nuvclient::Api::NuvSetColorBar, "NuvSetColorBar"},
    {kPropGain, "gain", "Sensor gain", 0, 240, 0, false, false, &nuvclient::Api::NuvSetGain, "NuvSetGain"},
    {kPropExposure, "exposure", "Exposure", -13, 0, -6, false, false, &nuvclient::Api::NuvSetExposure,
     "NuvSetExposure"},
    {kPropShutter, "shutter", "Shutter (a vendor command: NUV and NUV2 cameras only)", 1, 65530, 1000, false, true,
     &nuvclient::Api::NuvSetShutter, "NuvSetShutter"},
};
constexpr std::size_t kControlCount = sizeof kControls / sizeof kControls[0];

const Control *ControlOf(guint property) {
    for (const Control &c : kControls) {
        if (c.property == property) return &c;
    }
    return nullptr;
}

constexpr const char *kPropertyCauses =
    "the camera does not support it or refused the value (its own range may be narrower than the library's)";

// Milliseconds on the camera world's clock: the simulated world's own
// (virtual in tests, so that a stalled camera is noticed without waiting in
// real time), the monotonic clock for real cameras.
class WorldClock {
public:
    void Start(const nuvclient::Api *api) {
        api_ = api;
        ms_ = 0.0;
        lastTick_ = Tick();
        startUs_ = g_get_monotonic_time();
    }
    double NowMs() {
        if (api_ != nullptr && api_->simulated) {
            const std::uint32_t tick = Tick();
            ms_ += static_cast<double>(static_cast<std::uint32_t>(tick - lastTick_));  // wraps after 49 days
            lastTick_ = tick;
            return ms_;
        }
        return static_cast<double>(g_get_monotonic_time() - startUs_) / 1000.0;
    }

private:
    std::uint32_t Tick() const { return api_ != nullptr && api_->simulated ? api_->NuvSimGetTickCount() : 0u; }
    const nuvclient::Api *api_ = nullptr;
    std::uint32_t lastTick_ = 0;
    double ms_ = 0.0;
    std::int64_t startUs_ = 0;
};

struct State {
    // Settings and the open camera. Held across the library's property
    // calls and the open and close, never by the streaming thread's
    // receive, and never while a message is posted (a bus handler may come
    // back for a property).
    std::mutex lock;
    std::string selector = "0";
    std::string libraryPath;
    bool real = false;
    bool defectCorrection = true;
    bool shadingCorrection = true;
    bool fullScale = false;
    std::atomic<guint> timeoutMs{5000};  // read by the streaming thread
    std::optional<int> controls[kControlCount];

    const nuvclient::Api *api = nullptr;
    nuvclient::DeviceEntry device;
    bool haveDevice = false;
    std::vector<StreamChoice> choices;
    GstCaps *offer = nullptr;
    bool open = false;
    bool channel = false;  // opened with its control channel (NUV, NUV2)
    StreamChoice stream;
    // Bytes a buffer must hold: the frame, and for a NUV2 camera the
    // width x height words its corrections work on whatever the frame's
    // length (the library cannot be told a buffer's size).
    std::size_t capacity = 0;

    // The streaming thread's own (negotiation and fill).
    bool failurePosted = false;
    FrameCounter counter;
    PollSchedule schedule;
    WorldClock world;
    std::int64_t lastSeenUs = 0;
    double lastFrameMs = 0.0;
    std::int64_t returnedUs = 0;  // when fill last returned
    std::vector<std::uint8_t> scratch;
    bool warnedLength = false;
    std::uint64_t dropped = 0;  // frames of another length than the stream's
    std::uint64_t frames = 0;   // handed out, and looks at the library for them
    std::uint64_t looks = 0;

    // Waking the streaming thread from its waits when the element flushes,
    // pauses or plays.
    std::mutex waitLock;
    std::condition_variable wake;
    bool flushing = false;
    bool playing = false;
};

std::string Label(const State &s) { return s.haveDevice ? s.device.Label() : s.selector; }

std::int64_t IntervalUs(const StreamChoice &c) {
    return c.rateNumerator > 0 ? static_cast<std::int64_t>(1e6 * c.rateDenominator / c.rateNumerator) : 33333;
}

// The camera's 10-bit values spread over 16 bits by bit replication, so that
// 1023 becomes 65535 and 0 stays 0.
void Widen(std::uint8_t *bytes, std::size_t words) {
    auto *w = reinterpret_cast<std::uint16_t *>(bytes);
    for (std::size_t i = 0; i < words; ++i) {
        const std::uint16_t v = std::min<std::uint16_t>(w[i], 1023);
        w[i] = static_cast<std::uint16_t>((v << 6) | (v >> 4));
    }
}

}  // namespace
}  // namespace nuvgst

using namespace nuvgst;

struct _GstNuvSrc {
    GstPushSrc parent;
    State *state;
};

G_DEFINE_TYPE(GstNuvSrc, gst_nuv_src, GST_TYPE_PUSH_SRC)

namespace {

State &StateOf(gpointer object) { return *GST_NUV_SRC(object)->state; }

GstStaticPadTemplate gSrcTemplate = GST_STATIC_PAD_TEMPLATE(
    "src", GST_PAD_SRC, GST_PAD_ALWAYS,
    GST_STATIC_CAPS("video/x-raw, format = (string) GRAY16_LE, value-bits = (int) { 10, 16 }, "
                    "width = (int) [ 1, max ], height = (int) [ 1, max ], framerate = (fraction) [ 0, max ]; "
                    "video/x-raw, format = (string) { YUY2, I420, BGR, BGRx }, "
                    "width = (int) [ 1, max ], height = (int) [ 1, max ], framerate = (fraction) [ 0, max ]; "
                    "image/jpeg, width = (int) [ 1, max ], height = (int) [ 1, max ], "
                    "framerate = (fraction) [ 0, max ]; "
                    "video/x-h264, stream-format = (string) byte-stream, alignment = (string) au, "
                    "width = (int) [ 1, max ], height = (int) [ 1, max ], framerate = (fraction) [ 0, max ]"));

bool IsStreaming(GstNuvSrc *self) {
    GST_OBJECT_LOCK(self);
    const bool streaming = GST_STATE(self) > GST_STATE_READY || GST_STATE_PENDING(self) > GST_STATE_READY;
    GST_OBJECT_UNLOCK(self);
    return streaming;
}

void Close(State &s) {
    if (!s.open) return;
    CloseCamera(*s.api, s.device.position);
    s.open = false;
    s.channel = false;
}

// The correction switches for the stream: the settings for corrected
// frames, off for the delivered format (whose bytes go out unchanged).
std::string ApplyCorrections(State &s) {
    if (!s.open || !s.channel || s.device.kind != nuvclient::kKindNuv2) return "";
    const int h = s.device.position;
    const bool defects = s.stream.corrected && s.defectCorrection;
    const bool shading = s.stream.corrected && s.shadingCorrection;
    if (s.api->NuvSetPixelDefectOnOff(h, defects ? 1 : 0) != 1)
        return "NuvSetPixelDefectOnOff(" + Label(s) + ") failed: the camera is not open as a NUV2 camera";
    if (s.api->NuvSetShadingCorrectionOnOff(h, shading ? 1 : 0) != 1)
        return "NuvSetShadingCorrectionOnOff(" + Label(s) + ") failed: the camera is not open as a NUV2 camera";
    return "";
}

// Writes one control to the open camera; "" or what failed.
std::string ApplyControl(State &s, const Control &c, int value) {
    const std::string what = std::string(c.name) + "=" + std::to_string(value);
    if (c.needsChannel && !s.channel)
        return what + ": " + Label(s) + " has no control channel (" + c.name + " is a NUV/NUV2 vendor command)";
    if ((s.api->*c.set)(s.device.position, value) != 1)
        return what + ": " + c.setName + "(" + Label(s) + ") failed: " + kPropertyCauses;
    return "";
}

// Reads a control from the open camera.
std::optional<int> ReadControl(State &s, const Control &c) {
    const int h = s.device.position;
    int value = 0;
    NuvBool ok = 0;
    switch (c.property) {
    case kPropCameraNo: ok = s.api->NuvGetCameraNo(h, &value); break;
    case kPropLed: ok = s.api->NuvGetLed(h, &value); break;
    case kPropColorBar: ok = s.api->NuvGetColorBar(h, &value); break;
    case kPropGain: ok = s.api->NuvGetGain(h, &value); break;
    case kPropExposure: ok = s.api->NuvGetExposure(h, &value); break;
    case kPropShutter: {
        unsigned short shutter = 0;
        ok = s.channel ? s.api->NuvGetShutter(h, &shutter) : 0;
        value = shutter;
        break;
    }
    default: break;
    }
    if (ok != 1) return std::nullopt;
    return value;
}

// ---- properties -------------------------------------------------------

void SetProperty(GObject *object, guint id, const GValue *value, GParamSpec *pspec) {
    GstNuvSrc *self = GST_NUV_SRC(object);
    State &s = StateOf(object);
    std::string refused;
    {
        const std::lock_guard<std::mutex> lock(s.lock);
        const bool fixedWhileOpen = id == kPropDevice || id == kPropLibrary || id == kPropReal || id == kPropFullScale;
        if (fixedWhileOpen && IsStreaming(self)) {
            refused = std::string(pspec->name) + " cannot change while the element streams (set it in NULL or READY)";
        } else if (const Control *c = ControlOf(id)) {
            const int v = c->boolean ? (g_value_get_boolean(value) ? 1 : 0) : g_value_get_int(value);
            s.controls[c - kControls] = v;
            if (s.open) refused = ApplyControl(s, *c, v);
        } else {
            switch (id) {
            case kPropDevice: s.selector = g_value_get_string(value) != nullptr ? g_value_get_string(value) : "0"; break;
            case kPropLibrary: s.libraryPath = g_value_get_string(value) != nullptr ? g_value_get_string(value) : ""; break;
            case kPropReal: s.real = g_value_get_boolean(value); break;
            case kPropFullScale: s.fullScale = g_value_get_boolean(value); break;
            case kPropTimeout: s.timeoutMs = g_value_get_uint(value); break;
            case kPropDefectCorrection:
            case kPropShadingCorrection:
                (id == kPropDefectCorrection ? s.defectCorrection : s.shadingCorrection) = g_value_get_boolean(value);
                refused = ApplyCorrections(s);
                break;
            default: G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec); break;
            }
        }
    }
    if (!refused.empty()) GST_ELEMENT_WARNING(self, RESOURCE, SETTINGS, ("%s", refused.c_str()), (nullptr));
}

void GetProperty(GObject *object, guint id, GValue *value, GParamSpec *pspec) {
    State &s = StateOf(object);
    const std::lock_guard<std::mutex> lock(s.lock);
    if (const Control *c = ControlOf(id)) {
        std::optional<int> v = s.open ? ReadControl(s, *c) : std::nullopt;
        if (!v) v = s.controls[c - kControls];
        const int shown = v.value_or(c->initial);
        if (c->boolean) g_value_set_boolean(value, shown != 0);
        else g_value_set_int(value, shown);
        return;
    }
    switch (id) {
    case kPropDevice: g_value_set_string(value, s.selector.c_str()); break;
    case kPropDeviceName: g_value_set_string(value, s.haveDevice ? s.device.Label().c_str() : nullptr); break;
    case kPropLibrary: g_value_set_string(value, s.libraryPath.empty() ? nullptr : s.libraryPath.c_str()); break;
    case kPropReal: g_value_set_boolean(value, s.real); break;
    case kPropFullScale: g_value_set_boolean(value, s.fullScale); break;
    case kPropTimeout: g_value_set_uint(value, s.timeoutMs); break;
    case kPropDefectCorrection: g_value_set_boolean(value, s.defectCorrection); break;
    case kPropShadingCorrection: g_value_set_boolean(value, s.shadingCorrection); break;
    default: G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec); break;
    }
}

// ---- start, caps, open, stop --------------------------------------------

gboolean Start(GstBaseSrc *base) {
    GstNuvSrc *self = GST_NUV_SRC(base);
    State &s = StateOf(base);
    std::string failure;
    {
        const std::lock_guard<std::mutex> lock(s.lock);
        try {
            s.api = &nuvclient::LoadNuvLibrary(LibraryChoiceFor(s.libraryPath, s.real));
            s.device = nuvclient::SelectDevice(s.selector, *s.api);
            s.haveDevice = true;
            if (s.device.position > 9)
                throw nuvclient::Failure(s.device.Label() + " is at position " + std::to_string(s.device.position) +
                                         "; the library opens positions 0..9 only");
            s.choices = StreamChoices(nuvclient::ListFormats(s.device.position, *s.api), s.device.kind);
            if (s.choices.empty())
                throw nuvclient::Failure(s.device.Label() + " lists no stream format this element can deliver");
            gst_clear_caps(&s.offer);
            s.offer = CapsOf(s.choices, s.fullScale);
            GST_DEBUG_OBJECT(self, "%s offers %" GST_PTR_FORMAT, s.device.Label().c_str(), s.offer);
        } catch (const std::exception &e) {
            failure = e.what();
        }
    }
    if (!failure.empty()) {
        GST_ELEMENT_ERROR(self, RESOURCE, NOT_FOUND, ("%s", failure.c_str()),
                          ("library: %s", s.api != nullptr ? s.api->path.c_str() : "(none loaded)"));
        return FALSE;
    }
    return TRUE;
}

gboolean Stop(GstBaseSrc *base) {
    State &s = StateOf(base);
    const std::lock_guard<std::mutex> lock(s.lock);
    if (s.open)
        GST_DEBUG_OBJECT(base, "%s: %" G_GUINT64_FORMAT " frames, %" G_GUINT64_FORMAT " looks at the library",
                         Label(s).c_str(), s.frames, s.looks);
    Close(s);
    gst_clear_caps(&s.offer);
    s.choices.clear();
    s.haveDevice = false;
    s.scratch.clear();
    s.scratch.shrink_to_fit();
    return TRUE;
}

GstCaps *GetCaps(GstBaseSrc *base, GstCaps *filter) {
    State &s = StateOf(base);
    GstCaps *caps = nullptr;
    {
        const std::lock_guard<std::mutex> lock(s.lock);
        if (s.offer != nullptr) caps = gst_caps_ref(s.offer);
    }
    if (caps == nullptr) caps = gst_pad_get_pad_template_caps(GST_BASE_SRC_PAD(base));
    if (filter != nullptr) {
        GstCaps *both = gst_caps_intersect_full(filter, caps, GST_CAPS_INTERSECT_FIRST);
        gst_caps_unref(caps);
        caps = both;
    }
    return caps;
}

gboolean Negotiate(GstBaseSrc *base) {
    GstNuvSrc *self = GST_NUV_SRC(base);
    State &s = StateOf(base);
    s.failurePosted = false;
    if (GST_BASE_SRC_CLASS(gst_nuv_src_parent_class)->negotiate(base)) return TRUE;
    if (s.failurePosted) return FALSE;
    // Nothing downstream takes matches what the camera offers: say what it
    // offers and what was asked for.
    GstCaps *wanted = gst_pad_peer_query_caps(GST_BASE_SRC_PAD(base), nullptr);
    gchar *wantedText = wanted != nullptr ? gst_caps_to_string(wanted) : g_strdup("nothing (not linked)");
    std::string label, offer;
    gchar *offerText = nullptr;
    {
        const std::lock_guard<std::mutex> lock(s.lock);
        label = Label(s);
        offer = DescribeOffer(s.choices);
        offerText = s.offer != nullptr ? gst_caps_to_string(s.offer) : g_strdup("");
    }
    GST_ELEMENT_ERROR(self, CORE, NEGOTIATION,
                      ("%s cannot deliver what the pipeline asks for: it offers %s", label.c_str(), offer.c_str()),
                      ("downstream accepts %s; the camera offers %s", wantedText, offerText));
    g_free(wantedText);
    g_free(offerText);
    gst_clear_caps(&wanted);
    return FALSE;
}

// The camera is opened here, once the stream is known: outside the lock
// (an open takes seconds), with the controls set so far applied after it.
gboolean SetCaps(GstBaseSrc *base, GstCaps *caps) {
    GstNuvSrc *self = GST_NUV_SRC(base);
    State &s = StateOf(base);
    std::string failure, detail;
    std::optional<StreamChoice> choice;
    bool reopen = false;
    {
        const std::lock_guard<std::mutex> lock(s.lock);
        choice = ChoiceFor(s.choices, caps);
        if (!choice) {
            gchar *text = gst_caps_to_string(caps);
            failure = Label(s) + " does not offer " + text + "; it offers " + DescribeOffer(s.choices);
            g_free(text);
        } else {
            // Another stream of the camera is opened afresh; the same one in
            // another form (GRAY16_LE or YUY2) differs only in the
            // correction switches.
            reopen = !s.open || choice->nuvFormat != s.stream.nuvFormat || choice->width != s.stream.width ||
                     choice->height != s.stream.height || choice->fps != s.stream.fps;
            if (reopen) Close(s);
        }
    }
    // Only this thread opens and closes while the element streams, and
    // stop waits for it: what the open reads stays as it is.
    if (reopen) {
        const int position = s.device.position;
        const std::string what = Label(s) + " (position " + std::to_string(position) + ") at " +
                                 std::to_string(choice->width) + "x" + std::to_string(choice->Rows()) + ", " +
                                 std::to_string(choice->rateNumerator) + "/" + std::to_string(choice->rateDenominator) +
                                 " fps, " + choice->nuvFormat;
        if (s.api->NuvGetBufferSize(position) > 0) {
            failure = "cannot open " + what +
                      ": it is already open in this process (another nuvsrc, or the application itself, streams "
                      "from it)";
        } else {
            const int rc =
                OpenCamera(*s.api, position, choice->width, choice->height, choice->fps, choice->nuvFormat.c_str());
            if (rc < 0) {
                failure = "cannot open " + what + ": " + nuvclient::OpenFailureCauses(s.device);
                detail = "NuvOpen returned " + std::to_string(rc);
            } else {
                const std::lock_guard<std::mutex> lock(s.lock);
                s.open = true;
                s.channel = rc == 0;
            }
        }
    }
    if (failure.empty()) {
        const std::lock_guard<std::mutex> lock(s.lock);
        s.stream = *choice;
        failure = ApplyCorrections(s);
        for (std::size_t i = 0; i < kControlCount && failure.empty(); ++i) {
            if (s.controls[i]) failure = ApplyControl(s, kControls[i], *s.controls[i]);
        }
        if (!failure.empty()) {
            Close(s);
        } else {
            s.counter = FrameCounter(1000.0 * choice->rateDenominator / choice->rateNumerator);
            s.schedule = PollSchedule(IntervalUs(*choice));
            s.world.Start(s.api);
            s.lastFrameMs = 0.0;
            s.lastSeenUs = s.returnedUs = g_get_monotonic_time();
            s.warnedLength = false;
            s.dropped = 0;
            s.frames = s.looks = 0;
            const std::size_t pixels = static_cast<std::size_t>(s.stream.width) * s.stream.Rows();
            // A compressed frame varies in length: room for three bytes a
            // pixel, more than an uncompressed 16-bit frame.
            s.capacity = s.stream.FrameBytes() > 0 ? s.stream.FrameBytes() : pixels * 3;
            if (s.device.kind == nuvclient::kKindNuv2) s.capacity = std::max(s.capacity, pixels * 2);
            gst_base_src_set_blocksize(base, static_cast<guint>(s.capacity));
        }
    }
    if (!failure.empty()) {
        s.failurePosted = true;
        GST_ELEMENT_ERROR(self, RESOURCE, OPEN_READ, ("%s", failure.c_str()),
                          ("%s", detail.empty() ? "(no further detail)" : detail.c_str()));
        return FALSE;
    }
    return TRUE;
}

// Buffers come from a pool of our own: the library writes a frame straight
// into one, row after row without padding, so a pool that lays frames out
// otherwise (a sink's video pool with strides of its own) cannot serve.
gboolean DecideAllocation(GstBaseSrc *base, GstQuery *query) {
    State &s = StateOf(base);
    std::size_t bytes = 0;
    {
        const std::lock_guard<std::mutex> lock(s.lock);
        bytes = s.capacity;
    }
    GstBufferPool *pool = gst_buffer_pool_new();
    while (gst_query_get_n_allocation_pools(query) > 0) gst_query_remove_nth_allocation_pool(query, 0);
    gst_query_add_allocation_pool(query, pool, static_cast<guint>(bytes), 2, 0);
    gst_object_unref(pool);
    return GST_BASE_SRC_CLASS(gst_nuv_src_parent_class)->decide_allocation(base, query);
}

gboolean Query(GstBaseSrc *base, GstQuery *query) {
    State &s = StateOf(base);
    if (GST_QUERY_TYPE(query) == GST_QUERY_LATENCY) {
        std::int64_t intervalUs = 0;
        {
            const std::lock_guard<std::mutex> lock(s.lock);
            if (s.open) intervalUs = IntervalUs(s.stream);
        }
        if (intervalUs > 0) {
            // A frame is timed when it is seen, right after it arrived; the
            // library keeps only the newest, so one interval is all a frame
            // can wait.
            const GstClockTime latency = static_cast<GstClockTime>(intervalUs) * GST_USECOND;
            gst_query_set_latency(query, TRUE, latency, latency);
            return TRUE;
        }
    }
    return GST_BASE_SRC_CLASS(gst_nuv_src_parent_class)->query(base, query);
}

// ---- frames ------------------------------------------------------------

gboolean Unlock(GstBaseSrc *base) {
    State &s = StateOf(base);
    {
        const std::lock_guard<std::mutex> lock(s.waitLock);
        s.flushing = true;
    }
    s.wake.notify_all();
    return TRUE;
}

gboolean UnlockStop(GstBaseSrc *base) {
    State &s = StateOf(base);
    const std::lock_guard<std::mutex> lock(s.waitLock);
    s.flushing = false;
    return TRUE;
}

// Sleeps until wakeUs (monotonic microseconds) or a flush; false on a flush.
bool WaitUntil(State &s, std::int64_t wakeUs) {
    std::unique_lock<std::mutex> lock(s.waitLock);
    const std::chrono::steady_clock::time_point until{std::chrono::microseconds(wakeUs)};
    s.wake.wait_until(lock, until, [&] { return s.flushing; });
    return !s.flushing;
}

bool Flushing(State &s) {
    const std::lock_guard<std::mutex> lock(s.waitLock);
    return s.flushing;
}

// A live source's frames come in PLAYING only. GStreamer 1.22's base class
// goes on calling fill in PAUSED and pushes what it returns once playing
// again: the element waits instead, and takes the frame that is newest
// then. False on a flush; *waited says whether it was paused.
bool WaitWhilePaused(State &s, bool *waited) {
    std::unique_lock<std::mutex> lock(s.waitLock);
    *waited = !s.playing && !s.flushing;
    s.wake.wait(lock, [&] { return s.flushing || s.playing; });
    return !s.flushing;
}

bool Playing(State &s) {
    const std::lock_guard<std::mutex> lock(s.waitLock);
    return s.playing;
}

void SetPlaying(State &s, bool playing) {
    {
        const std::lock_guard<std::mutex> lock(s.waitLock);
        s.playing = playing;
    }
    s.wake.notify_all();
}

// Why no frame came: the device list tells an unplugged camera from one
// that stopped sending.
std::string StallCause(State &s) {
    try {
        for (const nuvclient::DeviceEntry &d : nuvclient::ListDevices(*s.api)) {
            if (d.position == s.device.position && d.Label() == s.device.Label())
                return "the camera is still listed, but stopped sending frames";
        }
        return "it was unplugged (the library no longer lists it)";
    } catch (const std::exception &e) {
        return std::string("the device list could not be read: ") + e.what();
    }
}

GstFlowReturn Fill(GstPushSrc *push, GstBuffer *buffer) {
    GstNuvSrc *self = GST_NUV_SRC(push);
    State &s = StateOf(push);
    if (!s.open) {
        GST_ELEMENT_ERROR(self, CORE, NEGOTIATION, ("%s is not open: no format was negotiated", Label(s).c_str()),
                          (nullptr));
        return GST_FLOW_NOT_NEGOTIATED;
    }
    const nuvclient::Api &api = *s.api;
    const int handle = s.device.position;
    const std::size_t expected = s.stream.FrameBytes();
    GstMapInfo map;
    if (!gst_buffer_map(buffer, &map, GST_MAP_WRITE)) {
        GST_ELEMENT_ERROR(self, RESOURCE, FAILED, ("%s: a buffer could not be mapped for writing", Label(s).c_str()),
                          (nullptr));
        return GST_FLOW_ERROR;
    }
    // The wait for a frame counts from the last one, without the time the
    // pipeline kept the element away since (real time pushing downstream),
    // and from the end of a pause.
    struct Returned {
        State &s;
        ~Returned() { s.returnedUs = g_get_monotonic_time(); }
    } returned{s};
    double waitFromMs = s.lastFrameMs + static_cast<double>(g_get_monotonic_time() - s.returnedUs) / 1000.0;
    std::size_t length = 0;
    for (;;) {
        bool paused = false;
        if (!WaitWhilePaused(s, &paused)) {
            gst_buffer_unmap(buffer, &map);
            return GST_FLOW_FLUSHING;
        }
        if (paused) waitFromMs = s.world.NowMs();
        ++s.looks;
        const int size = api.NuvGetBufferSize(handle);
        bool wrongLength = false;
        if (size > 0 && static_cast<std::size_t>(size) <= s.capacity && map.size >= s.capacity) {
            if (api.NuvReceiveImage(handle, map.data) == 1) {
                if (expected == 0 || static_cast<std::size_t>(size) == expected) {
                    length = static_cast<std::size_t>(size);
                    break;
                }
                wrongLength = true;
            }
        } else if (size > 0) {
            // More than a buffer holds: taken out of the library into one
            // of its size, and dropped.
            s.scratch.resize(std::max(static_cast<std::size_t>(size), s.capacity));
            wrongLength = api.NuvReceiveImage(handle, s.scratch.data()) == 1;
        }
        if (wrongLength) {
            ++s.dropped;
            if (!s.warnedLength) {
                s.warnedLength = true;
                GST_ELEMENT_WARNING(self, STREAM, FORMAT,
                                    ("%s sent a frame of %d bytes where %s takes %zu: such frames are dropped",
                                     Label(s).c_str(), size, s.stream.Describe().c_str(), expected),
                                    (nullptr));
            }
        }
        const guint timeoutMs = s.timeoutMs.load();
        // (The clock first: a pause that began before it was read is seen.)
        if (s.world.NowMs() - waitFromMs > timeoutMs && Playing(s)) {
            gst_buffer_unmap(buffer, &map);
            std::string cause = StallCause(s);
            if (s.dropped > 0) cause += " (" + std::to_string(s.dropped) + " frames of the wrong length were dropped)";
            GST_ELEMENT_ERROR(self, RESOURCE, READ,
                              ("%s sent no frame for %.1f s: %s", Label(s).c_str(), timeoutMs / 1000.0, cause.c_str()),
                              ("position %d, %s; the timeout property sets the wait", handle,
                               s.stream.Describe().c_str()));
            return GST_FLOW_ERROR;
        }
        if (!WaitUntil(s, s.schedule.Next(s.lastSeenUs, g_get_monotonic_time()))) {
            gst_buffer_unmap(buffer, &map);
            return GST_FLOW_FLUSHING;
        }
    }
    // A frame taken while the pipeline was pausing or flushing is not
    // pushed: it would go out after the pause, with a number counted from
    // its end.
    if (Flushing(s)) {
        gst_buffer_unmap(buffer, &map);
        return GST_FLOW_FLUSHING;
    }
    const double seenMs = s.world.NowMs();
    const std::int64_t seenUs = g_get_monotonic_time();
    std::uint64_t missed = 0;
    const std::uint64_t number = s.counter.Seen(seenMs, &missed);
    if (number > 0) s.schedule.Seen(seenUs - s.lastSeenUs, missed + 1);
    s.lastSeenUs = seenUs;
    s.lastFrameMs = seenMs;
    ++s.frames;
    if (s.stream.corrected && s.fullScale) Widen(map.data, length / 2);
    gst_buffer_unmap(buffer, &map);
    if (length != gst_buffer_get_size(buffer)) gst_buffer_set_size(buffer, static_cast<gssize>(length));

    GstClock *clock = gst_element_get_clock(GST_ELEMENT(self));
    if (clock != nullptr) {
        const GstClockTime now = gst_clock_get_time(clock);
        const GstClockTime baseTime = gst_element_get_base_time(GST_ELEMENT(self));
        GST_BUFFER_PTS(buffer) = now > baseTime ? now - baseTime : 0;
        gst_object_unref(clock);
    }
    GST_BUFFER_DURATION(buffer) = static_cast<GstClockTime>(IntervalUs(s.stream)) * GST_USECOND;
    GST_BUFFER_OFFSET(buffer) = number;
    GST_BUFFER_OFFSET_END(buffer) = number + 1;
    if (number == 0 || missed > 0) GST_BUFFER_FLAG_SET(buffer, GST_BUFFER_FLAG_DISCONT);
    if (missed > 0) GST_DEBUG_OBJECT(self, "%" G_GUINT64_FORMAT " frame(s) went by unseen", missed);
    return GST_FLOW_OK;
}

// ---- object ------------------------------------------------------------

GstStateChangeReturn ChangeState(GstElement *element, GstStateChange transition) {
    State &s = StateOf(element);
    if (transition == GST_STATE_CHANGE_PAUSED_TO_PLAYING) SetPlaying(s, true);
    const GstStateChangeReturn result = GST_ELEMENT_CLASS(gst_nuv_src_parent_class)->change_state(element, transition);
    if (transition == GST_STATE_CHANGE_PLAYING_TO_PAUSED) SetPlaying(s, false);
    return result;
}

void Finalize(GObject *object) {
    GstNuvSrc *self = GST_NUV_SRC(object);
    gst_clear_caps(&self->state->offer);
    delete self->state;
    self->state = nullptr;
    G_OBJECT_CLASS(gst_nuv_src_parent_class)->finalize(object);
}

}  // namespace

static void gst_nuv_src_init(GstNuvSrc *self) {
    self->state = new State();
    gst_base_src_set_live(GST_BASE_SRC(self), TRUE);
    gst_base_src_set_format(GST_BASE_SRC(self), GST_FORMAT_TIME);
}

static void gst_nuv_src_class_init(GstNuvSrcClass *klass) {
    GST_DEBUG_CATEGORY_INIT(nuvsrc_debug, "nuvsrc", 0, "nuv camera source");
    GObjectClass *object = G_OBJECT_CLASS(klass);
    GstElementClass *element = GST_ELEMENT_CLASS(klass);
    GstBaseSrcClass *base = GST_BASE_SRC_CLASS(klass);
    object->set_property = SetProperty;
    object->get_property = GetProperty;
    object->finalize = Finalize;

    const auto fixed = static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS | GST_PARAM_MUTABLE_READY);
    const auto live = static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS | GST_PARAM_MUTABLE_PLAYING);
    g_object_class_install_property(
        object, kPropDevice,
        g_param_spec_string("device", "Device",
                            "The camera, as nuvctl -d takes it: a position (0..9), a serial (NUV2#1A2B3C02 or "
                            "1A2B3C02) or a unique name (NUV2)",
                            "0", fixed));
    g_object_class_install_property(
        object, kPropDeviceName,
        g_param_spec_string("device-name", "Device name", "The camera chosen, as the library lists it (once started)",
                            nullptr, static_cast<GParamFlags>(G_PARAM_READABLE | G_PARAM_STATIC_STRINGS)));
    g_object_class_install_property(
        object, kPropLibrary,
        g_param_spec_string("library", "Library",
                            "The nuv library to load; unset: $NUVSRC_LIBRARY, else libnuv_sim.so (the simulated "
                            "world) beside the plugin. A library once loaded stays loaded",
                            nullptr, fixed));
    g_object_class_install_property(
        object, kPropReal,
        g_param_spec_boolean("real", "Real cameras",
                             "Load libnuv.so (the machine's cameras) instead of the simulated world", FALSE, fixed));
    g_object_class_install_property(
        object, kPropDefectCorrection,
        g_param_spec_boolean("defect-correction", "Pixel-defect correction",
                             "Replace the camera's listed defective pixels (NUV2, GRAY16_LE frames)", TRUE, live));
    g_object_class_install_property(
        object, kPropShadingCorrection,
        g_param_spec_boolean("shading-correction", "Shading correction",
                             "Even out the lens fall-off with the camera's stored data (NUV2, GRAY16_LE frames)", TRUE,
                             live));
    g_object_class_install_property(
        object, kPropFullScale,
        g_param_spec_boolean("full-scale", "Full scale",
                             "GRAY16_LE frames carry the camera's 10-bit values (0..1023; caps value-bits=10). Set "
                             "this to widen them to 16 bits by bit replication (v << 6 | v >> 4; value-bits=16) for "
                             "display and for programs that take 16-bit grey as full range",
                             FALSE, fixed));
    g_object_class_install_property(
        object, kPropTimeout,
        g_param_spec_uint("timeout", "Timeout",
                          "Milliseconds without a new frame (on the camera world's clock) after which the element "
                          "fails, naming the camera and the cause",
                          100, 600000, 5000, live));
    for (const Control &c : kControls) {
        const std::string blurb =
            std::string(c.blurb) + "; unset: the camera keeps its own setting (the default is what cameras start with)";
        GParamSpec *property =
            c.boolean ? g_param_spec_boolean(c.name, c.name, g_intern_string(blurb.c_str()), c.initial != 0, live)
                      : g_param_spec_int(c.name, c.name, g_intern_string(blurb.c_str()), c.minimum, c.maximum,
                                         c.initial, live);
        g_object_class_install_property(object, c.property, property);
    }

    gst_element_class_set_static_metadata(
        element, "nuv camera source", "Source/Video",
        "Frames of a NUV or NUV2 camera through the nuv library: corrected 10-bit grey (GRAY16_LE) or as delivered",
        "nuv developers");
    gst_element_class_add_static_pad_template(element, &gSrcTemplate);
    element->change_state = ChangeState;

    base->start = Start;
    base->stop = Stop;
    base->get_caps = GetCaps;
    base->negotiate = Negotiate;
    base->set_caps = SetCaps;
    base->decide_allocation = DecideAllocation;
    base->query = Query;
    base->unlock = Unlock;
    base->unlock_stop = UnlockStop;
    GST_PUSH_SRC_CLASS(klass)->fill = Fill;
}
