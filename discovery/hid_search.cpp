// The HID interface that belongs to a video device: found by the parent
// instance key, then opened as the camera's control channel or read for its
// serial number.
#include <cctype>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <string>

#include "common/holders.h"
#include "control/control_channel.h"
#include "control/hid_transport.h"
#include "discovery/discovery.h"

namespace nuv {

namespace {

// The key of a HID device information member: its parent's instance ID cut
// by ParentInstanceKey.
bool MemberKey(DEVINST device, char (&key)[MAX_DEVICE_ID_LEN]) {
    DEVINST parent = 0;
    if (os::CM_Get_Parent(&parent, device, 0) != CR_SUCCESS) return false;
    char id[MAX_DEVICE_ID_LEN] = {};
    if (os::CM_Get_Device_IDA(parent, id, sizeof id, 0) != CR_SUCCESS) return false;
    id[sizeof id - 1] = '\0';
    return ParentInstanceKey(id, key, sizeof key);
}

// The device path of interface member of set; "" when its detail cannot be
// read (the member is skipped). False ends the whole search: no interface
// with that index, or no memory for its detail.
bool MemberPath(const DeviceInfoSet &set, const GUID &hidGuid, DWORD member, std::string &path) {
    path.clear();
    SP_DEVICE_INTERFACE_DATA iface;
    std::memset(&iface, 0, sizeof iface);
    iface.cbSize = sizeof iface;
    if (!os::SetupDiEnumDeviceInterfaces(set.get(), nullptr, &hidGuid, member, &iface)) return false;
    DWORD required = 0;
    os::SetupDiGetDeviceInterfaceDetailA(set.get(), &iface, nullptr, 0, &required, nullptr);
    const std::size_t bytes =
        required > sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) ? required : sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    std::unique_ptr<std::uint8_t[]> buffer(new (std::nothrow) std::uint8_t[bytes + 1]);
    if (!buffer) return false;
    std::memset(buffer.get(), 0, bytes + 1);
    auto *detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buffer.get());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (required != 0 && os::SetupDiGetDeviceInterfaceDetailA(set.get(), &iface, detail, required, nullptr, nullptr))
        path = detail->DevicePath;
    return true;
}

// The capabilities of an open HID interface.
bool ReadCaps(HANDLE device, HIDP_CAPS &caps) {
    PreparsedData preparsed;
    if (!os::HidD_GetPreparsedData(device, preparsed.put())) return false;
    std::memset(&caps, 0, sizeof caps);
    return os::HidP_GetCaps(preparsed.get(), &caps) == HIDP_STATUS_SUCCESS;
}

// The serial text: the first eight UTF-16 units of the serial-number string,
// each narrowed to its low byte.
bool ReadSerialText(HANDLE device, char (&serial)[9]) {
    WCHAR text[128 / sizeof(WCHAR)] = {};
    static_assert(sizeof text == 128, "the serial-number string is read into 128 bytes");
    if (!os::HidD_GetSerialNumberString(device, text, sizeof text)) return false;
    text[sizeof text / sizeof text[0] - 1] = 0;
    int i = 0;
    for (; i < 8 && text[i] != 0; ++i) serial[i] = static_cast<char>(static_cast<unsigned>(text[i]) & 0xFFu);
    serial[i] = '\0';
    return true;
}

// The matching rule of both searches: the HID interface members whose parent
// instance key occurs in the display name, in the set's order; tryMember is
// offered each one's device path until it accepts one. A member whose key
// cannot be read, or whose detail cannot be read, is skipped; a failure to
// list the interfaces ends the search.
bool ForEachMatchingHidInterface(const char *displayName, const std::function<bool(const char *path)> &tryMember) {
    if (displayName == nullptr) return false;
    GUID hidGuid;
    os::HidD_GetHidGuid(&hidGuid);
    DeviceInfoSet set(os::SetupDiGetClassDevsA(&hidGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    if (!set.valid()) return false;
    char searched[kDisplayNameSize];
    std::strncpy(searched, displayName, sizeof searched - 1);
    searched[sizeof searched - 1] = '\0';
    for (DWORD member = 0;; ++member) {
        SP_DEVINFO_DATA info;
        std::memset(&info, 0, sizeof info);
        info.cbSize = sizeof info;
        if (!os::SetupDiEnumDeviceInfo(set.get(), member, &info)) return false;
        char key[MAX_DEVICE_ID_LEN];
        if (!MemberKey(info.DevInst, key) || std::strstr(searched, key) == nullptr) continue;
        std::string path;
        if (!MemberPath(set, hidGuid, member, path)) return false;
        if (!path.empty() && tryMember(path.c_str())) return true;
    }
}

}  // namespace

bool ParentInstanceKey(const char *parentInstanceId, char *key, int keySize) {
    if (parentInstanceId == nullptr || key == nullptr || keySize < 1) return false;
    std::string id(parentInstanceId);
    for (char &c : id) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::size_t slash = id.rfind('\\');
    if (slash == std::string::npos) return false;
    const std::size_t start = slash + 1;
    const std::size_t first = id.find('&', start);
    if (first == std::string::npos) return false;
    const std::size_t second = id.find('&', first + 1);
    if (second == std::string::npos) return false;
    const std::size_t length = second - start;
    if (length + 1 > static_cast<std::size_t>(keySize)) return false;
    std::memcpy(key, id.data() + start, length);
    key[length] = '\0';
    return true;
}

bool FindHidSerialNumber(const char *displayName, char serial[9]) {
    if (serial == nullptr) return false;
    char text[9] = {};
    const bool found = ForEachMatchingHidInterface(displayName, [&](const char *path) {
        FileHandle device(os::CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                          nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
        HIDP_CAPS caps;
        return device.valid() && ReadCaps(device.get(), caps) && ReadSerialText(device.get(), text);
    });
    if (found) std::memcpy(serial, text, sizeof text);
    return found;
}

ControlChannelRef OpenControlChannel(const char *displayName) {
    ControlChannelRef channel;
    ForEachMatchingHidInterface(displayName, [&](const char *path) {
        SECURITY_ATTRIBUTES security;
        std::memset(&security, 0, sizeof security);
        security.nLength = sizeof security;
        security.lpSecurityDescriptor = nullptr;
        security.bInheritHandle = FALSE;
        FileHandle device(os::CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                          &security, OPEN_EXISTING, kControlChannelFlags, nullptr));
        HIDP_CAPS caps;
        if (!device.valid() || !ReadCaps(device.get(), caps)) return false;
        channel = std::make_shared<ControlChannel>(device.get(), caps.InputReportByteLength,
                                                   caps.OutputReportByteLength);
        device.release();  // the channel owns it now
        return true;
    });
    return channel;
}

}  // namespace nuv
