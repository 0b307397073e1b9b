#include "platform/linux/sysfs.h"

#include <dirent.h>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <algorithm>

namespace nuv::machine {

namespace {

std::string Parent(const std::string &path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos || slash == 0 ? std::string() : path.substr(0, slash);
}

std::optional<unsigned> ReadHex(const std::string &path) {
    const auto text = ReadAttribute(path);
    if (!text || text->empty()) return std::nullopt;
    char *end = nullptr;
    const unsigned long value = std::strtoul(text->c_str(), &end, 16);
    if (end == text->c_str()) return std::nullopt;
    return static_cast<unsigned>(value);
}

}  // namespace

std::optional<std::string> ReadAttribute(const std::string &path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return std::nullopt;
    std::ostringstream text;
    text << file.rdbuf();
    std::string value = text.str();
    while (!value.empty() && (value.back() == '\n' || value.back() == '\0')) value.pop_back();
    return value;
}

std::optional<UsbPlace> FindUsbPlace(const std::string &deviceDirectory) {
    char resolved[PATH_MAX];
    if (::realpath(deviceDirectory.c_str(), resolved) == nullptr) return std::nullopt;
    // The interface directory has bInterfaceNumber; the device directory
    // above it has idVendor and idProduct.
    int interfaceNumber = -1;
    for (std::string at = resolved; !at.empty(); at = Parent(at)) {
        if (interfaceNumber < 0) {
            if (const auto number = ReadHex(at + "/bInterfaceNumber")) interfaceNumber = static_cast<int>(*number);
            continue;
        }
        const auto vendor = ReadHex(at + "/idVendor");
        const auto product = ReadHex(at + "/idProduct");
        if (!vendor || !product) continue;
        UsbPlace place;
        place.devicePath = at;
        place.vendor = *vendor;
        place.product = *product;
        place.interfaceNumber = interfaceNumber;
        place.productName = ReadAttribute(at + "/product").value_or("");
        place.serial = ReadAttribute(at + "/serial").value_or("");
        return place;
    }
    return std::nullopt;
}

std::string ParentKeyOf(const UsbPlace &place) {
    // FNV-1a over the device's path in the bus topology (its directory
    // name, "1-1.2", with the bus number in it).
    const std::size_t slash = place.devicePath.find_last_of('/');
    const std::string name = slash == std::string::npos ? place.devicePath : place.devicePath.substr(slash + 1);
    std::uint32_t hash = 2166136261u;
    for (unsigned char c : name) {
        hash ^= c;
        hash *= 16777619u;
    }
    char key[16];
    std::snprintf(key, sizeof key, "7&%08x", hash);
    return key;
}

namespace {
std::string Upper(std::string text) {
    for (char &c : text) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    return text;
}
}  // namespace

std::string UsbDisplayName(const UsbPlace &place) {
    char text[320];
    std::snprintf(text, sizeof text,
                  "@device:pnp:\\\\?\\usb#vid_%04x&pid_%04x&mi_%02x#%s&0&%04x#"
                  "{65e8773d-8f56-11d0-a3b9-00a0c9223196}\\global",
                  place.vendor, place.product, place.interfaceNumber & 0xFF, ParentKeyOf(place).c_str(),
                  place.interfaceNumber & 0xFFFF);
    return text;
}

std::string UsbParentInstanceId(const UsbPlace &place) {
    char text[160];
    std::snprintf(text, sizeof text, "USB\\VID_%04X&PID_%04X&MI_%02X\\%s&0&%04X", place.vendor, place.product,
                  place.interfaceNumber & 0xFF, Upper(ParentKeyOf(place)).c_str(), place.interfaceNumber & 0xFFFF);
    return text;
}

std::string UsbInstanceId(const UsbPlace &place) {
    char text[160];
    std::snprintf(text, sizeof text, "HID\\VID_%04X&PID_%04X&MI_%02X\\8&%s&0&0000", place.vendor, place.product,
                  place.interfaceNumber & 0xFF, Upper(ParentKeyOf(place)).c_str() + 2);
    return text;
}

std::vector<std::string> ClassEntries(const std::string &classDirectory, const std::string &prefix) {
    std::vector<std::pair<long, std::string>> found;
    if (DIR *dir = ::opendir(classDirectory.c_str())) {
        while (const dirent *entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) continue;
            char *end = nullptr;
            const long number = std::strtol(name.c_str() + prefix.size(), &end, 10);
            if (*end != '\0') continue;
            found.emplace_back(number, name);
        }
        ::closedir(dir);
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> names;
    for (auto &[number, name] : found) names.push_back(std::move(name));
    return names;
}

}  // namespace nuv::machine
