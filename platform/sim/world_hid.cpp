// The world's HID interfaces: kept beside the devices, reachable by path
// through the simulated file table.
#include "platform/sim/files.h"
#include "platform/sim/hid_interface.h"
#include "platform/sim/world.h"

namespace nuv::sim {

int World::AddHidInterface(std::shared_ptr<HidInterface> hid) {
    if (!hid) return 0;
    int id;
    {
        std::lock_guard<std::mutex> hold(lock_);
        id = nextHidId_++;
        hid->id = id;
        hidInterfaces_.push_back(hid);
    }
    std::weak_ptr<HidInterface> weak = hid;
    FileTable::Instance().RegisterPath(hid->Path(), [weak](DWORD flags) -> std::shared_ptr<SimFile> {
        auto live = weak.lock();
        return live ? live->Open(flags) : nullptr;
    });
    return id;
}

bool World::RemoveHidInterface(int id) {
    std::shared_ptr<HidInterface> removed;
    {
        std::lock_guard<std::mutex> hold(lock_);
        for (auto it = hidInterfaces_.begin(); it != hidInterfaces_.end(); ++it) {
            if ((*it)->id == id) {
                removed = *it;
                hidInterfaces_.erase(it);
                break;
            }
        }
        if (!removed) return false;
        for (auto &device : devices_) {
            if (device->hid == removed) device->hid = nullptr;
        }
    }
    FileTable::Instance().UnregisterPath(removed->Path());
    removed->Unplug();
    return true;
}

std::shared_ptr<HidInterface> World::FindHidInterface(int id) const {
    std::lock_guard<std::mutex> hold(lock_);
    for (const auto &hid : hidInterfaces_) {
        if (hid->id == id) return hid;
    }
    return nullptr;
}

bool World::AttachHidInterface(int deviceId, int hidId) {
    std::lock_guard<std::mutex> hold(lock_);
    std::shared_ptr<HidInterface> found;
    for (const auto &hid : hidInterfaces_) {
        if (hid->id == hidId) found = hid;
    }
    if (!found) return false;
    for (auto &device : devices_) {
        if (device->id == deviceId) {
            device->hid = found;
            return true;
        }
    }
    return false;
}

}  // namespace nuv::sim
