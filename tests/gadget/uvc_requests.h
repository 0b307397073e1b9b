// The video class requests of the camera (independent of how the device
// side reaches the bus): the streaming probe and commit negotiation over
// the configured frame sizes and intervals, the processing unit's controls
// (the cameras put their LED behind brightness, the colour bar behind
// contrast and the camera number behind hue) and the request error code
// control that says why the last request stalled.
#pragma once

#include <linux/usb/ch9.h>
#include <linux/usb/video.h>

#include <cstdint>
#include <optional>
#include <vector>

namespace nuv::gadget {

struct UvcFrameSize {
    int width = 0;
    int height = 0;
    std::vector<std::uint32_t> intervals;  // 100 ns units, shortest first
};

struct UvcLayout {
    int controlInterface = 0;
    int streamingInterface = 1;
    int cameraTerminal = 1;
    int processingUnit = 2;
    int outputTerminal = 3;
    int formatIndex = 1;  // the one format: uncompressed YUY2
    std::uint32_t maxPayload = 0;  // bytes of one payload transfer
    std::vector<UvcFrameSize> frames;  // frame index = position + 1
};

// What the host committed: the stream to send.
struct UvcStream {
    int width = 0;
    int height = 0;
    std::uint32_t interval = 0;
};

// A control of the processing unit: 16-bit values.
struct UvcControl {
    int selector = 0;
    int bit = 0;  // its bit in the unit's control bitmap
    std::int16_t minimum = 0;
    std::int16_t maximum = 0;
    std::int16_t fallback = 0;  // the default
    std::int16_t value = 0;
};

class UvcRequests {
public:
    explicit UvcRequests(UvcLayout layout);

    const UvcLayout &Layout() const { return layout_; }
    // The processing unit's control bitmap (two bytes, little-endian).
    std::uint16_t ControlBitmap() const;

    // A class request addressed to one of the two video interfaces.
    bool Addresses(const usb_ctrlrequest &request) const;
    // Device to host: the bytes to send, or nothing for a stall.
    std::optional<std::vector<std::uint8_t>> In(const usb_ctrlrequest &request);
    // Host to device with its data stage. Returns the committed stream when
    // the request was a commit. Values out of range are noted in the error
    // code control (a request with data cannot be stalled once received).
    std::optional<UvcStream> Out(const usb_ctrlrequest &request, const std::uint8_t *data, std::size_t length);

    // The camera number (1 or 2) as the host last set it.
    int CameraNumber() const;

private:
    // A probe or commit state for frame index `frame` (clamped to the
    // configured ones) and the configured interval nearest to `interval`.
    uvc_streaming_control Negotiate(int frame, std::uint32_t interval) const;
    std::optional<std::vector<std::uint8_t>> Stall(std::uint8_t errorCode);
    UvcControl *FindControl(const usb_ctrlrequest &request);

    UvcLayout layout_;
    uvc_streaming_control probe_{};
    uvc_streaming_control commit_{};
    std::uint8_t lastError_ = 0;
    std::vector<UvcControl> controls_;
};

}  // namespace nuv::gadget
