// Device setup and configuration-manager services over the control sources.
// A device information set is a snapshot of the interfaces present when it
// was made. Device nodes are numbered per device path, stable for the life
// of the process: 2n for an interface's own node, 2n + 1 for its parent; a
// node whose interface was unplugged is no longer found.
#include <cstddef>
#include <cstring>
#include <map>
#include <set>

#include "platform/framework/diagnostics.h"
#include "platform/framework/source.h"

namespace nuv::framework {
namespace {

constexpr GUID kHidInterfaceClass = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
constexpr GUID kHidDeviceClass = {0x745A17A0, 0x74D3, 0x11D0, {0xB6, 0xFE, 0x00, 0xA0, 0xC9, 0x0F, 0x57, 0xDA}};

struct DeviceInfoSet {
    std::vector<std::shared_ptr<ControlSource>> members;
};

struct Registry {
    std::mutex lock;
    std::set<DeviceInfoSet *> sets;
    std::map<std::string, DWORD> nodeOfPath;
    std::map<DWORD, std::weak_ptr<ControlSource>> sourceOfNode;
};

Registry &TheRegistry() {
    static Registry *registry = new Registry();  // outlives the library's statics
    return *registry;
}

// The node of a member (registering it), 2n.
DWORD NodeOf(const std::shared_ptr<ControlSource> &source) {
    Registry &registry = TheRegistry();
    std::lock_guard<std::mutex> hold(registry.lock);
    const std::string &path = source->Path();
    auto it = registry.nodeOfPath.find(path);
    const DWORD n = it != registry.nodeOfPath.end() ? it->second
                                                    : (registry.nodeOfPath[path] = static_cast<DWORD>(registry.nodeOfPath.size() + 1));
    registry.sourceOfNode[n] = source;
    return 2 * n;
}

std::shared_ptr<ControlSource> SourceOfNode(DEVINST node) {
    Registry &registry = TheRegistry();
    std::lock_guard<std::mutex> hold(registry.lock);
    auto it = registry.sourceOfNode.find(node / 2);
    auto source = it == registry.sourceOfNode.end() ? nullptr : it->second.lock();
    return source && source->Present() ? source : nullptr;
}

DeviceInfoSet *FindSet(HDEVINFO handle) {
    Registry &registry = TheRegistry();
    std::lock_guard<std::mutex> hold(registry.lock);
    auto *set = static_cast<DeviceInfoSet *>(handle);
    return registry.sets.count(set) ? set : nullptr;
}

std::shared_ptr<ControlSource> Member(DeviceInfoSet *set, std::size_t index) {
    return set != nullptr && index < set->members.size() ? set->members[index] : nullptr;
}

}  // namespace
}  // namespace nuv::framework

namespace nuv::os {

using framework::DeviceInfoSet;
using framework::FaultPoint;
using framework::Faults;

HDEVINFO SetupDiGetClassDevsA(const GUID *classGuid, PCSTR, HWND, DWORD flags) {
    auto *set = new DeviceInfoSet();
    if (classGuid != nullptr && *classGuid == framework::kHidInterfaceClass && (flags & DIGCF_DEVICEINTERFACE) != 0) {
        for (auto &source : framework::Sources().ControlSources()) {
            if (source->Present()) set->members.push_back(std::move(source));
        }
    }
    framework::Registry &registry = framework::TheRegistry();
    std::lock_guard<std::mutex> hold(registry.lock);
    registry.sets.insert(set);
    ++framework::Live().deviceInfoSets;
    return set;
}

BOOL SetupDiEnumDeviceInfo(HDEVINFO handle, DWORD index, PSP_DEVINFO_DATA data) {
    if (data == nullptr || data->cbSize != sizeof(SP_DEVINFO_DATA)) return FALSE;
    auto source = framework::Member(framework::FindSet(handle), index);
    if (!source) return FALSE;
    data->ClassGuid = framework::kHidDeviceClass;
    data->DevInst = framework::NodeOf(source);
    data->Reserved = index + 1;
    return TRUE;
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO handle, PSP_DEVINFO_DATA device, const GUID *interfaceGuid, DWORD index,
                                 PSP_DEVICE_INTERFACE_DATA data) {
    if (data == nullptr || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) || interfaceGuid == nullptr) return FALSE;
    if (*interfaceGuid != framework::kHidInterfaceClass) return FALSE;
    if (Faults::Fails(FaultPoint::SetupDiEnumDeviceInterfaces)) return FALSE;
    DeviceInfoSet *set = framework::FindSet(handle);
    std::size_t member = index;
    if (device != nullptr) {
        // Interfaces of one member: it has exactly one.
        if (index != 0 || device->Reserved == 0) return FALSE;
        member = device->Reserved - 1;
    }
    if (!framework::Member(set, member)) return FALSE;
    data->InterfaceClassGuid = framework::kHidInterfaceClass;
    data->Flags = 1;  // active
    data->Reserved = member + 1;
    return TRUE;
}

BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO handle, PSP_DEVICE_INTERFACE_DATA interfaceData,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD detailSize,
                                      PDWORD requiredSize, PSP_DEVINFO_DATA device) {
    if (interfaceData == nullptr || interfaceData->Reserved == 0) return FALSE;
    const std::size_t member = interfaceData->Reserved - 1;
    auto source = framework::Member(framework::FindSet(handle), member);
    if (!source) return FALSE;
    const std::string &path = source->Path();
    const DWORD needed = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1);
    if (requiredSize != nullptr) *requiredSize = needed;
    if (detail == nullptr) return FALSE;  // the caller asked for the size
    if (Faults::Fails(FaultPoint::SetupDiGetDeviceInterfaceDetailA)) return FALSE;
    if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) || detailSize < needed) return FALSE;
    std::memcpy(detail->DevicePath, path.c_str(), path.size() + 1);
    if (device != nullptr && device->cbSize == sizeof(SP_DEVINFO_DATA)) {
        device->ClassGuid = framework::kHidDeviceClass;
        device->DevInst = framework::NodeOf(source);
        device->Reserved = member + 1;
    }
    return TRUE;
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO handle) {
    DeviceInfoSet *set = nullptr;
    {
        framework::Registry &registry = framework::TheRegistry();
        std::lock_guard<std::mutex> hold(registry.lock);
        auto it = registry.sets.find(static_cast<DeviceInfoSet *>(handle));
        if (it == registry.sets.end()) return FALSE;
        set = *it;
        registry.sets.erase(it);
        --framework::Live().deviceInfoSets;
    }
    delete set;
    return TRUE;
}

CONFIGRET CM_Get_Parent(PDEVINST parent, DEVINST device, ULONG) {
    if (parent == nullptr) return CR_FAILURE;
    if (Faults::Fails(FaultPoint::CM_Get_Parent)) return CR_FAILURE;
    if (device % 2 != 0) return CR_NO_SUCH_DEVNODE;  // the parents hang off the root: not modelled
    auto source = framework::SourceOfNode(device);
    if (!source || source->ParentInstanceId().empty()) return CR_NO_SUCH_DEVNODE;
    *parent = device + 1;
    return CR_SUCCESS;
}

CONFIGRET CM_Get_Device_IDA(DEVINST device, PCHAR buffer, ULONG bufferLength, ULONG) {
    if (buffer == nullptr) return CR_FAILURE;
    if (Faults::Fails(FaultPoint::CM_Get_Device_IDA)) return CR_FAILURE;
    auto source = framework::SourceOfNode(device);
    if (!source) return CR_NO_SUCH_DEVNODE;
    const std::string &id = device % 2 != 0 ? source->ParentInstanceId() : source->InstanceId();
    if (id.size() + 1 > bufferLength) return CR_BUFFER_SMALL;
    std::memcpy(buffer, id.c_str(), id.size() + 1);
    return CR_SUCCESS;
}

}  // namespace nuv::os
