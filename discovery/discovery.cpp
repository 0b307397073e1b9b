// Video-capture devices by position, and the HID control interface that
// belongs to a video device.
#include "discovery/discovery.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <memory>
#include <new>

#include "control/hid_transport.h"
#include "discovery/text.h"
#include "nuv.h"
#include "platform/com_ref.h"

namespace nuv {

namespace {

// Reads "FriendlyName" from the moniker's property bag. A device without a
// readable name gets an empty one.
void ReadFriendlyName(IMoniker *moniker, char (&name)[kDeviceNameSize]) {
    name[0] = '\0';
    ComRef<IPropertyBag> bag;
    if (NoteComStatus(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag, bag.putVoid())) != S_OK || !bag) return;
    VARIANT value;
    os::VariantInit(&value);
    value.vt = VT_BSTR;
    const HRESULT read = NoteComStatus(bag->Read(L"FriendlyName", &value, nullptr));
    if (read == S_OK && value.vt == VT_BSTR && value.bstrVal != nullptr) {
        WideToAnsi(value.bstrVal, name, kDeviceNameSize);
    }
    os::VariantClear(&value);
}

// The list export of both device listings: names in position order, joined
// by ',', commas inside names replaced. withSerial tags the library's
// cameras with the serial text of their HID interface.
int ListDevices(char *list, int size, bool withSerial) {
    char name[kDeviceNameSize] = {};
    // With no buffer to write into, only say whether there was anything to
    // list: the terminator alone would already be written out of bounds. A
    // call that wrote no list leaves the remembered size alone.
    if (list == nullptr || size < 1) return EnumVideoDevice(0, name, nullptr) == kEnumOk ? -1 : 0;
    list[0] = '\0';
    std::unique_ptr<char[]> displayName;
    if (withSerial) displayName.reset(new char[kDisplayNameSize]());
    const long long limit = static_cast<long long>(size) - 1;
    int count = 0;
    for (int position = 0; EnumVideoDevice(position, name, displayName.get()) == kEnumOk; ++position) {
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

class DeviceInfoSet {
public:
    explicit DeviceInfoSet(HDEVINFO set) : set_(set) {}
    ~DeviceInfoSet() {
        if (valid()) os::SetupDiDestroyDeviceInfoList(set_);
    }
    DeviceInfoSet(const DeviceInfoSet &) = delete;
    DeviceInfoSet &operator=(const DeviceInfoSet &) = delete;
    bool valid() const { return set_ != nullptr && set_ != INVALID_HANDLE_VALUE; }
    HDEVINFO get() const { return set_; }

private:
    HDEVINFO set_;
};

enum class HidSearch { kSerial, kChannel };

// The matching rule shared by the serial search and the control-channel
// search: the first HID interface whose parent instance key occurs in the
// display name and whose handle, capabilities (and, for the serial search,
// serial-number string) can be read. Returns the open handle of the member
// that passed (the serial search has already closed it and returns a
// non-null marker), or null; caps receives the member's capabilities.
HANDLE SearchHidInterfaces(const char *displayName, HidSearch mode, char *serial, HIDP_CAPS &caps) {
    if (displayName == nullptr) return nullptr;
    GUID hidGuid;
    os::HidD_GetHidGuid(&hidGuid);
    DeviceInfoSet set(os::SetupDiGetClassDevsA(&hidGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    if (!set.valid()) return nullptr;
    char searched[kDisplayNameSize];
    std::strncpy(searched, displayName, sizeof searched - 1);
    searched[sizeof searched - 1] = '\0';
    for (DWORD member = 0;; ++member) {
        SP_DEVINFO_DATA info;
        std::memset(&info, 0, sizeof info);
        info.cbSize = sizeof info;
        if (!os::SetupDiEnumDeviceInfo(set.get(), member, &info)) return nullptr;
        char key[MAX_DEVICE_ID_LEN];
        if (!MemberKey(info.DevInst, key) || std::strstr(searched, key) == nullptr) continue;

        SP_DEVICE_INTERFACE_DATA iface;
        std::memset(&iface, 0, sizeof iface);
        iface.cbSize = sizeof iface;
        if (!os::SetupDiEnumDeviceInterfaces(set.get(), nullptr, &hidGuid, member, &iface)) return nullptr;
        DWORD required = 0;
        os::SetupDiGetDeviceInterfaceDetailA(set.get(), &iface, nullptr, 0, &required, nullptr);
        const std::size_t bytes = required > sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)
                                      ? required
                                      : sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        std::unique_ptr<std::uint8_t[]> buffer(new (std::nothrow) std::uint8_t[bytes + 1]);
        if (!buffer) return nullptr;
        std::memset(buffer.get(), 0, bytes + 1);
        auto *detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buffer.get());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (required == 0 ||
            !os::SetupDiGetDeviceInterfaceDetailA(set.get(), &iface, detail, required, nullptr, nullptr)) {
            continue;
        }
        SECURITY_ATTRIBUTES security;
        std::memset(&security, 0, sizeof security);
        security.nLength = sizeof security;
        security.lpSecurityDescriptor = nullptr;
        security.bInheritHandle = FALSE;
        const bool channel = mode == HidSearch::kChannel;
        HANDLE handle = os::CreateFileA(detail->DevicePath, GENERIC_READ | GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, channel ? &security : nullptr,
                                        OPEN_EXISTING, channel ? kControlChannelFlags : FILE_FLAG_OVERLAPPED, nullptr);
        buffer.reset();
        if (handle == INVALID_HANDLE_VALUE || handle == nullptr) continue;

        PHIDP_PREPARSED_DATA preparsed = nullptr;
        if (!os::HidD_GetPreparsedData(handle, &preparsed)) {
            os::CloseHandle(handle);
            continue;
        }
        std::memset(&caps, 0, sizeof caps);
        const NTSTATUS status = os::HidP_GetCaps(preparsed, &caps);
        os::HidD_FreePreparsedData(preparsed);
        if (status != HIDP_STATUS_SUCCESS) {
            os::CloseHandle(handle);
            continue;
        }
        if (channel) return handle;

        WCHAR text[128 / sizeof(WCHAR)] = {};
        if (!os::HidD_GetSerialNumberString(handle, text, sizeof text)) {
            os::CloseHandle(handle);
            continue;
        }
        text[sizeof text / sizeof text[0] - 1] = 0;
        int i = 0;
        for (; i < 8 && text[i] != 0; ++i) serial[i] = static_cast<char>(static_cast<unsigned>(text[i]) & 0xFFu);
        serial[i] = '\0';
        os::CloseHandle(handle);
        return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(1));
    }
}

}  // namespace

int EnumVideoDevice(int position, char name[kDeviceNameSize], char *displayName) {
    ComSession com;
    // Declared in creation order: released in reverse, the graph last.
    ComRef<IGraphBuilder> graph;
    ComRef<ICreateDevEnum> devices;
    ComRef<IEnumMoniker> monikers;
    ComRef<IMoniker> moniker;
    ComRef<IBaseFilter> filter;
    if (const int status = OpenVideoCategory(graph, devices, monikers); status != 0) return status;
    char localName[kDeviceNameSize] = {};
    int pnpCount = 0;
    int monikerCount = 0;
    for (;;) {
        if (NoteComStatus(monikers->Next(1, moniker.put(), nullptr)) != S_OK || !moniker) {
            moniker.reset();
            return kEnumNoDevice;
        }
        LPOLESTR wide = nullptr;
        if (NoteComStatus(moniker->GetDisplayName(nullptr, nullptr, &wide)) != S_OK || wide == nullptr) {
            os::CoTaskMemFree(wide);
            return kEnumDisplayName;
        }
        if (displayName != nullptr) WideToAnsi(wide, displayName, kDisplayNameSize);
        const bool plugAndPlay = std::wcsstr(wide, L"@device:pnp") != nullptr;
        os::CoTaskMemFree(wide);
        if (plugAndPlay) {
            ReadFriendlyName(moniker.get(), localName);
            if (pnpCount == position) break;
            ++pnpCount;
        }
        moniker.reset();
        ++monikerCount;
    }
    // Binding and adding is a probe: a device that cannot be instantiated
    // ends the enumeration at its position.
    NoteComStatus(moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter, filter.putVoid()));
    wchar_t filterName[40];
    std::swprintf(filterName, sizeof filterName / sizeof filterName[0], L"Video Capture %d", monikerCount);
    const HRESULT added = filter ? graph->AddFilter(filter.get(), filterName) : E_POINTER;
    if (NoteComStatus(added) != S_OK) return kEnumAddFilter;
    std::memcpy(name, localName, kDeviceNameSize);
    return kEnumOk;
}

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
    HIDP_CAPS caps;
    if (SearchHidInterfaces(displayName, HidSearch::kSerial, text, caps) == nullptr) return false;
    std::memcpy(serial, text, sizeof text);
    return true;
}

ControlChannelRef OpenControlChannel(const char *displayName) {
    HIDP_CAPS caps;
    HANDLE handle = SearchHidInterfaces(displayName, HidSearch::kChannel, nullptr, caps);
    if (handle == nullptr) return nullptr;
    try {
        return std::make_shared<ControlChannel>(handle, caps.InputReportByteLength, caps.OutputReportByteLength);
    } catch (...) {
        os::CloseHandle(handle);
        throw;
    }
}

}  // namespace nuv

using namespace nuv;

int NUV_CALL NuvGetDevice(char *list, int size) {
    return Guarded<int>(-1, [&] { return ListDevices(list, size, false); });
}

int NUV_CALL NuvGetDeviceWithSerialNo(char *list, int size) {
    return Guarded<int>(-1, [&] { return ListDevices(list, size, true); });
}
