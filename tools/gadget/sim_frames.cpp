// The only file of the gadget that knows the simulator's insides: the
// simulated world is being restructured, and this keeps the change to one
// place.
#include "tools/gadget/sim_frames.h"

#include "platform/sim/hid_interface.h"
#include "platform/sim/video_com.h"
#include "platform/sim/video_device.h"

namespace nuv::gadget {

// The generator reads the parameter block through the camera's HID
// interface and the camera number from its video properties.
struct SimFrames::Camera {
    nuv::sim::VirtualCamera camera;
    nuv::sim::FrameGenerator generator;
};

SimFrames::SimFrames(std::shared_ptr<nuv::sim::Firmware> firmware) : camera_(std::make_unique<Camera>()) {
    camera_->camera.friendlyName = L"NUV2";
    camera_->camera.hid = std::make_shared<nuv::sim::HidInterface>("gadget", "gadget", L"", std::move(firmware));
}

SimFrames::~SimFrames() = default;

void SimFrames::Make(int width, int height, int cameraNumber, std::uint64_t counter,
                     std::vector<std::uint8_t> &bytes) {
    {
        std::lock_guard<std::mutex> hold(camera_->camera.video->lock);
        camera_->camera.video->properties[2].value = cameraNumber;
    }
    nuv::sim::VideoCapability format;
    format.formatType = FORMAT_VideoInfo;
    format.subtype = MEDIASUBTYPE_YUY2;
    format.width = width;
    format.height = height;
    format.bitCount = 16;
    camera_->generator.Generate(camera_->camera, format, counter, bytes);
}

}  // namespace nuv::gadget
