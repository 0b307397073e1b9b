// The simulated camera world: the devices plugged in, and everything the
// simulated OS services answer from. One process-wide instance.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace nuv::sim {

class HidInterface;
// ---- Video side (helper disc) ----
class VideoDevice;
std::shared_ptr<VideoDevice> NewVideoDevice();
// ---- end video side ----
struct OpticsState;
std::shared_ptr<OpticsState> NewOpticsState();

// A device as the simulated OS shows it. The model is transport-independent;
// the video and control front ends read it.
struct VirtualCamera {
    int id = 0;
    std::wstring friendlyName;
    bool plugAndPlay = true;

    // ---- Control interface (HID) ----
    // The camera's vendor HID interface and its firmware; null for a plain
    // video device.
    std::shared_ptr<HidInterface> hid;
    // ---- Video side: capabilities, properties, frames, faults ----
    std::shared_ptr<VideoDevice> video = NewVideoDevice();
    // The sensor's own optics (platform/sim/optics.h).
    std::shared_ptr<OpticsState> optics = NewOpticsState();
};

class World {
public:
    static World &Instance();

    // Empty world, real-time clock, no faults, logs cleared.
    void Reset();
    // The world an application meets: two of the library's cameras.
    void ResetDefault();

    int AddDevice(const std::wstring &friendlyName, bool plugAndPlay);
    bool RemoveDevice(int id);
    int DeviceCount() const;

    // Live COM initialisations and COM objects of the simulated framework:
    // both return to zero once the library has released what it made.
    void NoteComInit(int delta) { comInits_ += delta; }
    int ComInits() const { return comInits_; }
    void NoteComObject(int delta) { comObjects_ += delta; }
    int ComObjects() const { return comObjects_; }

    std::mutex &Lock() const { return lock_; }
    // Devices in enumeration order; read under Lock().
    const std::vector<std::shared_ptr<VirtualCamera>> &Devices() const { return devices_; }

    // ---- Control interfaces (HID) ----
    // Every HID interface present, whether a camera owns it or not. Adding
    // one makes its device path openable; removing it unplugs it (handles
    // still open fail from then on) and detaches it from its camera.
    int AddHidInterface(std::shared_ptr<HidInterface> hid);
    bool RemoveHidInterface(int id);
    std::shared_ptr<HidInterface> FindHidInterface(int id) const;
    // Makes hid (present in the world) the control interface of the device.
    bool AttachHidInterface(int deviceId, int hidId);
    // In order of addition; read under Lock().
    const std::vector<std::shared_ptr<HidInterface>> &HidInterfaces() const { return hidInterfaces_; }
    // ---- Video side ----
    // The device with this id, or null.
    std::shared_ptr<VirtualCamera> FindDevice(int id) const;
    // A copy of the device list, for enumerations that outlive the lock.
    std::vector<std::shared_ptr<VirtualCamera>> DeviceSnapshot() const;

private:
    World();
    void ClearLocked();

    mutable std::mutex lock_;
    std::vector<std::shared_ptr<VirtualCamera>> devices_;
    int nextId_ = 1;
    // ---- Control interfaces (HID) ----
    std::vector<std::shared_ptr<HidInterface>> hidInterfaces_;
    int nextHidId_ = 1;
    std::atomic<int> comInits_{0};
    std::atomic<int> comObjects_{0};
};

// UTF-8 to wide text, for names that arrive through the C control API.
std::wstring Widen(const char *utf8);

}  // namespace nuv::sim
