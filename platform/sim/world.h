// The simulated camera world: the virtual cameras plugged in, the source
// provider of the nuv_sim library. A camera is a video function and, for the
// library's own cameras, a control function (its HID interface and
// firmware); control functions may also stand alone.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/framework/source.h"
#include "platform/sim/control_function.h"
#include "platform/sim/video_function.h"

namespace nuv::sim {

class World final : public framework::SourceProvider {
public:
    static World &Instance();

    // Empty world, real-time clock, no faults, logs cleared.
    void Reset();
    // The world an application meets: two of the library's cameras.
    void ResetDefault();

    // A video device at the end of the enumeration order; its id (> 0).
    int AddDevice(const WideText &friendlyName, bool plugAndPlay);
    // One of the library's cameras: a video device with the cameras' offer
    // and its control function (firmware holding serialNumber, serial string
    // its eight upper-case hex digits, parent instance ID matching the
    // device's display name). Its id.
    int AddCamera(const WideText &friendlyName, std::uint32_t serialNumber, bool plugAndPlay);
    // Unplugs a device and its control function (if any).
    bool UnplugDevice(int id, bool withControl);
    // A device plugged in, or unplugged since the last reset (so that what
    // its streams still do can be seen); null for none.
    std::shared_ptr<VideoFunction> FindDevice(int id, bool evenUnplugged = false) const;
    int DeviceCount() const;

    int AddControl(std::shared_ptr<ControlFunction> control);
    bool RemoveControl(int id);
    std::shared_ptr<ControlFunction> FindControl(int id) const;
    int ControlCount() const;
    // Makes the control function the device's own.
    bool AttachControl(int deviceId, int controlId);

    // framework::SourceProvider
    std::vector<std::shared_ptr<framework::VideoSource>> VideoSources() override;
    std::vector<std::shared_ptr<framework::ControlSource>> ControlSources() override;

private:
    World();
    void ClearDevices();

    mutable std::mutex lock_;
    std::vector<std::shared_ptr<VideoFunction>> devices_;
    std::vector<std::shared_ptr<VideoFunction>> unplugged_;
    std::vector<std::shared_ptr<ControlFunction>> controls_;
    int nextId_ = 1;
    int nextControlId_ = 1;
};

}  // namespace nuv::sim
