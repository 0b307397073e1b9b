#include "discovery/device_walk.h"

#include "common/build_status.h"
#include "common/com.h"
#include "common/holders.h"

namespace nuv {

namespace {

constexpr WideLiteral kFriendlyName("FriendlyName");

// A device without a readable name gets an empty one.
void ReadFriendlyName(IMoniker *moniker, char (&name)[kDeviceNameSize]) {
    name[0] = '\0';
    ComRef<IPropertyBag> bag;
    if (NoteCom(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag, bag.putVoid())) != S_OK || !bag) return;
    VARIANT value;
    os::VariantInit(&value);
    value.vt = VT_BSTR;
    if (NoteCom(bag->Read(kFriendlyName.get(), &value, nullptr)) == S_OK && value.vt == VT_BSTR)
        WideToAnsi(value.bstrVal, name, kDeviceNameSize);
    os::VariantClear(&value);
}

}  // namespace

int OpenVideoCategory(ComRef<IGraphBuilder> &graph, ComRef<ICreateDevEnum> &devices, ComRef<IEnumMoniker> &monikers) {
    if (NoteCom(os::CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                     graph.putVoid())) != S_OK ||
        !graph)
        return kBuildFilterGraph;
    if (NoteCom(os::CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum,
                                     devices.putVoid())) != S_OK ||
        !devices)
        return kBuildDeviceEnumerator;
    if (NoteCom(devices->CreateClassEnumerator(CLSID_VideoInputDeviceCategory, monikers.put(), 0)) != S_OK ||
        !monikers)
        return kBuildClassEnumerator;
    return kBuildOk;
}

int WalkVideoDevices(IEnumMoniker *monikers, WalkLimits limits, const std::function<WalkOn(PnpDevice &)> &visit) {
    PnpDevice device;
    for (int taken = 0; limits.monikers < 0 || taken < limits.monikers; ++taken) {
        ComRef<IMoniker> moniker;
        ULONG fetched = 0;
        if (NoteCom(monikers->Next(1, moniker.put(), &fetched)) != S_OK || !moniker) break;
        CoTaskMemText wide;
        if (NoteCom(moniker->GetDisplayName(nullptr, nullptr, wide.put())) != S_OK || wide.get() == nullptr)
            return kBuildDisplayName;
        if (!WideContains(wide.get(), "@device:pnp")) continue;
        device.moniker = moniker.get();
        device.monikerIndex = taken;
        WideToAnsi(wide.get(), device.displayName, kDisplayNameSize);
        if (limits.friendlyNames) ReadFriendlyName(moniker.get(), device.friendlyName);
        else device.friendlyName[0] = '\0';
        if (visit(device) == WalkOn::kStop) return kBuildOk;
        ++device.position;
    }
    return kBuildOk;
}

bool AddCaptureFilter(IGraphBuilder *graph, IMoniker *moniker, int nameIndex, ComRef<IBaseFilter> &filter) {
    if (NoteCom(moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter, filter.putVoid())) != S_OK) {
        filter.reset();
        return false;
    }
    if (!filter) {
        NoteCom(E_POINTER);  // a bind that gave no filter fails as adding it would
        return false;
    }
    OLECHAR name[40];
    WideNumbered(name, sizeof name / sizeof name[0], "Video Capture ", nameIndex);
    return NoteCom(graph->AddFilter(filter.get(), name)) == S_OK;
}

}  // namespace nuv
