// The main job: a real capture run on the world an application meets.
//
// Lists the cameras with their serial numbers and stream formats, opens each
// one at 1280 x 720, receives frames for a few seconds (frames per second,
// and how flat the corrected frames are beside the raw ones), closes them,
// and exits non-zero when anything failed.
//
//   nuv_demo [seconds]
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "nuv.h"
#include "nuv_sim.h"

namespace {

constexpr int kWidth = 1280;
constexpr int kHeight = 720;
constexpr double kFrameRate = 30.0;

int gFailures = 0;

void Fail(const char *what, int position) {
    std::printf("  FAILED: %s (camera %d)\n", what, position);
    ++gFailures;
}

std::vector<std::string> Split(const char *list) {
    std::vector<std::string> names;
    std::string current;
    for (const char *p = list; *p; ++p) {
        if (*p == ',') {
            if (!current.empty()) names.push_back(current);
            current.clear();
        } else {
            current.push_back(*p);
        }
    }
    if (!current.empty()) names.push_back(current);
    return names;
}

// How flat a frame is: the spread of its 10-bit pixel values (standard
// deviation over mean, in percent), and the darkest corner against the
// centre. The first row is left out: it carries the frame counter.
struct Flatness {
    double spreadPercent = 0.0;
    double cornerToCentre = 0.0;
};

double MeanOf(const std::vector<unsigned short> &pixels, int x0, int y0, int size) {
    double sum = 0.0;
    for (int y = y0; y < y0 + size; ++y)
        for (int x = x0; x < x0 + size; ++x) sum += pixels[static_cast<std::size_t>(y) * kWidth + x];
    return sum / (size * size);
}

Flatness Measure(const std::vector<unsigned short> &pixels) {
    double sum = 0.0, squares = 0.0;
    std::size_t count = 0;
    for (std::size_t i = kWidth; i < static_cast<std::size_t>(kWidth) * kHeight; ++i) {
        const double v = pixels[i] & 0x3FF;
        sum += v;
        squares += v * v;
        ++count;
    }
    Flatness out;
    const double mean = sum / static_cast<double>(count);
    const double variance = squares / static_cast<double>(count) - mean * mean;
    out.spreadPercent = mean > 0.0 ? 100.0 * std::sqrt(variance > 0.0 ? variance : 0.0) / mean : 0.0;
    const int box = 16;
    const double centre = MeanOf(pixels, kWidth / 2 - box / 2, kHeight / 2 - box / 2, box);
    double darkest = MeanOf(pixels, 0, 8, box);
    darkest = std::fmin(darkest, MeanOf(pixels, kWidth - box, 8, box));
    darkest = std::fmin(darkest, MeanOf(pixels, 0, kHeight - box, box));
    darkest = std::fmin(darkest, MeanOf(pixels, kWidth - box, kHeight - box, box));
    out.cornerToCentre = centre > 0.0 ? darkest / centre : 0.0;
    return out;
}

// Waits (in real time) for the next new frame of one camera.
bool NextFrame(int handle, std::vector<unsigned short> &pixels, double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (NuvReceiveImage(handle, pixels.data())) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

struct Camera {
    int position = -1;
    std::string entry;
    int openResult = -1;
    std::vector<unsigned short> pixels;
    long frames = 0;
    long framesThisSecond = 0;
};

}  // namespace

int main(int argc, char **argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
    char version[64];
    if (!NuvDLLVersion(version, static_cast<int>(sizeof version))) {
        std::printf("FAILED: NuvDLLVersion\n");
        return 1;
    }
    std::printf("%s\n\n", version);

    char list[1024] = {};
    const int listed = NuvGetDeviceWithSerialNo(list, static_cast<int>(sizeof list));
    if (listed <= 0) {
        std::printf("FAILED: no camera listed (%d)\n", listed);
        return 1;
    }
    std::vector<Camera> cameras;
    for (const std::string &entry : Split(list)) {
        Camera camera;
        camera.position = static_cast<int>(cameras.size());
        camera.entry = entry;
        cameras.push_back(camera);
    }
    std::printf("%d device(s):\n", listed);
    for (const Camera &camera : cameras) {
        std::printf("  %d: %s\n", camera.position, camera.entry.c_str());
        static char formats[8192];
        if (NuvGetFormat(camera.position, formats, static_cast<int>(sizeof formats))) {
            // "i,width,height,fps,format," per format
            const std::vector<std::string> fields = Split(formats);
            for (std::size_t i = 0; i + 4 < fields.size(); i += 5)
                std::printf("       format %s: %s x %s at %s fps, %s\n", fields[i].c_str(), fields[i + 1].c_str(),
                            fields[i + 2].c_str(), fields[i + 3].c_str(), fields[i + 4].c_str());
        } else {
            std::printf("       (formats not listed)\n");
        }
    }

    std::printf("\nopening at %d x %d, %.1f fps, YUY2\n", kWidth, kHeight, kFrameRate);
    for (Camera &camera : cameras) {
        const auto started = std::chrono::steady_clock::now();
        camera.openResult = NuvOpen(camera.position, kWidth, kHeight, kFrameRate, "YUY2");
        const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        std::printf("  camera %d: NuvOpen -> %d (%.1f s), frame %d bytes\n", camera.position, camera.openResult, took,
                    NuvGetBufferSize(camera.position));
        if (camera.openResult == -1) {
            Fail("open", camera.position);
            continue;
        }
        int serial = 0;
        if (camera.openResult == 0 && NuvGetSerialNo(camera.position, &serial))
            std::printf("             serial number by command: %08X\n", static_cast<unsigned>(serial));
        std::size_t words = static_cast<std::size_t>(kWidth) * kHeight;
        const std::size_t frameWords = (static_cast<std::size_t>(NuvGetBufferSize(camera.position)) + 1) / 2;
        camera.pixels.assign(words > frameWords ? words : frameWords, 0);
    }

    // Raw against corrected: one frame with both corrections off, one with
    // them on (cameras whose kind takes no correction refuse the switch).
    std::printf("\nflatness (spread of pixel values; darkest corner / centre):\n");
    for (Camera &camera : cameras) {
        if (camera.openResult == -1) continue;
        const bool switchable =
            NuvSetPixelDefectOnOff(camera.position, 0) && NuvSetShadingCorrectionOnOff(camera.position, 0);
        if (!NextFrame(camera.position, camera.pixels, 2.0)) {
            Fail("no raw frame", camera.position);
            continue;
        }
        const Flatness first = Measure(camera.pixels);
        if (!switchable) {
            // The switches belong to the cameras that carry shading data; a
            // "NUV" frame is delivered as its camera kind allows.
            std::printf("  camera %d:           spread %6.2f %%, corner/centre %.3f  (no correction switches for "
                        "this camera kind)\n",
                        camera.position, first.spreadPercent, first.cornerToCentre);
            continue;
        }
        NuvSetPixelDefectOnOff(camera.position, 1);
        NuvSetShadingCorrectionOnOff(camera.position, 1);
        if (!NextFrame(camera.position, camera.pixels, 2.0)) {
            Fail("no corrected frame", camera.position);
            continue;
        }
        const Flatness corrected = Measure(camera.pixels);
        std::printf("  camera %d raw:       spread %6.2f %%, corner/centre %.3f\n", camera.position,
                    first.spreadPercent, first.cornerToCentre);
        std::printf("  camera %d corrected: spread %6.2f %%, corner/centre %.3f\n", camera.position,
                    corrected.spreadPercent, corrected.cornerToCentre);
        if (!(corrected.spreadPercent < first.spreadPercent))
            Fail("corrected frame not flatter than raw", camera.position);
    }

    std::printf("\nreceiving for %.1f s:\n", seconds);
    const auto start = std::chrono::steady_clock::now();
    auto secondStart = start;
    while (std::chrono::steady_clock::now() - start < std::chrono::duration<double>(seconds)) {
        for (Camera &camera : cameras) {
            if (camera.openResult == -1) continue;
            if (NuvReceiveImage(camera.position, camera.pixels.data())) {
                ++camera.frames;
                ++camera.framesThisSecond;
            }
        }
        const auto now = std::chrono::steady_clock::now();
        const double elapsed = std::chrono::duration<double>(now - secondStart).count();
        if (elapsed >= 1.0) {
            std::printf(" ");
            for (Camera &camera : cameras) {
                if (camera.openResult == -1) continue;
                std::printf(" camera %d: %5.1f fps", camera.position,
                            static_cast<double>(camera.framesThisSecond) / elapsed);
                camera.framesThisSecond = 0;
            }
            std::printf("\n");
            secondStart = now;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const double total = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    for (const Camera &camera : cameras) {
        if (camera.openResult == -1) continue;
        const double fps = static_cast<double>(camera.frames) / total;
        std::printf("  camera %d: %ld frames, %.1f fps on average\n", camera.position, camera.frames, fps);
        if (fps < kFrameRate * 0.5) Fail("frame rate below half the requested rate", camera.position);
    }

    std::printf("\nclosing\n");
    for (Camera &camera : cameras) {
        if (camera.openResult == -1) continue;
        NuvClose(camera.position);
        if (NuvGetBufferSize(camera.position) != 0 || NuvReceiveImage(camera.position, camera.pixels.data()))
            Fail("still answers after close", camera.position);
    }
    std::printf("live framework objects after close: %d, open handles: %d\n", NuvSimLiveComObjects(),
                NuvSimOpenHandles());
    if (NuvSimLiveComObjects() != 0 || NuvSimOpenHandles() != 0) Fail("resources left after close", -1);

    std::printf("\n%s\n", gFailures == 0 ? "capture run passed" : "capture run FAILED");
    return gFailures == 0 ? 0 : 1;
}
