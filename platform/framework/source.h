// Camera sources: the one narrow seam between the media framework and device
// services that non-Windows builds bring along (this directory) and the
// cameras that answer them. A camera is a video source (a capture device of
// the media framework) and, for the library's own cameras, a control source
// (a vendor HID interface); the two are tied only by what the OS shows of
// them: the HID interface's parent instance ID occurs in the video device's
// display name.
//
// The shapes follow what a V4L2 capture device and a hidraw node offer as
// much as what a virtual camera does: formats as (subtype, size, interval),
// properties by index with ranges, a stream started with a frame sink, and
// report I/O bounded by a deadline.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/os.h"

namespace nuv::framework {

// UTF-16 text, as the OS's wide strings hold it on every build.
using WideText = std::basic_string<WCHAR>;

// UTF-8 (or ASCII) to UTF-16, and back (for logs and the control API).
WideText Widen(const char *utf8);
std::string Narrow(const WideText &wide);

// One stream format of a capture pin.
struct VideoFormat {
    GUID formatType{};  // FORMAT_VideoInfo, or another the device reports
    GUID subtype{};
    int width = 0;
    int height = 0;  // negative for a top-down frame, as the framework has it
    int bitCount = 16;
    std::int64_t frameInterval = 333333;  // 100 ns units: the shortest offered
    // The longest interval the device takes for this size and subtype; 0:
    // only frameInterval itself.
    std::int64_t maxFrameInterval = 0;
};

// Bytes of one frame of a format (0 when it cannot be told).
std::size_t FrameLength(const VideoFormat &format);

// Video properties by the library's flat index: 0-9 the video-processing
// amplifier's properties 0-9, 10-16 camera control's properties 0-6.
inline constexpr int kVideoPropertyCount = 17;
inline constexpr int kCameraControlBase = 10;

struct PropertyRange {
    long min = 0;
    long max = 0;
    long step = 1;
    long defaultValue = 0;
    long capsFlags = 2;  // manual
};

// Where a running stream hands its frames: the framework's sample grabber.
class FrameSink {
public:
    virtual void Deliver(double sampleTime, const std::uint8_t *data, std::size_t length) = 0;

protected:
    ~FrameSink() = default;
};

// A started stream. Run is the body of one of the framework's streaming
// threads: it delivers frames until Interrupt is called (from another
// thread) or the device goes away.
class VideoStream {
public:
    virtual ~VideoStream() = default;
    virtual void Run(FrameSink &sink) = 0;
    virtual void Interrupt() = 0;
};

class VideoSource {
public:
    virtual ~VideoSource() = default;

    // The device's "FriendlyName"; false when it has none.
    virtual bool FriendlyName(WideText *name) const = 0;
    // Its moniker display name: "@device:pnp:..." for plug-and-play devices.
    virtual WideText DisplayName() const = 0;
    // Whether its moniker binds to a capture filter.
    virtual bool Binds() const { return true; }

    virtual std::vector<VideoFormat> Capabilities() const = 0;
    // The byte size of one capability record the pin reports.
    virtual int CapabilityRecordSize() const { return 128; }
    // Takes a format the device offers (a frame interval within the range
    // of a capability of that size and subtype); false otherwise.
    virtual bool SetFormat(const VideoFormat &format) = 0;
    // The format a stream runs in: the one set, else the device's first.
    virtual bool CurrentFormat(VideoFormat *format) const = 0;

    virtual bool GetPropertyRange(int index, PropertyRange *range) const = 0;
    virtual bool GetProperty(int index, long *value, long *flags) const = 0;
    // False for an unsupported property or a value outside its range.
    virtual bool SetProperty(int index, long value, long flags) = 0;

    // Starts streaming in the current format; null when the device refuses.
    virtual std::unique_ptr<VideoStream> Start() = 0;
};

// An open control interface: whole reports, report ID first, as the HID
// class hands them to ReadFile and takes them from WriteFile.
class ControlHandle {
public:
    virtual ~ControlHandle() = default;
    virtual bool Write(const std::uint8_t *report, std::size_t length) = 0;
    // The next input report, waiting at most timeoutMs (INFINITE: no limit)
    // on the framework's clock.
    virtual bool Read(std::uint8_t *report, std::size_t capacity, std::size_t *length, DWORD timeoutMs) = 0;
};

class ControlSource {
public:
    virtual ~ControlSource() = default;

    // The device path CreateFileA opens.
    virtual const std::string &Path() const = 0;
    // The instance ID of the interface's device node and of its parent (the
    // USB function both interfaces of a camera belong to); empty: none.
    virtual const std::string &InstanceId() const = 0;
    virtual const std::string &ParentInstanceId() const = 0;
    virtual bool SerialString(WideText *serial) const = 0;
    // Report lengths in bytes, the report ID byte included.
    virtual int InputReportLength() const = 0;
    virtual int OutputReportLength() const = 0;
    // False once unplugged.
    virtual bool Present() const = 0;

    virtual std::shared_ptr<ControlHandle> Open(DWORD flags) = 0;
};

// The cameras a library meets: the simulated world, or the machine's own
// devices. Each library links exactly one provider, which defines
// Sources().
class SourceProvider {
public:
    // In enumeration order; snapshots that outlive any lock of the provider.
    virtual std::vector<std::shared_ptr<VideoSource>> VideoSources() = 0;
    virtual std::vector<std::shared_ptr<ControlSource>> ControlSources() = 0;

protected:
    ~SourceProvider() = default;
};

SourceProvider &Sources();

}  // namespace nuv::framework
