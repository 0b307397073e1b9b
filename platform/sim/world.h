// The simulated camera world: the devices plugged in, and everything the
// simulated OS services answer from. One process-wide instance.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace nuv::sim {

// A device as the simulated OS shows it. The model is transport-independent;
// the video and control front ends read it.
struct VirtualCamera {
    int id = 0;
    std::wstring friendlyName;
    bool plugAndPlay = true;
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

private:
    World();
    void ClearLocked();

    mutable std::mutex lock_;
    std::vector<std::shared_ptr<VirtualCamera>> devices_;
    int nextId_ = 1;
    std::atomic<int> comInits_{0};
    std::atomic<int> comObjects_{0};
};

// UTF-8 to wide text, for names that arrive through the C control API.
std::wstring Widen(const char *utf8);

}  // namespace nuv::sim
