#include "platform/sim/world.h"

#include <cstdio>

#include "platform/framework/clock.h"
#include "platform/framework/diagnostics.h"
#include "platform/framework/files.h"
#include "platform/framework/memory.h"
#include "platform/framework/threads.h"

namespace nuv::framework {
SourceProvider &Sources() { return sim::World::Instance(); }
}  // namespace nuv::framework

namespace nuv::sim {

World &World::Instance() {
    // Never destroyed: the library's statics may still call into the world
    // while the process exits.
    static World *world = new World();
    return *world;
}

// The first use of the world fills it, and leaves the clock alone: a program
// may have asked for virtual time before.
World::World() {
    AddCamera(framework::Widen("NUV"), 0x1A2B3C01u, true);
    AddCamera(framework::Widen("NUV2"), 0x1A2B3C02u, true);
}

void World::ClearDevices() {
    std::vector<std::shared_ptr<VideoFunction>> devices;
    std::vector<std::shared_ptr<ControlFunction>> controls;
    {
        std::lock_guard<std::mutex> hold(lock_);
        devices.swap(devices_);
        controls.swap(controls_);
        unplugged_.clear();
        nextId_ = 1;
        nextControlId_ = 1;
    }
    for (auto &device : devices) device->Unplug();
    for (auto &control : controls) control->Unplug();
}

void World::Reset() {
    ClearDevices();
    framework::FileTable::Instance().Clear();
    framework::Clock::Instance().UseVirtualTime(false);
    framework::Faults::Clear();
    framework::ResetThreadSwitches();
    framework::ResetAllocationSwitch();
    framework::ForgetComInits();
}

void World::ResetDefault() {
    Reset();
    AddCamera(framework::Widen("NUV"), 0x1A2B3C01u, true);
    AddCamera(framework::Widen("NUV2"), 0x1A2B3C02u, true);
}

int World::AddDevice(const WideText &friendlyName, bool plugAndPlay) {
    std::lock_guard<std::mutex> hold(lock_);
    auto device = std::make_shared<VideoFunction>(nextId_++, friendlyName, plugAndPlay);
    devices_.push_back(device);
    return device->id;
}

int World::AddCamera(const WideText &friendlyName, std::uint32_t serialNumber, bool plugAndPlay) {
    const int id = AddDevice(friendlyName, plugAndPlay);
    char path[160];
    std::snprintf(path, sizeof path,
                  "\\\\?\\hid#vid_1d6b&pid_0102&mi_01#8&%08x&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}",
                  0x3C4D0000u + static_cast<unsigned>(id));
    char instance[80];
    std::snprintf(instance, sizeof instance, "HID\\VID_1D6B&PID_0102&MI_01\\8&%08X&0&0000",
                  0x3C4D0000u + static_cast<unsigned>(id));
    char serial[16];
    std::snprintf(serial, sizeof serial, "%08X", serialNumber);
    const int control = AddControl(std::make_shared<ControlFunction>(
        path, instance, ParentInstanceIdFor(DefaultInstanceKey(id)), framework::Widen(serial), serialNumber));
    AttachControl(id, control);
    return id;
}

bool World::UnplugDevice(int id, bool withControl) {
    std::shared_ptr<VideoFunction> device;
    {
        std::lock_guard<std::mutex> hold(lock_);
        for (auto it = devices_.begin(); it != devices_.end(); ++it) {
            if ((*it)->id == id) {
                device = *it;
                devices_.erase(it);
                unplugged_.push_back(device);
                break;
            }
        }
    }
    if (!device) return false;
    device->Unplug();
    if (withControl) {
        if (auto control = device->Control()) RemoveControl(control->id);
    }
    return true;
}

std::shared_ptr<VideoFunction> World::FindDevice(int id, bool evenUnplugged) const {
    std::lock_guard<std::mutex> hold(lock_);
    for (const auto &device : devices_) {
        if (device->id == id) return device;
    }
    if (evenUnplugged) {
        for (const auto &device : unplugged_) {
            if (device->id == id) return device;
        }
    }
    return nullptr;
}

int World::DeviceCount() const {
    std::lock_guard<std::mutex> hold(lock_);
    return static_cast<int>(devices_.size());
}

int World::AddControl(std::shared_ptr<ControlFunction> control) {
    if (!control) return 0;
    std::lock_guard<std::mutex> hold(lock_);
    control->id = nextControlId_++;
    controls_.push_back(control);
    return control->id;
}

bool World::RemoveControl(int id) {
    std::shared_ptr<ControlFunction> removed;
    std::vector<std::shared_ptr<VideoFunction>> owners;
    {
        std::lock_guard<std::mutex> hold(lock_);
        for (auto it = controls_.begin(); it != controls_.end(); ++it) {
            if ((*it)->id == id) {
                removed = *it;
                controls_.erase(it);
                break;
            }
        }
        if (!removed) return false;
        owners = devices_;
    }
    for (auto &device : owners) {
        if (device->Control() == removed) device->AttachControl(nullptr);
    }
    removed->Unplug();
    return true;
}

std::shared_ptr<ControlFunction> World::FindControl(int id) const {
    std::lock_guard<std::mutex> hold(lock_);
    for (const auto &control : controls_) {
        if (control->id == id) return control;
    }
    return nullptr;
}

int World::ControlCount() const {
    std::lock_guard<std::mutex> hold(lock_);
    return static_cast<int>(controls_.size());
}

bool World::AttachControl(int deviceId, int controlId) {
    auto device = FindDevice(deviceId);
    auto control = FindControl(controlId);
    if (!device || !control) return false;
    device->AttachControl(std::move(control));
    return true;
}

std::vector<std::shared_ptr<framework::VideoSource>> World::VideoSources() {
    std::lock_guard<std::mutex> hold(lock_);
    return {devices_.begin(), devices_.end()};
}

std::vector<std::shared_ptr<framework::ControlSource>> World::ControlSources() {
    std::lock_guard<std::mutex> hold(lock_);
    return {controls_.begin(), controls_.end()};
}

}  // namespace nuv::sim
