#include "platform/sim/world.h"
#include "platform/sim/memory.h"

#include "platform/sim/clock.h"
#include "platform/sim/files.h"
#include "platform/sim/threads.h"
#include "platform/sim/video_device.h"

namespace nuv::sim {

World &World::Instance() {
    // Never destroyed: the library's statics may still call into the world
    // while the process exits.
    static World *world = new World();
    return *world;
}

World::World() { ResetDefault(); }

void World::ClearLocked() {
    devices_.clear();
    nextId_ = 1;
    // ---- Control interfaces (HID) ----
    hidInterfaces_.clear();
    nextHidId_ = 1;
}

void World::Reset() {
    FileTable::Instance().Clear();
    {
        std::lock_guard<std::mutex> hold(lock_);
        ClearLocked();
    }
    Clock::Instance().UseVirtualTime(false);
    // ---- Threads ----
    ResetThreadSwitches();
    ResetAllocationSwitch();
    ResetVideoWorld();
}

void World::ResetDefault() {
    Reset();
    AddDefaultCameras(*this);
}

int World::AddDevice(const std::wstring &friendlyName, bool plugAndPlay) {
    std::lock_guard<std::mutex> hold(lock_);
    auto device = std::make_shared<VirtualCamera>();
    device->id = nextId_++;
    device->friendlyName = friendlyName;
    device->plugAndPlay = plugAndPlay;
    devices_.push_back(device);
    return device->id;
}

bool World::RemoveDevice(int id) {
    std::lock_guard<std::mutex> hold(lock_);
    for (auto it = devices_.begin(); it != devices_.end(); ++it) {
        if ((*it)->id == id) {
            devices_.erase(it);
            return true;
        }
    }
    return false;
}

int World::DeviceCount() const {
    std::lock_guard<std::mutex> hold(lock_);
    return static_cast<int>(devices_.size());
}

// ---- Video side ----
std::shared_ptr<VirtualCamera> World::FindDevice(int id) const {
    std::lock_guard<std::mutex> hold(lock_);
    for (const auto &device : devices_) {
        if (device->id == id) return device;
    }
    return nullptr;
}

std::vector<std::shared_ptr<VirtualCamera>> World::DeviceSnapshot() const {
    std::lock_guard<std::mutex> hold(lock_);
    return devices_;
}
// ---- end video side ----

std::wstring Widen(const char *utf8) {
    std::wstring out;
    if (utf8 == nullptr) return out;
    const auto *p = reinterpret_cast<const unsigned char *>(utf8);
    while (*p) {
        unsigned int c = *p++;
        int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
        if (extra) c &= 0x3Fu >> extra;
        for (; extra > 0 && (*p & 0xC0) == 0x80; --extra) c = (c << 6) | (*p++ & 0x3Fu);
        out.push_back(static_cast<wchar_t>(c));
    }
    return out;
}

}  // namespace nuv::sim
