// nuvsrc's figures, each printed beside a limit measured in the same run.
//
// Host (the simulated world, real time):
// - ten NUV2 cameras at 1280x720 and 60 frames per second through ten
//   "nuvsrc ! fakesink" pipelines in one process: frames delivered against
//   frames the cameras sent (target >= 98 %), and the CPU time of each
//   pipeline's streaming thread per frame against the CPU time of
//   NuvReceiveImage alone on the same cameras' frames (target <= 1.15x);
// - the latency from a frame's arrival in the library (the simulator's
//   push returns once the library has it) to its buffer's push: median and
//   99th percentile.
//
// Guest (--guest NODE SELECTOR, on the real backend libnuv.so): the process's
// CPU time per frame of nuvsrc (GRAY16_LE, both corrections on) against
// GStreamer's own v4l2src on the same video node, in alternating rounds
// (target <= 1.5x).
#include <dlfcn.h>
#include <gst/gst.h>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "nuv.h"
#include "nuv_sim.h"

namespace {

// The simulated world, loaded at run time like the element loads it (the
// same file, so the same world). Linked instead, its exports would stand in
// for libnuv.so's own when the guest's run loads that: a library's calls
// between its exported functions go to the first definition the loader
// knows.
#define SIM_CALLS(X)                                                                                           \
    X(NuvSimReset) X(NuvSimUseVirtualClock) X(NuvSimAddCamera) X(NuvSimFramesDelivered) X(NuvSimSetFrameSource) \
    X(NuvSimPushFrame) X(NuvOpen) X(NuvReceiveImage) X(NuvClose)
struct Sim {
#define SIM_MEMBER(name) decltype(&::name) name = nullptr;
    SIM_CALLS(SIM_MEMBER)
#undef SIM_MEMBER
};
Sim sim;

void LoadSim(const char *path) {
    void *library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        std::fprintf(stderr, "nuvsrc_bench: %s\n", dlerror());
        std::exit(1);
    }
#define SIM_RESOLVE(name)                                                             \
    sim.name = reinterpret_cast<decltype(sim.name)>(dlsym(library, #name));           \
    if (sim.name == nullptr) {                                                        \
        std::fprintf(stderr, "nuvsrc_bench: %s lacks %s\n", path, #name);             \
        std::exit(1);                                                                 \
    }
    SIM_CALLS(SIM_RESOLVE)
#undef SIM_RESOLVE
}

constexpr int kCameras = 10;
constexpr int kWidth = 1280;
constexpr int kHeight = 720;
constexpr std::size_t kFrameBytes = static_cast<std::size_t>(kWidth) * kHeight * 2;

double Now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

double CpuSeconds(clockid_t clock) {
    timespec t{};
    clock_gettime(clock, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double ProcessCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

GstElement *Launch(const std::string &description) {
    GError *error = nullptr;
    GstElement *pipeline = gst_parse_launch(description.c_str(), &error);
    if (pipeline == nullptr) {
        std::fprintf(stderr, "nuvsrc_bench: %s: %s\n", description.c_str(), error != nullptr ? error->message : "?");
        std::exit(1);
    }
    return pipeline;
}

// Fails the run with the pipeline's first error, if it posted one.
void CheckBus(GstElement *pipeline) {
    GstBus *bus = gst_element_get_bus(pipeline);
    GstMessage *message = gst_bus_pop_filtered(bus, GST_MESSAGE_ERROR);
    gst_object_unref(bus);
    if (message == nullptr) return;
    GError *error = nullptr;
    gst_message_parse_error(message, &error, nullptr);
    std::fprintf(stderr, "nuvsrc_bench: %s: %s\n", GST_OBJECT_NAME(GST_MESSAGE_SRC(message)), error->message);
    std::exit(1);
}

// Counts the buffers reaching a pad and keeps the CPU clock of the thread
// that pushes them (the pipeline's streaming thread).
struct Counter {
    std::atomic<long> buffers{0};
    std::atomic<bool> haveClock{false};
    clockid_t clock{};
    int tid = 0;
    std::mutex lock;
    std::vector<double> pushTimes;  // when wanted
    bool keepTimes = false;
};

GstPadProbeReturn CountBuffer(GstPad *, GstPadProbeInfo *, gpointer data) {
    auto *counter = static_cast<Counter *>(data);
    if (!counter->haveClock.load(std::memory_order_acquire)) {
        pthread_getcpuclockid(pthread_self(), &counter->clock);
        counter->tid = static_cast<int>(gettid());
        counter->haveClock.store(true, std::memory_order_release);
    }
    if (counter->keepTimes) {
        const double t = Now();
        const std::lock_guard<std::mutex> hold(counter->lock);
        counter->pushTimes.push_back(t);
    }
    counter->buffers.fetch_add(1, std::memory_order_relaxed);
    return GST_PAD_PROBE_OK;
}

void Probe(GstElement *pipeline, const char *element, Counter *counter) {
    GstElement *e = gst_bin_get_by_name(GST_BIN(pipeline), element);
    GstPad *pad = gst_element_get_static_pad(e, "src");
    gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, CountBuffer, counter, nullptr);
    gst_object_unref(pad);
    gst_object_unref(e);
}

// Waits (polling the buses) until every counter saw a buffer.
void WaitForFirstBuffers(const std::vector<GstElement *> &pipelines, std::vector<Counter> &counters,
                         double timeout) {
    const double end = Now() + timeout;
    for (;;) {
        bool all = true;
        for (std::size_t i = 0; i < pipelines.size(); ++i) {
            CheckBus(pipelines[i]);
            all = all && counters[i].haveClock.load(std::memory_order_acquire);
        }
        if (all) return;
        if (Now() > end) {
            std::fprintf(stderr, "nuvsrc_bench: not every pipeline delivered a frame within %.0f s\n", timeout);
            std::exit(1);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void Stop(std::vector<GstElement *> &pipelines) {
    for (GstElement *p : pipelines) {
        gst_element_set_state(p, GST_STATE_NULL);
        gst_object_unref(p);
    }
    pipelines.clear();
}

std::string Caps(int width, int height, int fps) {
    return "video/x-raw,format=GRAY16_LE,width=" + std::to_string(width) + ",height=" + std::to_string(height) +
           ",framerate=" + std::to_string(fps) + "/1";
}

// ---- host -------------------------------------------------------------

struct Throughput {
    double delivered = 0;  // fraction of the frames the cameras sent
    double cpuPerFrame = 0;
};

Throughput TenPipelines(const std::string &library, const std::vector<int> &cameras, double seconds) {
    std::vector<GstElement *> pipelines;
    std::vector<Counter> counters(kCameras);
    for (int i = 0; i < kCameras; ++i) {
        pipelines.push_back(Launch("nuvsrc name=src library=" + library + " device=" + std::to_string(i) + " ! " +
                                   Caps(kWidth, kHeight, 60) + " ! fakesink sync=false"));
        Probe(pipelines.back(), "src", &counters[i]);
    }
    for (GstElement *p : pipelines) gst_element_set_state(p, GST_STATE_PLAYING);
    WaitForFirstBuffers(pipelines, counters, 120.0);
    // Settle, then measure a window.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    std::vector<long> buffers0(kCameras), offered0(kCameras);
    std::vector<double> cpu0(kCameras);
    for (int i = 0; i < kCameras; ++i) {
        offered0[i] = static_cast<long>(sim.NuvSimFramesDelivered(cameras[i]));
        buffers0[i] = counters[i].buffers.load();
        cpu0[i] = CpuSeconds(counters[i].clock);
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    long buffers = 0, offered = 0;
    double cpu = 0;
    for (int i = 0; i < kCameras; ++i) {
        cpu += CpuSeconds(counters[i].clock) - cpu0[i];
        buffers += counters[i].buffers.load() - buffers0[i];
        offered += static_cast<long>(sim.NuvSimFramesDelivered(cameras[i])) - offered0[i];
        CheckBus(pipelines[i]);
    }
    Stop(pipelines);
    return {offered > 0 ? static_cast<double>(buffers) / static_cast<double>(offered) : 0.0,
            buffers > 0 ? cpu / static_cast<double>(buffers) : 0.0};
}

// The same cameras without GStreamer: one thread each polls NuvReceiveImage
// and counts only the CPU time of the calls that handed out a frame.
Throughput ReceiveAlone(const std::vector<int> &cameras, double seconds) {
    std::vector<std::thread> threads;
    std::vector<int> opened(kCameras, -1);
    for (int i = 0; i < kCameras; ++i)
        threads.emplace_back([&, i] { opened[i] = sim.NuvOpen(i, kWidth, kHeight, 60.0, "YUY2"); });
    for (auto &t : threads) t.join();
    threads.clear();
    for (int i = 0; i < kCameras; ++i) {
        if (opened[i] != 0) {
            std::fprintf(stderr, "nuvsrc_bench: NuvOpen(%d) failed\n", i);
            std::exit(1);
        }
    }
    std::atomic<bool> stop{false};
    std::vector<double> cpu(kCameras, 0.0);
    std::vector<long> frames(kCameras, 0);
    for (int i = 0; i < kCameras; ++i) {
        threads.emplace_back([&, i] {
            std::vector<std::uint8_t> image(kFrameBytes);
            while (!stop.load()) {
                const double t0 = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
                const bool got = sim.NuvReceiveImage(i, image.data()) == 1;
                const double t1 = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
                if (got) {
                    cpu[i] += t1 - t0;
                    ++frames[i];
                } else {
                    std::this_thread::sleep_for(std::chrono::microseconds(500));
                }
            }
        });
    }
    long offered = 0;
    for (int camera : cameras) offered -= static_cast<long>(sim.NuvSimFramesDelivered(camera));
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stop = true;
    for (auto &t : threads) t.join();
    for (int camera : cameras) offered += static_cast<long>(sim.NuvSimFramesDelivered(camera));
    for (int i = 0; i < kCameras; ++i) sim.NuvClose(i);
    double total = 0;
    long count = 0;
    for (int i = 0; i < kCameras; ++i) {
        total += cpu[i];
        count += frames[i];
    }
    return {offered > 0 ? static_cast<double>(count) / static_cast<double>(offered) : 0.0,
            count > 0 ? total / static_cast<double>(count) : 0.0};
}

double Percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0.0;
    std::sort(values.begin(), values.end());
    const auto at = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(at, values.size() - 1)];
}

// Frames pushed at 60 per second into one camera; each buffer pushed is
// the newest frame that had arrived before it.
void Latency(const std::string &library, int frames) {
    sim.NuvSimReset();
    const int camera = sim.NuvSimAddCamera("NUV2", 0x1A2B3C30, 1);
    GstElement *pipeline =
        Launch("nuvsrc name=src library=" + library + " device=0 ! " + Caps(kWidth, kHeight, 60) + " ! fakesink sync=false");
    std::vector<GstElement *> pipelines{pipeline};
    std::vector<Counter> counters(1);
    counters[0].keepTimes = true;
    Probe(pipeline, "src", &counters[0]);
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    WaitForFirstBuffers(pipelines, counters, 60.0);
    std::vector<std::uint16_t> image(kFrameBytes / 2, 500);
    std::vector<double> arrived;  // after each push returned: the library has the frame
    sim.NuvSimSetFrameSource(camera, 1);
    {
        const std::lock_guard<std::mutex> hold(counters[0].lock);
        counters[0].pushTimes.clear();
    }
    const double start = Now();
    for (int i = 0; i < frames; ++i) {
        std::this_thread::sleep_until(std::chrono::steady_clock::time_point(
            std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                std::chrono::duration<double>(start + i / 60.0))));
        image[0] = static_cast<std::uint16_t>(i & 0x3FF);
        sim.NuvSimPushFrame(camera, image.data(), static_cast<int>(kFrameBytes), 1.0 + i / 60.0);
        arrived.push_back(Now());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    CheckBus(pipeline);
    Stop(pipelines);
    std::vector<double> latencies;
    for (double pushed : counters[0].pushTimes) {
        // The newest frame that had arrived: the last push returned before.
        auto it = std::upper_bound(arrived.begin(), arrived.end(), pushed);
        if (it == arrived.begin()) continue;
        latencies.push_back(std::max(0.0, pushed - *(it - 1)));
    }
    std::printf("latency from arrival in the library to the buffer's push, 1280x720 GRAY16_LE corrected, %zu of %d "
                "frames: median %.2f ms, 99th percentile %.2f ms (a frame interval is %.2f ms)\n",
                latencies.size(), frames, 1e3 * Percentile(latencies, 0.5), 1e3 * Percentile(latencies, 0.99),
                1e3 / 60.0);
}

int Host(const std::string &library) {
    sim.NuvSimReset();
    sim.NuvSimUseVirtualClock(0);
    std::vector<int> cameras;
    for (int i = 0; i < kCameras; ++i) cameras.push_back(sim.NuvSimAddCamera("NUV2", 0x1A2B3C20u + i, 1));
    const double seconds = 5.0;
    const Throughput gst = TenPipelines(library, cameras, seconds);
    const Throughput alone = ReceiveAlone(cameras, seconds);
    std::printf("ten cameras 1280x720 at 60 fps through ten nuvsrc ! fakesink pipelines: %.1f %% of the frames the "
                "cameras sent were delivered (target >= 98 %%; ten threads polling NuvReceiveImage every 0.5 ms: "
                "%.1f %%)\n",
                100.0 * gst.delivered, 100.0 * alone.delivered);
    std::printf("CPU time per frame of a pipeline's streaming thread: %.2fx that of NuvReceiveImage alone on the "
                "same frames (%.0f us vs %.0f us; target <= 1.15)\n",
                alone.cpuPerFrame > 0 ? gst.cpuPerFrame / alone.cpuPerFrame : 0.0, 1e6 * gst.cpuPerFrame,
                1e6 * alone.cpuPerFrame);
    Latency(library, 600);
    return 0;
}

// ---- guest ------------------------------------------------------------

// CPU seconds of each thread of the process, by thread id (clock ticks).
std::map<int, double> ThreadTimes() {
    std::map<int, double> times;
    const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
    for (const auto &entry : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream in(entry.path() / "stat");
        std::string line;
        std::getline(in, line);
        const auto close = line.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream rest(line.substr(close + 2));
        std::string field;
        unsigned long long utime = 0, stime = 0;
        for (int i = 3; i <= 15 && rest >> field; ++i) {
            if (i == 14) utime = std::stoull(field);
            if (i == 15) stime = std::stoull(field);
        }
        times[std::stoi(entry.path().filename().string())] = static_cast<double>(utime + stime) / tick;
    }
    return times;
}

struct PipelineCost {
    double cpuPerFrame = 0;       // every thread of the pipeline (this program's own is left out)
    double streamingPerFrame = 0; // the streaming thread's part
    double fps = 0;               // frames delivered per second
};

// The CPU time per frame of one pipeline over frames buffers, after a few
// to settle.
PipelineCost CostOf(const std::string &description, int frames) {
    std::vector<GstElement *> pipelines{Launch(description)};
    std::vector<Counter> counters(1);
    Probe(pipelines[0], "src", &counters[0]);
    gst_element_set_state(pipelines[0], GST_STATE_PLAYING);
    WaitForFirstBuffers(pipelines, counters, 120.0);
    const double end = Now() + 120.0;
    while (counters[0].buffers.load() < 5 && Now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const long b0 = counters[0].buffers.load();
    const auto threads0 = ThreadTimes();
    const double t0 = Now(), cpu0 = ProcessCpuSeconds(), own0 = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
    while (counters[0].buffers.load() < b0 + frames && Now() < end) {
        CheckBus(pipelines[0]);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const double own = CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - own0;
    const double cpu = ProcessCpuSeconds() - cpu0 - own;
    const double seconds = Now() - t0;
    const long got = counters[0].buffers.load() - b0;
    const auto threads1 = ThreadTimes();
    const double streaming = threads1.count(counters[0].tid) && threads0.count(counters[0].tid)
                                 ? threads1.at(counters[0].tid) - threads0.at(counters[0].tid)
                                 : 0.0;
    Stop(pipelines);
    if (got < frames) {
        std::fprintf(stderr, "nuvsrc_bench: %s delivered %ld of %d frames in time\n", description.c_str(), got, frames);
        std::exit(1);
    }
    return {cpu / static_cast<double>(got), streaming / static_cast<double>(got), static_cast<double>(got) / seconds};
}

int Guest(const std::string &node, const std::string &selector, int rounds) {
    const std::string size = "width=328,height=204,framerate=30/1";
    const std::string v4l2 = "v4l2src name=src device=" + node + " ! video/x-raw,format=YUY2," + size +
                             " ! fakesink sync=false";
    const std::string nuv = "nuvsrc name=src real=true device=" + selector;
    const std::string corrected = nuv + " ! video/x-raw,format=GRAY16_LE," + size + " ! fakesink sync=false";
    // The same element and library without the corrections: what they cost
    // apart from the correction itself.
    const std::string delivered = nuv + " ! video/x-raw,format=YUY2," + size + " ! fakesink sync=false";
    std::vector<double> ratios, rawRatios;
    const auto show = [](const char *name, const PipelineCost &c) {
        std::printf("  %-26s %6.0f us of CPU per frame (streaming thread %5.0f us), %4.1f frames/s\n", name,
                    1e6 * c.cpuPerFrame, 1e6 * c.streamingPerFrame, c.fps);
    };
    for (int round = 0; round < rounds; ++round) {
        const PipelineCost a = CostOf(v4l2, 60), b = CostOf(corrected, 60), c = CostOf(delivered, 60);
        ratios.push_back(b.cpuPerFrame / a.cpuPerFrame);
        rawRatios.push_back(c.cpuPerFrame / a.cpuPerFrame);
        std::printf("round %d: nuvsrc corrected %.2fx v4l2src, as delivered %.2fx\n", round + 1, ratios.back(),
                    rawRatios.back());
        show("v4l2src", a);
        show("nuvsrc, GRAY16_LE corrected", b);
        show("nuvsrc, YUY2 as delivered", c);
        std::fflush(stdout);
    }
    std::printf("CPU time per frame of nuvsrc (corrections on) against v4l2src on %s, 328x204 at 30 fps: median %.2fx over %d "
                "rounds (target <= 1.5); as delivered, corrections off: %.2fx\n",
                node.c_str(), Percentile(ratios, 0.5), rounds, Percentile(rawRatios, 0.5));
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    gst_init(&argc, &argv);
    // The build's plugin, unless one is found already (installed, or
    // GST_PLUGIN_PATH).
    if (GstElementFactory *factory = gst_element_factory_find("nuvsrc")) gst_object_unref(factory);
    else gst_registry_scan_path(gst_registry_get(), NUVSRC_PLUGIN_DIR);
    if (argc >= 4 && std::strcmp(argv[1], "--guest") == 0)
        return Guest(argv[2], argv[3], argc >= 5 ? std::atoi(argv[4]) : 3);
    if (argc > 1) {
        std::fprintf(stderr, "usage: nuvsrc_bench [--guest VIDEO_NODE SELECTOR [ROUNDS]]\n");
        return 2;
    }
    LoadSim(NUV_SIM_LIBRARY);
    return Host(NUV_SIM_LIBRARY);
}
