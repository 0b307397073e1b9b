#include "tests/gadget/uvc_requests.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace nuv::gadget {

namespace {

// The request error codes of the video class.
constexpr std::uint8_t kErrorNone = 0x00;
constexpr std::uint8_t kErrorOutOfRange = 0x04;
constexpr std::uint8_t kErrorInvalidUnit = 0x05;
constexpr std::uint8_t kErrorInvalidControl = 0x06;
constexpr std::uint8_t kErrorInvalidRequest = 0x07;

constexpr std::uint32_t kClockFrequency = 48000000;

constexpr std::uint8_t kInfoGet = 0x01;
constexpr std::uint8_t kInfoGetSet = 0x03;

template <class T>
std::vector<std::uint8_t> Bytes(const T &value, std::size_t size = sizeof(T)) {
    std::vector<std::uint8_t> bytes(size);
    std::memcpy(bytes.data(), &value, std::min(size, sizeof(T)));
    return bytes;
}

}  // namespace

UvcRequests::UvcRequests(UvcLayout layout)
    : layout_(std::move(layout)),
      controls_{
          {UVC_PU_BRIGHTNESS_CONTROL, 0, 0, 64, 0, 0},  // LED
          {UVC_PU_CONTRAST_CONTROL, 1, 0, 1, 0, 0},     // colour bar
          {UVC_PU_HUE_CONTROL, 2, 1, 2, 1, 1},          // camera number
          {UVC_PU_GAIN_CONTROL, 9, 0, 240, 0, 0},
      } {
    if (layout_.frames.empty()) throw std::invalid_argument("a video interface needs at least one frame size");
    for (const UvcFrameSize &frame : layout_.frames) {
        if (frame.intervals.empty()) throw std::invalid_argument("every frame size needs a frame interval");
    }
    probe_ = Negotiate(1, layout_.frames.front().intervals.front());
    commit_ = probe_;
}

std::uint16_t UvcRequests::ControlBitmap() const {
    std::uint16_t bitmap = 0;
    for (const UvcControl &control : controls_) bitmap = static_cast<std::uint16_t>(bitmap | (1u << control.bit));
    return bitmap;
}

UvcControl *UvcRequests::FindControl(const usb_ctrlrequest &request) {
    if ((request.wIndex & 0xFF) != layout_.controlInterface || (request.wIndex >> 8) != layout_.processingUnit) {
        return nullptr;
    }
    for (UvcControl &control : controls_) {
        if (control.selector == (request.wValue >> 8)) return &control;
    }
    return nullptr;
}

int UvcRequests::CameraNumber() const {
    for (const UvcControl &control : controls_) {
        if (control.selector == UVC_PU_HUE_CONTROL) return control.value;
    }
    return 1;
}

bool UvcRequests::Addresses(const usb_ctrlrequest &request) const {
    const int interface = request.wIndex & 0xFF;
    return (request.bRequestType & USB_TYPE_MASK) == USB_TYPE_CLASS &&
           (request.bRequestType & USB_RECIP_MASK) == USB_RECIP_INTERFACE &&
           (interface == layout_.controlInterface || interface == layout_.streamingInterface);
}

uvc_streaming_control UvcRequests::Negotiate(int frame, std::uint32_t interval) const {
    const int count = static_cast<int>(layout_.frames.size());
    const int index = std::clamp(frame, 1, count);
    const UvcFrameSize &size = layout_.frames[static_cast<std::size_t>(index - 1)];
    std::uint32_t nearest = size.intervals.front();
    const auto distance = [&](std::uint32_t v) { return v > interval ? v - interval : interval - v; };
    for (std::uint32_t candidate : size.intervals) {
        if (distance(candidate) < distance(nearest)) nearest = candidate;
    }
    uvc_streaming_control control{};
    control.bmHint = 1;  // the frame interval is fixed
    control.bFormatIndex = static_cast<std::uint8_t>(layout_.formatIndex);
    control.bFrameIndex = static_cast<std::uint8_t>(index);
    control.dwFrameInterval = nearest;
    control.dwMaxVideoFrameSize = static_cast<std::uint32_t>(size.width) * static_cast<std::uint32_t>(size.height) * 2;
    control.dwMaxPayloadTransferSize = layout_.maxPayload;
    control.dwClockFrequency = kClockFrequency;
    control.bmFramingInfo = 3;  // frame id and end of frame in every payload header
    control.bPreferedVersion = 1;
    control.bMinVersion = 1;
    control.bMaxVersion = 1;
    return control;
}

