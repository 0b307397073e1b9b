// Opens of different cameras from different threads overlap: ten simulated
// cameras opened from ten threads at once, beside one camera opened alone,
// on the real-time clock (every open waits 3000 ms for its stream to settle).
// Target: the ten take at most 1.3 times as long as the one.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "nuv.h"
#include "nuv_sim.h"

namespace {

constexpr int kCameras = 10;
// The smallest mode: the streaming threads cost little beside the waits.
constexpr int kWidth = 328;
constexpr int kHeight = 204;

using Clock = std::chrono::steady_clock;

void World() {
    NuvSimReset();
    NuvSimUseVirtualClock(0);
    for (int i = 0; i < kCameras; ++i) NuvSimAddCamera(i % 2 == 0 ? "NUV" : "NUV2", 0x2000u + i, 1);
}

// Seconds for opening cameras 0..count-1, each from a thread of its own.
double OpenTogether(int count, int *opened) {
    std::vector<std::thread> threads;
    std::atomic<int> ok{0};
    std::atomic<bool> go{false};
    for (int i = 0; i < count; ++i) {
        threads.emplace_back([&, i] {
            while (!go.load()) std::this_thread::yield();
            if (NuvOpen(i, kWidth, kHeight, 30.0, "YUY2") == 0) ++ok;
        });
    }
    const auto start = Clock::now();
    go = true;
    for (auto &thread : threads) thread.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    for (int i = 0; i < count; ++i) NuvClose(i);
    *opened = ok.load();
    return seconds;
}

double gOne = 0.0;
double gTen = 0.0;

void BM_OneOpen(benchmark::State &state) {
    for (auto _ : state) {
        int opened = 0;
        const double seconds = OpenTogether(1, &opened);
        state.SetIterationTime(seconds);
        if (opened != 1) state.SkipWithError("the camera did not open");
        if (gOne == 0.0 || seconds < gOne) gOne = seconds;
    }
}

void BM_TenOpensFromTenThreads(benchmark::State &state) {
    for (auto _ : state) {
        int opened = 0;
        const double seconds = OpenTogether(kCameras, &opened);
        state.SetIterationTime(seconds);
        if (opened != kCameras) state.SkipWithError("not every camera opened");
        if (gTen == 0.0 || seconds < gTen) gTen = seconds;
    }
}

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    World();
    // Figure and limit take turns: a disturbance of a shared machine hits
    // both alike, and the best round of each is compared.
    for (int round = 0; round < 2; ++round) {
        benchmark::RegisterBenchmark("OneOpen", BM_OneOpen)->Iterations(1)->UseManualTime();
        benchmark::RegisterBenchmark("TenOpensFromTenThreads", BM_TenOpensFromTenThreads)->Iterations(1)->UseManualTime();
    }
    benchmark::RunSpecifiedBenchmarks();
    if (gOne > 0.0 && gTen > 0.0)
        std::printf("\nten opens from ten threads: %.2fx the time of one open (%.0f ms vs %.0f ms), target <= 1.30\n",
                    gTen / gOne, gTen * 1e3, gOne * 1e3);
    NuvSimReset();
    benchmark::Shutdown();
    return 0;
}
