// Frames of the virtual cameras: the scene as the sensor sees it (10-bit
// values in 16-bit words, darkened towards the corners by the inverse of the
// camera's stored shading set, hot pixels at its stored defect positions),
// shaped by the sensor's controls, with the frame counter in the first
// words. The scene is kept between frames and made again only when what it
// depends on changed.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/framework/source.h"
#include "platform/sim/optics.h"
#include "platform/sim/sensor.h"

namespace nuv::sim {

class FrameGenerator {
public:
    // The camera's own optics when they are switched on; otherwise block
    // (the camera's parameter block, empty for a device without firmware)
    // and cameraNumber (the value behind hue) shape the light. The sensor's
    // controls then shape the image.
    void Generate(const OpticsState &optics, const std::vector<std::uint8_t> &block, int cameraNumber,
                  const SensorSettings &sensor, const framework::VideoFormat &format, std::uint64_t counter,
                  std::vector<std::uint8_t> &bytes);

private:
    OpticsRenderer optics_;
    std::vector<std::uint8_t> scene_;
    std::vector<std::size_t> stuck_;  // words of scene_ that are stored defects
    std::vector<std::uint8_t> block_;
    int cameraNumber_ = 0;
    int width_ = -1;
    int height_ = -1;
};

}  // namespace nuv::sim
