// Device listing with ten simulated cameras, beside one bare enumeration of
// the video-input category: listing n devices enumerates the category n + 1
// times, so the ratio to the bare enumeration should stay near n + 1 (11).
#include <benchmark/benchmark.h>

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

double gBareNs = 0.0;

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

void Measure(const char *label, void (*body)(), int rounds, double *nsOut) {
    using clock = std::chrono::steady_clock;
    body();  // warm
    const auto start = clock::now();
    for (int i = 0; i < rounds; ++i) body();
    const double ns = std::chrono::duration<double, std::nano>(clock::now() - start).count() / rounds;
    if (nsOut) *nsOut = ns;
    std::printf("%-40s %12.0f ns per call", label, ns);
    if (gBareNs > 0.0 && nsOut == nullptr) std::printf("   ratio to one bare enumeration: %.2f (n + 1 = %d)", ns / gBareNs, kCameras + 1);
    std::printf("\n");
}

BENCHMARK(BM_BareCategoryEnumeration);
BENCHMARK(BM_List<NuvGetDevice>)->Name("NuvGetDevice/10 cameras");
BENCHMARK(BM_List<NuvGetDeviceWithSerialNo>)->Name("NuvGetDeviceWithSerialNo/10 cameras");

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    // The figures as ratios, measured in this run.
    TenCameras();
    Measure("bare category enumeration", BareEnumeration, 2000, &gBareNs);
    Measure("NuvGetDevice (10 cameras)", [] { char l[1024]; NuvGetDevice(l, sizeof l); }, 200, nullptr);
    Measure("NuvGetDeviceWithSerialNo (10 cameras)", [] { char l[1024]; NuvGetDeviceWithSerialNo(l, sizeof l); }, 200,
            nullptr);
    benchmark::Shutdown();
    return 0;
}