std::optional<std::vector<std::uint8_t>> UvcRequests::Stall(std::uint8_t errorCode) {
    lastError_ = errorCode;
    return std::nullopt;
}

std::optional<std::vector<std::uint8_t>> UvcRequests::In(const usb_ctrlrequest &request) {
    const int interface = request.wIndex & 0xFF;
    const int entity = request.wIndex >> 8;
    const int selector = request.wValue >> 8;
    if (interface == layout_.streamingInterface) {
        if (selector != UVC_VS_PROBE_CONTROL && selector != UVC_VS_COMMIT_CONTROL) return Stall(kErrorInvalidControl);
        const bool probe = selector == UVC_VS_PROBE_CONTROL;
        const std::size_t size = std::min<std::size_t>(request.wLength, sizeof(uvc_streaming_control));
        switch (request.bRequest) {
        case UVC_GET_CUR: return Bytes(probe ? probe_ : commit_, size);
        case UVC_GET_MIN:
        case UVC_GET_DEF: return Bytes(Negotiate(1, 0), size);
        case UVC_GET_MAX: return Bytes(Negotiate(static_cast<int>(layout_.frames.size()), UINT32_MAX), size);
        case UVC_GET_RES: return Bytes(uvc_streaming_control{}, size);
        case UVC_GET_LEN: return Bytes(static_cast<std::uint16_t>(sizeof(uvc_streaming_control)));
        case UVC_GET_INFO: return Bytes(kInfoGetSet);
        default: return Stall(kErrorInvalidRequest);
        }
    }
    if (entity == 0) {
        if (selector != UVC_VC_REQUEST_ERROR_CODE_CONTROL) return Stall(kErrorInvalidControl);
        if (request.bRequest == UVC_GET_CUR) {
            const std::uint8_t code = std::exchange(lastError_, kErrorNone);
            return Bytes(code);
        }
        if (request.bRequest == UVC_GET_INFO) return Bytes(kInfoGet);
        return Stall(kErrorInvalidRequest);
    }
    if (UvcControl *control = FindControl(request)) {
        switch (request.bRequest) {
        case UVC_GET_CUR: return Bytes(control->value);
        case UVC_GET_MIN: return Bytes(control->minimum);
        case UVC_GET_MAX: return Bytes(control->maximum);
        case UVC_GET_RES: return Bytes(std::int16_t{1});
        case UVC_GET_DEF: return Bytes(control->fallback);
        case UVC_GET_LEN: return Bytes(std::uint16_t{2});
        case UVC_GET_INFO: return Bytes(kInfoGetSet);
        default: return Stall(kErrorInvalidRequest);
        }
    }
    if (entity == layout_.processingUnit || entity == layout_.cameraTerminal || entity == layout_.outputTerminal) {
        return Stall(kErrorInvalidControl);
    }
    return Stall(kErrorInvalidUnit);
}

std::optional<UvcStream> UvcRequests::Out(const usb_ctrlrequest &request, const std::uint8_t *data,
                                          std::size_t length) {
    const int interface = request.wIndex & 0xFF;
    const int selector = request.wValue >> 8;
    if (request.bRequest != UVC_SET_CUR) {
        lastError_ = kErrorInvalidRequest;
        return std::nullopt;
    }
    if (interface == layout_.streamingInterface &&
        (selector == UVC_VS_PROBE_CONTROL || selector == UVC_VS_COMMIT_CONTROL)) {
        uvc_streaming_control asked{};
        std::memcpy(&asked, data, std::min(length, sizeof asked));
        const uvc_streaming_control settled = Negotiate(asked.bFrameIndex, asked.dwFrameInterval);
        if (selector == UVC_VS_PROBE_CONTROL) {
            probe_ = settled;
            return std::nullopt;
        }
        commit_ = settled;
        const UvcFrameSize &size = layout_.frames[static_cast<std::size_t>(settled.bFrameIndex - 1)];
        return UvcStream{size.width, size.height, settled.dwFrameInterval};
    }
    if (UvcControl *control = FindControl(request); control != nullptr && length >= 2) {
        const auto value = static_cast<std::int16_t>(data[0] | (data[1] << 8));
        if (value >= control->minimum && value <= control->maximum) {
            control->value = value;
        } else {
            lastError_ = kErrorOutOfRange;
        }
        return std::nullopt;
    }
    lastError_ = kErrorInvalidControl;
    return std::nullopt;
}

}  // namespace nuv::gadget
