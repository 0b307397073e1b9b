// The only file of the gadget that knows the simulator's insides: its
// frame generator, fed with the firmware's parameter block.
#include "tests/gadget/sim_frames.h"

#include "platform/sim/firmware.h"
#include "platform/sim/frames.h"
#include "platform/sim/optics.h"
#include "platform/sim/sensor.h"

namespace nuv::gadget {

struct SimFrames::Camera {
    std::shared_ptr<nuv::sim::Firmware> firmware;
    nuv::sim::FrameGenerator generator;
    nuv::sim::OpticsState optics;  // switched off: frames shaped by the stored data
};

SimFrames::SimFrames(std::shared_ptr<nuv::sim::Firmware> firmware) : camera_(std::make_unique<Camera>()) {
    camera_->firmware = std::move(firmware);
}

SimFrames::~SimFrames() = default;

void SimFrames::Make(int width, int height, int cameraNumber, std::uint64_t counter,
                     std::vector<std::uint8_t> &bytes) {
    std::vector<std::uint8_t> block(nuv::sim::Firmware::kParameterBlockSize);
    camera_->firmware->FlashPeek(nuv::sim::Firmware::kParameterBlockAddress, block.data(), block.size());
    nuv::framework::VideoFormat format;
    format.formatType = FORMAT_VideoInfo;
    format.subtype = MEDIASUBTYPE_YUY2;
    format.width = width;
    format.height = height;
    format.bitCount = 16;
    // The sensor's controls stay at their reference: the gadget's frames are
    // the stored data's scene, as the guest's tests compare them.
    camera_->generator.Generate(camera_->optics, block, cameraNumber, nuv::sim::SensorSettings{}, format, counter,
                                bytes);
}

}  // namespace nuv::gadget
