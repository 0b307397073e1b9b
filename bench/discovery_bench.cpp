// Device listing with ten simulated cameras, beside one bare enumeration of
// the video-input category (display and friendly name of every device):
// listing n devices walks the category n + 1 times, position k stopping at
// device k (66 devices visited for 10), and binds each listed device once;
// the serial listing adds one search of the HID interfaces per tagged
// camera. The ratios show what a listing costs beyond its walks.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "nuv.h"
#include "nuv_sim.h"
#include "common/text.h"
#include "platform/com_ref.h"
#include "platform/os.h"

namespace {

constexpr int kCameras = 10;

void TenCameras() {
    NuvSimReset();
    NuvSimUseVirtualClock(1);
    for (int i = 0; i < kCameras; ++i) NuvSimAddCamera(i % 2 ? "NUV2" : "NUV", 0x10000000u + static_cast<unsigned>(i), 1);
}

// What one category enumeration costs on its own: COM, the enumerators, the
// display name and friendly name of every moniker.
void BareEnumeration() {
    nuv::os::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    {
        nuv::ComRef<ICreateDevEnum> devices;
        nuv::ComRef<IEnumMoniker> monikers;
        nuv::os::CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum,
                                  devices.putVoid());
        devices->CreateClassEnumerator(CLSID_VideoInputDeviceCategory, monikers.put(), 0);
        nuv::ComRef<IMoniker> moniker;
        while (monikers->Next(1, moniker.put(), nullptr) == S_OK) {
            LPOLESTR name = nullptr;
            moniker->GetDisplayName(nullptr, nullptr, &name);
            nuv::os::CoTaskMemFree(name);
            nuv::ComRef<IPropertyBag> bag;
            moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag, bag.putVoid());
            VARIANT value;
            nuv::os::VariantInit(&value);
            value.vt = VT_BSTR;
            static constexpr nuv::WideLiteral kFriendlyName("FriendlyName");
            bag->Read(kFriendlyName.get(), &value, nullptr);
            nuv::os::VariantClear(&value);
        }
    }
    nuv::os::CoUninitialize();
}

void BM_BareCategoryEnumeration(benchmark::State &state) {
    TenCameras();
    for (auto _ : state) BareEnumeration();
}

template <int(NUV_CALL *List)(char *, int)>
void BM_List(benchmark::State &state) {
    TenCameras();
    char list[1024];
    for (auto _ : state) benchmark::DoNotOptimize(List(list, sizeof list));
}

// The fastest of several batches, so that a busy moment of the shared
// machine does not decide a figure; figure and limit take turns.
double BestBatchNs(void (*body)(), int rounds) {
    using clock = std::chrono::steady_clock;
    const auto start = clock::now();
    for (int i = 0; i < rounds; ++i) body();
    return std::chrono::duration<double, std::nano>(clock::now() - start).count() / rounds;
}

BENCHMARK(BM_BareCategoryEnumeration);
BENCHMARK(BM_List<NuvGetDevice>)->Name("NuvGetDevice/10 cameras");
BENCHMARK(BM_List<NuvGetDeviceWithSerialNo>)->Name("NuvGetDeviceWithSerialNo/10 cameras");

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    // The figures as ratios, measured in this run: the best of seven
    // batches each, taken in turns.
    TenCameras();
    void (*const list)() = [] {
        char l[1024];
        NuvGetDevice(l, sizeof l);
    };
    void (*const listSerials)() = [] {
        char l[1024];
        NuvGetDeviceWithSerialNo(l, sizeof l);
    };
    double bare = 1e300, listed = 1e300, serials = 1e300;
    for (int round = 0; round < 7; ++round) {
        bare = std::min(bare, BestBatchNs(BareEnumeration, 2000));
        listed = std::min(listed, BestBatchNs(list, 200));
        serials = std::min(serials, BestBatchNs(listSerials, 200));
    }
    std::printf("bare category enumeration                %10.0f ns per call\n", bare);
    std::printf("NuvGetDevice (10 cameras)                %10.0f ns per call   ratio to one bare enumeration: %.2f\n",
                listed, listed / bare);
    std::printf("NuvGetDeviceWithSerialNo (10 cameras)    %10.0f ns per call   ratio to one bare enumeration: %.2f\n",
                serials, serials / bare);
    benchmark::Shutdown();
    return 0;
}
