#include "tests/gadget/camera_descriptors.h"

#include <linux/usb/ch9.h>
#include <linux/usb/video.h>

#include <stdexcept>

namespace nuv::gadget {

namespace {

// String indexes.
constexpr std::uint8_t kManufacturerString = 1;
constexpr std::uint8_t kProductString = 2;
constexpr std::uint8_t kSerialString = 3;

constexpr std::uint8_t kHidDescriptorType = 0x21;
constexpr std::uint8_t kHidReportDescriptorType = 0x22;

class Writer {
public:
    void U8(unsigned v) { bytes_.push_back(static_cast<std::uint8_t>(v)); }
    void U16(unsigned v) {
        U8(v & 0xFF);
        U8((v >> 8) & 0xFF);
    }
    void U32(std::uint32_t v) {
        U16(v & 0xFFFF);
        U16(v >> 16);
    }
    void Append(const std::vector<std::uint8_t> &more) { bytes_.insert(bytes_.end(), more.begin(), more.end()); }
    std::size_t Size() const { return bytes_.size(); }
    void Patch16(std::size_t at, std::size_t v) {
        bytes_.at(at) = static_cast<std::uint8_t>(v & 0xFF);
        bytes_.at(at + 1) = static_cast<std::uint8_t>((v >> 8) & 0xFF);
    }
    std::vector<std::uint8_t> Take() { return std::move(bytes_); }

private:
    std::vector<std::uint8_t> bytes_;
};

void Interface(Writer &w, int number, int endpoints, int cls, int subclass, int name) {
    w.U8(USB_DT_INTERFACE_SIZE);
    w.U8(USB_DT_INTERFACE);
    w.U8(number);
    w.U8(0);  // alternate setting
    w.U8(endpoints);
    w.U8(cls);
    w.U8(subclass);
    w.U8(0);  // protocol
    w.U8(name);
}

}  // namespace

std::vector<std::uint8_t> HidReportDescriptor() {
    return {
        0x06, 0x00, 0xFF,  // usage page: vendor defined 0xFF00
        0x09, 0x01,        // usage 1
        0xA1, 0x01,        // collection: application
        0x15, 0x00,        //   logical minimum 0
        0x26, 0xFF, 0x00,  //   logical maximum 255
        0x75, 0x08,        //   report size: 8 bits
        0x95, 0x40,        //   report count: 64
        0x09, 0x01,        //   usage 1
        0x81, 0x02,        //   input: data, variable, absolute
        0x95, 0x40,        //   report count: 64
        0x09, 0x01,        //   usage 1
        0x91, 0x02,        //   output: data, variable, absolute
        0xC0,              // end collection
    };
}

std::vector<std::uint8_t> HidClassDescriptor() {
    Writer w;
    w.U8(9);
    w.U8(kHidDescriptorType);
    w.U16(0x0111);  // HID 1.11
    w.U8(0);        // no country
    w.U8(1);        // one class descriptor follows
    w.U8(kHidReportDescriptorType);
    w.U16(static_cast<unsigned>(HidReportDescriptor().size()));
    return w.Take();
}

std::vector<std::uint8_t> DeviceDescriptor(const CameraIdentity &identity) {
    Writer w;
    w.U8(USB_DT_DEVICE_SIZE);
    w.U8(USB_DT_DEVICE);
    w.U16(0x0200);
    w.U8(0);  // each interface says what it is
    w.U8(0);
    w.U8(0);
    w.U8(64);  // ep0 packet size (the controller's own is filled in)
    w.U16(identity.vendorId);
    w.U16(identity.productId);
    w.U16(identity.release);
    w.U8(kManufacturerString);
    w.U8(kProductString);
    w.U8(kSerialString);
    w.U8(1);  // one configuration
    return w.Take();
}

std::vector<std::uint8_t> EndpointDescriptor(std::uint8_t address, std::uint8_t attributes, std::uint16_t maxPacket,
                                             std::uint8_t interval) {
    Writer w;
    w.U8(USB_DT_ENDPOINT_SIZE);
    w.U8(USB_DT_ENDPOINT);
    w.U8(address);
    w.U8(attributes);
    w.U16(maxPacket);
    w.U8(interval);
    return w.Take();
}

std::vector<std::uint8_t> ConfigurationDescriptor(const UvcLayout &layout, std::uint16_t unitControls,
                                                  const CameraEndpoints &endpoints, bool highSpeed) {
    if (layout.controlInterface != 0 || layout.streamingInterface != 1) {
        throw std::invalid_argument("the video function takes interfaces 0 and 1");
    }
    Writer w;
    w.U8(USB_DT_CONFIG_SIZE);
    w.U8(USB_DT_CONFIG);
    const std::size_t totalAt = w.Size();
    w.U16(0);  // total length, patched below
    w.U8(3);   // interfaces
    w.U8(1);   // configuration value
    w.U8(0);
    w.U8(USB_CONFIG_ATT_ONE);
    w.U8(250);  // 500 mA

    Interface(w, layout.controlInterface, 0, USB_CLASS_VIDEO, UVC_SC_VIDEOCONTROL, kProductString);
    const std::size_t controlStart = w.Size();
    w.U8(13);
    w.U8(USB_DT_CS_INTERFACE);
    w.U8(UVC_VC_HEADER);
    w.U16(0x0110);  // video class 1.1
    const std::size_t controlTotalAt = w.Size();
    w.U16(0);
    w.U32(48000000);  // clock of the (unused) presentation times
    w.U8(1);          // one streaming interface
    w.U8(layout.streamingInterface);
    // Camera terminal: no controls of its own.
    w.U8(15);
    w.U8(USB_DT_CS_INTERFACE);
    w.U8(UVC_VC_INPUT_TERMINAL);
    w.U8(layout.cameraTerminal);
    w.U16(UVC_ITT_CAMERA);
    w.U8(0);
    w.U8(0);
    w.U16(0);
    w.U16(0);
    w.U16(0);
    w.U8(0);
    // Processing unit: the cameras' video properties.
    w.U8(11);
    w.U8(USB_DT_CS_INTERFACE);
    w.U8(UVC_VC_PROCESSING_UNIT);
    w.U8(layout.processingUnit);
    w.U8(layout.cameraTerminal);
    w.U16(0);
    w.U8(2);
    w.U16(unitControls);
    w.U8(0);
    // Output terminal: the stream.
    w.U8(9);
    w.U8(USB_DT_CS_INTERFACE);
    w.U8(UVC_VC_OUTPUT_TERMINAL);
    w.U8(layout.outputTerminal);
    w.U16(UVC_TT_STREAMING);
    w.U8(0);
    w.U8(layout.processingUnit);
    w.U8(0);
    w.Patch16(controlTotalAt, w.Size() - controlStart);

    Interface(w, layout.streamingInterface, 1, USB_CLASS_VIDEO, UVC_SC_VIDEOSTREAMING, 0);
    const std::size_t streamingStart = w.Size();
    w.U8(13);
    w.U8(USB_DT_CS_INTERFACE);
    w.U8(UVC_VS_INPUT_HEADER);
    w.U8(1);  // one format
    const std::size_t streamingTotalAt = w.Size();
    w.U16(0);
    w.U8(endpoints.videoIn);
    w.U8(0);
    w.U8(layout.outputTerminal);
    w.U8(0);  // no still images
    w.U8(0);
    w.U8(0);
    w.U8(0);  // no per-format controls
    // Uncompressed YUY2.
    w.U8(27);
    w.U8(USB_DT_CS_INTERFACE);
    w.U8(UVC_VS_FORMAT_UNCOMPRESSED);
    w.U8(layout.formatIndex);
    w.U8(static_cast<unsigned>(layout.frames.size()));
    for (unsigned b : {0x59u, 0x55u, 0x59u, 0x32u, 0x00u, 0x00u, 0x10u, 0x00u, 0x80u, 0x00u, 0x00u, 0xAAu, 0x00u, 0x38u,
                       0x9Bu, 0x71u}) {  // "YUY2" and the rest of its GUID
        w.U8(b);
    }
    w.U8(16);  // bits a pixel
    w.U8(1);   // default frame
    w.U8(0);
    w.U8(0);
    w.U8(0);
    w.U8(0);
    for (std::size_t i = 0; i < layout.frames.size(); ++i) {
        const UvcFrameSize &frame = layout.frames[i];
        const std::uint32_t bytes = static_cast<std::uint32_t>(frame.width) * static_cast<std::uint32_t>(frame.height) * 2;
        const std::uint32_t fastest = frame.intervals.front();
        const std::uint32_t slowest = frame.intervals.back();
        w.U8(26 + 4 * static_cast<unsigned>(frame.intervals.size()));
        w.U8(USB_DT_CS_INTERFACE);
        w.U8(UVC_VS_FRAME_UNCOMPRESSED);
        w.U8(static_cast<unsigned>(i + 1));
        w.U8(0);
        w.U16(static_cast<unsigned>(frame.width));
        w.U16(static_cast<unsigned>(frame.height));
        w.U32(static_cast<std::uint32_t>(std::uint64_t{bytes} * 8 * 10000000 / slowest));
        w.U32(static_cast<std::uint32_t>(std::uint64_t{bytes} * 8 * 10000000 / fastest));
        w.U32(bytes);
        w.U32(slowest);  // default: the slower rate
        w.U8(static_cast<unsigned>(frame.intervals.size()));
        for (std::uint32_t interval : frame.intervals) w.U32(interval);
    }
    w.Patch16(streamingTotalAt, w.Size() - streamingStart);
    w.Append(EndpointDescriptor(endpoints.videoIn, USB_ENDPOINT_XFER_BULK, BulkPacket(highSpeed), 0));

    Interface(w, kHidInterface, 2, USB_CLASS_HID, 0, 0);
    w.Append(HidClassDescriptor());
    w.Append(EndpointDescriptor(endpoints.hidIn, USB_ENDPOINT_XFER_INT, kHidPacket, InterruptInterval(highSpeed)));
    w.Append(EndpointDescriptor(endpoints.hidOut, USB_ENDPOINT_XFER_INT, kHidPacket, InterruptInterval(highSpeed)));

    w.Patch16(totalAt, w.Size());
    if (w.Size() > kConfigurationLimit) {
        throw std::length_error("the configuration takes " + std::to_string(w.Size()) + " bytes, more than the " +
                                std::to_string(kConfigurationLimit) + " gadgetfs sends");
    }
    return w.Take();
}

std::optional<std::vector<std::uint8_t>> StringDescriptor(const CameraIdentity &identity, int index) {
    std::string text;
    switch (index) {
    case 0: return std::vector<std::uint8_t>{4, USB_DT_STRING, 0x09, 0x04};  // English (US)
    case kManufacturerString: text = identity.manufacturer; break;
    case kProductString: text = identity.product; break;
    case kSerialString: text = identity.serial; break;
    default: return std::nullopt;
    }
    // The names are ASCII: UTF-16LE is each byte and a zero.
    Writer w;
    w.U8(static_cast<unsigned>(2 + 2 * text.size()));
    w.U8(USB_DT_STRING);
    for (unsigned char c : text) w.U16(c);
    return w.Take();
}

}  // namespace nuv::gadget
