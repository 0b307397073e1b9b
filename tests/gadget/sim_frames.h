// Frames of a simulated camera, for the gadget to send: the simulated
// world's own frame generator, shaped by the firmware's parameter block.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace nuv::sim {
class Firmware;
}

namespace nuv::gadget {

class SimFrames {
public:
    // The frames follow what the firmware holds now: a rewritten parameter
    // block changes the next frame.
    explicit SimFrames(std::shared_ptr<nuv::sim::Firmware> firmware);
    ~SimFrames();
    SimFrames(const SimFrames &) = delete;
    SimFrames &operator=(const SimFrames &) = delete;

    // Frame number `counter` of a YUY2 stream of width x height (2 bytes a
    // pixel, 10-bit values in 16-bit little-endian words) into bytes, as
    // the camera set to cameraNumber (1 or 2) makes it.
    void Make(int width, int height, int cameraNumber, std::uint64_t counter, std::vector<std::uint8_t> &bytes);

private:
    struct Camera;
    std::unique_ptr<Camera> camera_;
};

}  // namespace nuv::gadget
