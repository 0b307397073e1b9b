// What the kernel shows of the machine's devices under /sys, read the way
// the real sources need it: the capture and hidraw nodes, and the USB device
// and interface each belongs to. The root is a parameter, so the topology
// rules can be tested on a tree of files shaped like sysfs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace nuv::machine {

// A file's content without its trailing newline; nullopt when unreadable.
std::optional<std::string> ReadAttribute(const std::string &path);

// The USB device and interface a device node belongs to.
struct UsbPlace {
    std::string devicePath;  // the USB device's directory (resolved)
    unsigned vendor = 0;
    unsigned product = 0;
    int interfaceNumber = -1;
    std::string productName;  // the device's product string, "" when none
    std::string serial;       // its serial-number string, "" when none
};

// Walks up from a device's directory (the target of a class entry's
// "device" link) to the USB interface and device above it; nullopt for a
// device that is not on a USB bus.
std::optional<UsbPlace> FindUsbPlace(const std::string &deviceDirectory);

// The key both interfaces of one USB device carry, as the OS's parent
// instance IDs do: "7&" and eight lower-case hex digits, derived from the
// device's place in the bus topology, so two cameras of the same name stay
// apart and a camera keeps its key while it stays plugged in.
std::string ParentKeyOf(const UsbPlace &place);

// The names the OS gives the two interfaces of one USB device: the video
// interface's moniker display name, and the HID interface's parent
// instance ID and own instance ID. The parent's key occurs in the display
// name of the video interface of the same device, and of no other.
std::string UsbDisplayName(const UsbPlace &place);
std::string UsbParentInstanceId(const UsbPlace &place);
std::string UsbInstanceId(const UsbPlace &place);

// Class entries ("video0", "hidraw3") in numeric order.
std::vector<std::string> ClassEntries(const std::string &classDirectory, const std::string &prefix);

}  // namespace nuv::machine
