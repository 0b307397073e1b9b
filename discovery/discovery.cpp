// Video-capture devices by position, and the two listing exports.
#include "discovery/discovery.h"
#include "common/guarded.h"

#include <cstring>
#include <memory>

#include "common/com.h"
#include "common/process_state.h"
#include "discovery/device_walk.h"
#include "nuv.h"
#include "platform/com_ref.h"

namespace nuv {

namespace {

// The list export of both device listings: names in position order, joined
// by ',', commas inside names replaced. withSerial tags the library's
// cameras with the serial text of their HID interface.
int ListDevices(char *list, int size, bool withSerial) {
    char name[kDeviceNameSize] = {};
    // With no buffer to write into, only say whether there was anything to
    // list: the terminator alone would already be written out of bounds. A
    // call that wrote no list leaves the remembered size alone.
    if (list == nullptr || size < 1) return EnumVideoDevice(0, name, nullptr) == kBuildOk ? -1 : 0;
    list[0] = '\0';
    std::unique_ptr<char[]> displayName;
    if (withSerial) displayName.reset(new char[kDisplayNameSize]());
    const long long limit = static_cast<long long>(size) - 1;
    int count = 0;
    for (int position = 0; EnumVideoDevice(position, name, displayName.get()) == kBuildOk; ++position) {
        for (char *c = name; *c; ++c) {
            if (*c == ',') *c = '-';
        }
        if (withSerial && (std::strcmp(name, "NUV") == 0 || std::strcmp(name, "NUV2") == 0)) {
            char serial[9] = {};
            if (FindHidSerialNumber(displayName.get(), serial)) {
                std::strncat(name, "#", sizeof name - std::strlen(name) - 1);
                std::strncat(name, serial, sizeof name - std::strlen(name) - 1);
            }
        }
        std::size_t used = std::strlen(list);
        if (position != 0) {
            if (static_cast<long long>(used) + 1 >= limit) return -1;
            list[used++] = ',';
            list[used] = '\0';
        }
        const std::size_t length = std::strlen(name);
        if (static_cast<long long>(used + length) >= limit) return -1;
        std::memcpy(list + used, name, length + 1);
        ++count;
        std::memset(name, 0, sizeof name);
    }
    Process().deviceListSize = size;
    return count;
}

}  // namespace

int EnumVideoDevice(int position, char name[kDeviceNameSize], char *displayName) {
    ComSession com;
    // Declared in creation order: released in reverse, the graph last.
    ComRef<IGraphBuilder> graph;
    ComRef<ICreateDevEnum> devices;
    ComRef<IEnumMoniker> monikers;
    ComRef<IBaseFilter> filter;
    if (const int status = OpenVideoCategory(graph, devices, monikers); status != kBuildOk) return status;
    int status = kBuildNoDevice;
    const int walked = WalkVideoDevices(monikers.get(), WalkLimits{}, [&](PnpDevice &device) {
        if (device.position != position) return WalkOn::kNext;
        // Binding and adding is a probe: a device that cannot be
        // instantiated ends the enumeration at its position.
        if (!AddCaptureFilter(graph.get(), device.moniker, device.monikerIndex, filter)) {
            status = kBuildAddFilter;
            return WalkOn::kStop;
        }
        std::memcpy(name, device.friendlyName, kDeviceNameSize);
        if (displayName != nullptr) std::memcpy(displayName, device.displayName, kDisplayNameSize);
        status = kBuildOk;
        return WalkOn::kStop;
    });
    return walked != kBuildOk ? walked : status;
}

}  // namespace nuv

using namespace nuv;

int NUV_CALL NuvGetDevice(char *list, int size) {
    return Guarded<int>(-1, [&] { return ListDevices(list, size, false); });
}

int NUV_CALL NuvGetDeviceWithSerialNo(char *list, int size) {
    return Guarded<int>(-1, [&] { return ListDevices(list, size, true); });
}
