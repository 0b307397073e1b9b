// Control channel: exchanges per second against the simulated firmware, and
// a whole parameter-block read (21 exchanges), each beside the cost of the
// simulated firmware answering alone (one raw report written and its reply
// read, with nothing of the transport around it), measured in the same run.
// The clock runs in real time, so a sleep in the transport would show.
#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>

#include "api/registry.h"
#include "control/hid_transport.h"
#include "nuv_sim.h"
#include "platform/os.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Channel {
    Channel() {
        NuvSimReset();
        NuvSimUseVirtualClock(0);
        hid = NuvSimAddHidInterface("bench-hid", "USB\\VID_1B8D&PID_0101\\6&1&0&2", "12345678", 0x12345678, 0, 0);
        handle = nuv::os::CreateFileA("bench-hid", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_EXISTING, nuv::kControlChannelFlags, nullptr);
        PHIDP_PREPARSED_DATA preparsed = nullptr;
        nuv::os::HidD_GetPreparsedData(handle, &preparsed);
        HIDP_CAPS caps{};
        nuv::os::HidP_GetCaps(preparsed, &caps);
        nuv::os::HidD_FreePreparsedData(preparsed);
        channel = std::make_unique<nuv::ControlChannel>(handle, caps.InputReportByteLength,
                                                        caps.OutputReportByteLength);
    }
    ~Channel() {
        channel.reset();  // closes the handle
        NuvSimReset();
    }
    int hid = 0;
    HANDLE handle = nullptr;
    std::unique_ptr<nuv::ControlChannel> channel;
};

// One raw round trip: a prebuilt report written and its reply read, nothing
// of the transport around it. This is the firmware's own cost.
void FirmwareRoundTrip(HANDLE handle, std::uint8_t sequence) {
    std::uint8_t out[65] = {0, sequence, nuv::kCmdFlashRead, 0x07, 0x00, 0x00};
    std::uint8_t in[65];
    DWORD n = 0;
    nuv::os::WriteFileWithin(handle, out, sizeof out, &n, 5000);
    nuv::os::ReadFileWithin(handle, in, sizeof in, &n, 5000);
    benchmark::DoNotOptimize(in);
}

// The machine is shared: the two costs are measured in alternating batches
// and the fastest batch of each counts, so that a busy moment does not land
// on one side only.
template <class Subject, class Reference>
double RatioOfBestBatches(Subject subject, Reference reference, double *subjectNs, double *referenceNs) {
    constexpr int kRounds = 15;
    constexpr int kBatch = 400;
    double best[2] = {1e300, 1e300};
    for (int round = 0; round < kRounds; ++round) {
        for (int side = 0; side < 2; ++side) {
            const auto start = Clock::now();
            for (int i = 0; i < kBatch; ++i) side == 0 ? subject(i) : reference(i);
            const double ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count() / kBatch;
            if (ns < best[side]) best[side] = ns;
        }
    }
    *subjectNs = best[0];
    *referenceNs = best[1];
    return best[0] / best[1];
}

void BM_Exchange(benchmark::State &state) {
    Channel channel;
    nuv::CommandBlock command{};
    command[0] = nuv::kCmdFlashRead;
    command[1] = 0x07;
    nuv::ReplyBlock reply{};
    for (auto _ : state) {
        if (!nuv::HidTransact(*channel.channel, command, reply)) state.SkipWithError("exchange failed");
        benchmark::DoNotOptimize(reply);
    }
    double exchangeNs = 0, firmwareNs = 0;
    const double ratio = RatioOfBestBatches([&](int) { nuv::HidTransact(*channel.channel, command, reply); },
                                            [&](int i) { FirmwareRoundTrip(channel.handle, static_cast<std::uint8_t>(i)); },
                                            &exchangeNs, &firmwareNs);
    state.counters["exchanges_per_s"] = 1e9 / exchangeNs;
    state.counters["firmware_ns"] = firmwareNs;
    state.counters["ratio_to_firmware"] = ratio;
}
BENCHMARK(BM_Exchange);

void BM_ParameterBlockRead(benchmark::State &state) {
    Channel channel;
    nuv::ParameterBlock block{};
    for (auto _ : state) {
        if (!nuv::ReadParameterBlock(*channel.channel, block)) state.SkipWithError("read failed");
        benchmark::DoNotOptimize(block);
    }
    double blockNs = 0, firmwareNs = 0;
    const double ratio = RatioOfBestBatches(
        [&](int) { nuv::ReadParameterBlock(*channel.channel, block); },
        [&](int i) {
            for (int chunk = 0; chunk < nuv::kParameterBlockChunks; ++chunk) {
                FirmwareRoundTrip(channel.handle, static_cast<std::uint8_t>(i + chunk));
            }
        },
        &blockNs, &firmwareNs);
    state.counters["block_us"] = blockNs / 1000.0;
    state.counters["firmware_21_us"] = firmwareNs / 1000.0;
    state.counters["ratio_to_firmware"] = ratio;
}
BENCHMARK(BM_ParameterBlockRead);

// Reading one report of the simulator's command log: the same cost with
// 16384 reports logged (a firmware rewrite's worth) as with one.
void BM_CommandLogRead(benchmark::State &state) {
    Channel channel;
    FirmwareRoundTrip(channel.handle, 0);
    std::uint8_t report[65];
    for (auto _ : state) benchmark::DoNotOptimize(NuvSimHidCommandReport(channel.hid, 0, report, sizeof report));
    double shortNs = 0, fullNs = 0, unused = 0;
    RatioOfBestBatches([&](int) { NuvSimHidCommandReport(channel.hid, 0, report, sizeof report); }, [](int) {},
                       &shortNs, &unused);
    for (int i = 0; i < 16384; ++i) FirmwareRoundTrip(channel.handle, static_cast<std::uint8_t>(i));
    RatioOfBestBatches([&](int i) { NuvSimHidCommandReport(channel.hid, 16000 + i % 300, report, sizeof report); },
                       [](int) {}, &fullNs, &unused);
    state.counters["one_report_ns"] = shortNs;
    state.counters["of_16384_ns"] = fullNs;
    state.counters["ratio"] = fullNs / shortNs;
}
BENCHMARK(BM_CommandLogRead);

}  // namespace

BENCHMARK_MAIN();
