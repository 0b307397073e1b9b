// Video sources of the machine: V4L2 capture devices. What the framework
// asks of a capture device maps onto V4L2 as follows:
// - capabilities: every pixel format, frame size and frame interval the
//   device enumerates (discrete sizes and intervals; a stepwise range gives
//   its two ends), with the pixel format as the media subtype the library
//   names (YUYV is YUY2, YU12 is I420, BGR3 is RGB24, BGR4/XR24 RGB32, any
//   other four-character code as itself);
// - set format: VIDIOC_S_FMT and VIDIOC_S_PARM;
// - a stream: memory-mapped buffers, dequeued on the framework's streaming
//   thread and handed over with the buffer's timestamp as the sample time;
// - properties: the amplifier's brightness, contrast, hue, saturation,
//   sharpness, gamma, white balance, backlight compensation and gain, and
//   the camera control's pan, tilt, zoom, exposure, iris and focus, as the
//   V4L2 controls of those names, with their ranges and V4L2's own units.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/framework/source.h"

namespace nuv::machine {

// The media subtype of a V4L2 pixel format, and its bits per pixel as the
// framework reports them (0 for a compressed format).
GUID SubtypeOfPixelFormat(std::uint32_t fourcc);
std::uint32_t PixelFormatOfSubtype(const GUID &subtype);
int BitsPerPixel(std::uint32_t fourcc);

class V4l2Source final : public framework::VideoSource, public std::enable_shared_from_this<V4l2Source> {
public:
    // node: "video0". Null for a node that is no capture device.
    static std::shared_ptr<V4l2Source> Describe(const std::string &node, const std::string &sysfsRoot,
                                                const std::string &devRoot);
    ~V4l2Source() override;

    bool FriendlyName(framework::WideText *name) const override;
    framework::WideText DisplayName() const override { return displayName_; }
    std::vector<framework::VideoFormat> Capabilities() const override { return capabilities_; }
    bool SetFormat(const framework::VideoFormat &format) override;
    bool CurrentFormat(framework::VideoFormat *format) const override;
    bool GetPropertyRange(int index, framework::PropertyRange *range) const override;
    bool GetProperty(int index, long *value, long *flags) const override;
    bool SetProperty(int index, long value, long flags) override;
    std::unique_ptr<framework::VideoStream> Start() override;

private:
    // The device opened for this source's format and stream; -1 when it
    // cannot be opened (unplugged). Under lock_.
    int DeviceLocked() const;

    std::string path_;
    framework::WideText friendlyName_;
    framework::WideText displayName_;
    std::vector<framework::VideoFormat> capabilities_;

    mutable std::mutex lock_;
    mutable int fd_ = -1;
    bool formatSet_ = false;
    framework::VideoFormat format_;
};

}  // namespace nuv::machine
