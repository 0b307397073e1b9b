// Device setup and configuration manager services over the world's HID
// interfaces. A device information set is a snapshot of the interfaces
// present when it was made; device nodes are numbered from the interfaces'
// ids (2 x id for the HID device, 2 x id + 1 for its parent), so that a node
// of an interface unplugged meanwhile is no longer found.
#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <set>

#include "platform/os.h"
#include "platform/sim/hid_interface.h"
#include "platform/sim/world.h"

namespace nuv::sim {
namespace {

constexpr GUID kHidInterfaceClass = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
constexpr GUID kHidDeviceClass = {0x745A17A0, 0x74D3, 0x11D0, {0xB6, 0xFE, 0x00, 0xA0, 0xC9, 0x0F, 0x57, 0xDA}};

struct DeviceInfoSet {
    std::vector<std::shared_ptr<HidInterface>> members;
};

std::mutex gSetsLock;
std::set<DeviceInfoSet *> gSets;

DeviceInfoSet *FindSet(HDEVINFO handle) {
    std::lock_guard<std::mutex> hold(gSetsLock);
    auto *set = static_cast<DeviceInfoSet *>(handle);
    return gSets.count(set) ? set : nullptr;
}

std::shared_ptr<HidInterface> Member(DeviceInfoSet *set, std::size_t index) {
    return set != nullptr && index < set->members.size() ? set->members[index] : nullptr;
}

}  // namespace

int LiveDeviceInfoSets() {
    std::lock_guard<std::mutex> hold(gSetsLock);
    return static_cast<int>(gSets.size());
}

}  // namespace nuv::sim

namespace nuv::os {

using sim::DeviceInfoSet;

HDEVINFO SetupDiGetClassDevsA(const GUID *classGuid, PCSTR, HWND, DWORD flags) {
    auto *set = new DeviceInfoSet();
    if (classGuid != nullptr && *classGuid == sim::kHidInterfaceClass && (flags & DIGCF_DEVICEINTERFACE) != 0) {
        sim::World &world = sim::World::Instance();
        std::lock_guard<std::mutex> hold(world.Lock());
        set->members = world.HidInterfaces();
    }
    std::lock_guard<std::mutex> hold(sim::gSetsLock);
    sim::gSets.insert(set);
    return set;
}

BOOL SetupDiEnumDeviceInfo(HDEVINFO handle, DWORD index, PSP_DEVINFO_DATA data) {
    if (data == nullptr || data->cbSize != sizeof(SP_DEVINFO_DATA)) return FALSE;
    auto hid = sim::Member(sim::FindSet(handle), index);
    if (!hid) return FALSE;
    data->ClassGuid = sim::kHidDeviceClass;
    data->DevInst = static_cast<DWORD>(hid->id) * 2;
    data->Reserved = index + 1;
    return TRUE;
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO handle, PSP_DEVINFO_DATA device, const GUID *interfaceGuid, DWORD index,
                                 PSP_DEVICE_INTERFACE_DATA data) {
    if (data == nullptr || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) || interfaceGuid == nullptr) return FALSE;
    if (*interfaceGuid != sim::kHidInterfaceClass) return FALSE;
    DeviceInfoSet *set = sim::FindSet(handle);
    std::size_t member = index;
    if (device != nullptr) {
        // Interfaces of one member: it has exactly one.
        if (index != 0 || device->Reserved == 0) return FALSE;
        member = device->Reserved - 1;
    }
    if (!sim::Member(set, member)) return FALSE;
    data->InterfaceClassGuid = sim::kHidInterfaceClass;
    data->Flags = 1;  // active
    data->Reserved = member + 1;
    return TRUE;
}

BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO handle, PSP_DEVICE_INTERFACE_DATA interfaceData,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD detailSize,
                                      PDWORD requiredSize, PSP_DEVINFO_DATA device) {
    if (interfaceData == nullptr || interfaceData->Reserved == 0) return FALSE;
    const std::size_t member = interfaceData->Reserved - 1;
    auto hid = sim::Member(sim::FindSet(handle), member);
    if (!hid) return FALSE;
    const std::string &path = hid->Path();
    const DWORD needed = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1);
    if (requiredSize != nullptr) *requiredSize = needed;
    if (detail == nullptr) return FALSE;  // the caller asked for the size
    if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) || detailSize < needed) return FALSE;
    std::memcpy(detail->DevicePath, path.c_str(), path.size() + 1);
    if (device != nullptr && device->cbSize == sizeof(SP_DEVINFO_DATA)) {
        device->ClassGuid = sim::kHidDeviceClass;
        device->DevInst = static_cast<DWORD>(hid->id) * 2;
        device->Reserved = member + 1;
    }
    return TRUE;
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO handle) {
    DeviceInfoSet *set = nullptr;
    {
        std::lock_guard<std::mutex> hold(sim::gSetsLock);
        auto it = sim::gSets.find(static_cast<DeviceInfoSet *>(handle));
        if (it == sim::gSets.end()) return FALSE;
        set = *it;
        sim::gSets.erase(it);
    }
    delete set;
    return TRUE;
}

CONFIGRET CM_Get_Parent(PDEVINST parent, DEVINST device, ULONG) {
    if (parent == nullptr) return CR_FAILURE;
    if (device % 2 != 0) return CR_NO_SUCH_DEVNODE;  // the parents hang off the root: not modelled
    auto hid = sim::World::Instance().FindHidInterface(static_cast<int>(device / 2));
    if (!hid || hid->ParentInstanceId().empty()) return CR_NO_SUCH_DEVNODE;
    *parent = device + 1;
    return CR_SUCCESS;
}

CONFIGRET CM_Get_Device_IDA(DEVINST device, PCHAR buffer, ULONG bufferLength, ULONG) {
    if (buffer == nullptr) return CR_FAILURE;
    auto hid = sim::World::Instance().FindHidInterface(static_cast<int>(device / 2));
    if (!hid) return CR_NO_SUCH_DEVNODE;
    std::string id;
    if (device % 2 != 0) {
        id = hid->ParentInstanceId();
    } else {
        char text[80];
        std::snprintf(text, sizeof text, "HID\\VID_1D6B&PID_0102&MI_01\\8&%08X&0&0000", static_cast<unsigned>(0x3C4D0000u + device));
        id = text;
    }
    if (id.size() + 1 > bufferLength) return CR_BUFFER_SMALL;
    std::memcpy(buffer, id.c_str(), id.size() + 1);
    return CR_SUCCESS;
}

}  // namespace nuv::os
