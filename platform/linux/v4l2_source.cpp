#include "platform/linux/v4l2_source.h"

#include <fcntl.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/linux/sysfs.h"

namespace nuv::machine {

namespace {

constexpr std::uint32_t Fourcc(char a, char b, char c, char d) {
    return static_cast<std::uint32_t>(a) | (static_cast<std::uint32_t>(b) << 8) |
           (static_cast<std::uint32_t>(c) << 16) | (static_cast<std::uint32_t>(d) << 24);
}

// The framework's subtypes are four-character codes in one GUID pattern.
GUID FourccGuid(std::uint32_t code) {
    return GUID{code, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
}

struct FormatName {
    std::uint32_t v4l2;
    std::uint32_t subtype;  // as a four-character code, or 0 for the GUIDs below
    GUID guid;
    int bits;
};

const FormatName kFormats[] = {
    {V4L2_PIX_FMT_YUYV, Fourcc('Y', 'U', 'Y', '2'), {}, 16},
    {V4L2_PIX_FMT_MJPEG, Fourcc('M', 'J', 'P', 'G'), {}, 0},
    {V4L2_PIX_FMT_H264, Fourcc('H', '2', '6', '4'), {}, 0},
    {V4L2_PIX_FMT_YUV420, Fourcc('I', '4', '2', '0'), {}, 12},
    {V4L2_PIX_FMT_NV12, Fourcc('N', 'V', '1', '2'), {}, 12},
    {V4L2_PIX_FMT_UYVY, Fourcc('U', 'Y', 'V', 'Y'), {}, 16},
    {V4L2_PIX_FMT_Y16, Fourcc('Y', '1', '6', ' '), {}, 16},
    {V4L2_PIX_FMT_BGR24, 0, MEDIASUBTYPE_RGB24, 24},
    {V4L2_PIX_FMT_XBGR32, 0, MEDIASUBTYPE_RGB32, 32},
    {V4L2_PIX_FMT_BGR32, 0, MEDIASUBTYPE_RGB32, 32},
};

// The flat property index of the framework, as V4L2 controls.
constexpr std::uint32_t kNoControl = 0;
const std::uint32_t kControls[framework::kVideoPropertyCount] = {
    V4L2_CID_BRIGHTNESS,       V4L2_CID_CONTRAST,  V4L2_CID_HUE, V4L2_CID_SATURATION,
    V4L2_CID_SHARPNESS,        V4L2_CID_GAMMA,     kNoControl,   V4L2_CID_WHITE_BALANCE_TEMPERATURE,
    V4L2_CID_BACKLIGHT_COMPENSATION, V4L2_CID_GAIN,
    V4L2_CID_PAN_ABSOLUTE,     V4L2_CID_TILT_ABSOLUTE, kNoControl, V4L2_CID_ZOOM_ABSOLUTE,
    V4L2_CID_EXPOSURE_ABSOLUTE, V4L2_CID_IRIS_ABSOLUTE, V4L2_CID_FOCUS_ABSOLUTE,
};

int Ioctl(int fd, unsigned long request, void *argument) {
    int result;
    do {
        result = ::ioctl(fd, request, argument);
    } while (result < 0 && errno == EINTR);
    return result;
}

std::int64_t IntervalOf(const v4l2_fract &fraction) {
    if (fraction.denominator == 0) return 0;
    return static_cast<std::int64_t>(10000000.0 * fraction.numerator / fraction.denominator + 0.5);
}

void AddIntervals(int fd, std::uint32_t pixelFormat, std::uint32_t width, std::uint32_t height,
                  std::vector<framework::VideoFormat> &out) {
    framework::VideoFormat format;
    format.formatType = FORMAT_VideoInfo;
    format.subtype = SubtypeOfPixelFormat(pixelFormat);
    format.width = static_cast<int>(width);
    format.height = static_cast<int>(height);
    format.bitCount = BitsPerPixel(pixelFormat);
    v4l2_frmivalenum interval{};
    interval.pixel_format = pixelFormat;
    interval.width = width;
    interval.height = height;
    for (interval.index = 0; Ioctl(fd, VIDIOC_ENUM_FRAMEINTERVALS, &interval) == 0; ++interval.index) {
        if (interval.type == V4L2_FRMIVAL_TYPE_DISCRETE) {
            format.frameInterval = IntervalOf(interval.discrete);
            format.maxFrameInterval = 0;
        } else {
            format.frameInterval = IntervalOf(interval.stepwise.min);
            format.maxFrameInterval = IntervalOf(interval.stepwise.max);
        }
        out.push_back(format);
        if (interval.type != V4L2_FRMIVAL_TYPE_DISCRETE) return;
    }
    if (interval.index == 0) {
        format.frameInterval = 333333;  // a device that names no rate
        out.push_back(format);
    }
}

std::vector<framework::VideoFormat> EnumerateCapabilities(int fd) {
    std::vector<framework::VideoFormat> out;
    v4l2_fmtdesc description{};
    description.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    for (description.index = 0; Ioctl(fd, VIDIOC_ENUM_FMT, &description) == 0; ++description.index) {
        v4l2_frmsizeenum size{};
        size.pixel_format = description.pixelformat;
        for (size.index = 0; Ioctl(fd, VIDIOC_ENUM_FRAMESIZES, &size) == 0; ++size.index) {
            if (size.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
                AddIntervals(fd, description.pixelformat, size.discrete.width, size.discrete.height, out);
                continue;
            }
            AddIntervals(fd, description.pixelformat, size.stepwise.min_width, size.stepwise.min_height, out);
            AddIntervals(fd, description.pixelformat, size.stepwise.max_width, size.stepwise.max_height, out);
            break;
        }
    }
    return out;
}

// One mapped buffer of a stream.
struct Buffer {
    void *start = MAP_FAILED;
    std::size_t length = 0;
};

class V4l2Stream final : public framework::VideoStream {
public:
    V4l2Stream(std::shared_ptr<V4l2Source> source, int fd) : source_(std::move(source)), fd_(fd) {
        wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    }
    ~V4l2Stream() override {
        v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (streaming_) Ioctl(fd_, VIDIOC_STREAMOFF, &type);
        for (Buffer &buffer : buffers_) {
            if (buffer.start != MAP_FAILED) ::munmap(buffer.start, buffer.length);
        }
        v4l2_requestbuffers none{};
        none.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        none.memory = V4L2_MEMORY_MMAP;
        if (!buffers_.empty()) Ioctl(fd_, VIDIOC_REQBUFS, &none);
        if (wake_ >= 0) ::close(wake_);
    }

    bool Begin() {
        if (wake_ < 0) return false;
        v4l2_requestbuffers request{};
        request.count = 4;
        request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        request.memory = V4L2_MEMORY_MMAP;
        if (Ioctl(fd_, VIDIOC_REQBUFS, &request) < 0 || request.count == 0) return false;
        buffers_.resize(request.count);
        for (std::uint32_t i = 0; i < request.count; ++i) {
            v4l2_buffer buffer{};
            buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            buffer.memory = V4L2_MEMORY_MMAP;
            buffer.index = i;
            if (Ioctl(fd_, VIDIOC_QUERYBUF, &buffer) < 0) return false;
            buffers_[i].length = buffer.length;
            buffers_[i].start = ::mmap(nullptr, buffer.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd_,
                                       buffer.m.offset);
            if (buffers_[i].start == MAP_FAILED) return false;
            if (Ioctl(fd_, VIDIOC_QBUF, &buffer) < 0) return false;
        }
        v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (Ioctl(fd_, VIDIOC_STREAMON, &type) < 0) return false;
        streaming_ = true;
        return true;
    }

    void Run(framework::FrameSink &sink) override {
        pollfd waits[2] = {{fd_, POLLIN, 0}, {wake_, POLLIN, 0}};
        while (!stop_.load()) {
            waits[0].revents = waits[1].revents = 0;
            const int ready = ::poll(waits, 2, -1);
            if (ready < 0 && errno == EINTR) continue;
            if (ready < 0 || stop_.load() || waits[1].revents != 0) return;
            if ((waits[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) return;  // unplugged
            v4l2_buffer buffer{};
            buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            buffer.memory = V4L2_MEMORY_MMAP;
            if (Ioctl(fd_, VIDIOC_DQBUF, &buffer) < 0) {
                if (errno == EAGAIN) continue;
                return;
            }
            if (buffer.index < buffers_.size() && (buffer.flags & V4L2_BUF_FLAG_ERROR) == 0) {
                const double sampleTime =
                    static_cast<double>(buffer.timestamp.tv_sec) + static_cast<double>(buffer.timestamp.tv_usec) / 1e6;
                const std::size_t used = buffer.bytesused <= buffers_[buffer.index].length
                                             ? buffer.bytesused
                                             : buffers_[buffer.index].length;
                sink.Deliver(sampleTime, static_cast<const std::uint8_t *>(buffers_[buffer.index].start), used);
            }
            if (Ioctl(fd_, VIDIOC_QBUF, &buffer) < 0) return;
        }
    }

    void Interrupt() override {
        stop_ = true;
        const std::uint64_t one = 1;
        if (wake_ >= 0) {
            const ssize_t written = ::write(wake_, &one, sizeof one);
            (void)written;
        }
    }

private:
    std::shared_ptr<V4l2Source> source_;  // keeps the device open
    const int fd_;
    int wake_ = -1;
    std::vector<Buffer> buffers_;
    bool streaming_ = false;
    std::atomic<bool> stop_{false};
};

}  // namespace

GUID SubtypeOfPixelFormat(std::uint32_t fourcc) {
    for (const FormatName &name : kFormats) {
        if (name.v4l2 == fourcc) return name.subtype != 0 ? FourccGuid(name.subtype) : name.guid;
    }
    return FourccGuid(fourcc);
}

std::uint32_t PixelFormatOfSubtype(const GUID &subtype) {
    for (const FormatName &name : kFormats) {
        if ((name.subtype != 0 ? FourccGuid(name.subtype) : name.guid) == subtype) return name.v4l2;
    }
    const GUID pattern = FourccGuid(0);
    return std::memcmp(&subtype.Data2, &pattern.Data2, sizeof(GUID) - sizeof(DWORD)) == 0 ? subtype.Data1 : 0;
}

int BitsPerPixel(std::uint32_t fourcc) {
    for (const FormatName &name : kFormats) {
        if (name.v4l2 == fourcc) return name.bits;
    }
    return 0;
}

std::shared_ptr<V4l2Source> V4l2Source::Describe(const std::string &node, const std::string &sysfsRoot,
                                                 const std::string &devRoot) {
    auto source = std::make_shared<V4l2Source>();
    source->path_ = devRoot + "/" + node;
    const int fd = ::open(source->path_.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    v4l2_capability caps{};
    const bool capture = Ioctl(fd, VIDIOC_QUERYCAP, &caps) == 0 &&
                         ((caps.capabilities & V4L2_CAP_DEVICE_CAPS) ? caps.device_caps : caps.capabilities) &
                             V4L2_CAP_VIDEO_CAPTURE;
    if (!capture) {
        ::close(fd);
        return nullptr;
    }
    source->capabilities_ = EnumerateCapabilities(fd);
    ::close(fd);

    const auto text = [](const __u8 *bytes, std::size_t size) {
        const char *chars = reinterpret_cast<const char *>(bytes);
        return std::string(chars, strnlen(chars, size));
    };
    const std::string card = text(caps.card, sizeof caps.card);
    if (const auto usb = FindUsbPlace(sysfsRoot + "/class/video4linux/" + node + "/device")) {
        // The name the OS shows for the device elsewhere: its USB product
        // string; and a display name that carries the parent key the HID
        // interface of the same USB device yields.
        source->friendlyName_ = framework::Widen((usb->productName.empty() ? card : usb->productName).c_str());
        source->displayName_ = framework::Widen(UsbDisplayName(*usb).c_str());
    } else {
        // A capture device on no USB bus (a virtual or platform device) is
        // listed too; no HID interface can match it.
        source->friendlyName_ = framework::Widen(card.c_str());
        const std::string name = "@device:pnp:\\\\?\\v4l2#" + text(caps.bus_info, sizeof caps.bus_info) + "#" + node +
                                 "#{65e8773d-8f56-11d0-a3b9-00a0c9223196}\\global";
        source->displayName_ = framework::Widen(name.c_str());
    }
    return source;
}

V4l2Source::~V4l2Source() {
    if (fd_ >= 0) ::close(fd_);
}

bool V4l2Source::FriendlyName(framework::WideText *name) const {
    *name = friendlyName_;
    return true;
}

int V4l2Source::DeviceLocked() const {
    if (fd_ < 0) fd_ = ::open(path_.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    return fd_;
}

bool V4l2Source::SetFormat(const framework::VideoFormat &format) {
    const std::uint32_t pixelFormat = PixelFormatOfSubtype(format.subtype);
    const long long rows = format.height < 0 ? -static_cast<long long>(format.height) : format.height;
    bool offered = false;
    for (const framework::VideoFormat &cap : capabilities_) {
        const std::int64_t longest = cap.maxFrameInterval > 0 ? cap.maxFrameInterval : cap.frameInterval;
        if (cap.subtype == format.subtype && cap.width == format.width && cap.height == rows &&
            format.frameInterval >= cap.frameInterval && format.frameInterval <= longest) {
            offered = true;
        }
    }
    if (!offered || pixelFormat == 0) return false;
    std::lock_guard<std::mutex> hold(lock_);
    const int fd = DeviceLocked();
    if (fd < 0) return false;
    v4l2_format wanted{};
    wanted.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    wanted.fmt.pix.width = static_cast<std::uint32_t>(format.width);
    wanted.fmt.pix.height = static_cast<std::uint32_t>(rows);
    wanted.fmt.pix.pixelformat = pixelFormat;
    wanted.fmt.pix.field = V4L2_FIELD_NONE;
    if (Ioctl(fd, VIDIOC_S_FMT, &wanted) < 0 || wanted.fmt.pix.pixelformat != pixelFormat ||
        wanted.fmt.pix.width != static_cast<std::uint32_t>(format.width) ||
        wanted.fmt.pix.height != static_cast<std::uint32_t>(rows)) {
        return false;
    }
    v4l2_streamparm rate{};
    rate.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    rate.parm.capture.timeperframe.numerator = static_cast<std::uint32_t>(format.frameInterval);
    rate.parm.capture.timeperframe.denominator = 10000000;
    Ioctl(fd, VIDIOC_S_PARM, &rate);  // a device without rates keeps its own
    format_ = format;
    format_.formatType = FORMAT_VideoInfo;
    format_.bitCount = BitsPerPixel(pixelFormat);
    formatSet_ = true;
    return true;
}

bool V4l2Source::CurrentFormat(framework::VideoFormat *format) const {
    std::lock_guard<std::mutex> hold(lock_);
    if (formatSet_) {
        *format = format_;
        return true;
    }
    if (capabilities_.empty()) return false;
    *format = capabilities_.front();
    return true;
}

bool V4l2Source::GetPropertyRange(int index, framework::PropertyRange *range) const {
    if (index < 0 || index >= framework::kVideoPropertyCount || kControls[index] == kNoControl) return false;
    std::lock_guard<std::mutex> hold(lock_);
    const int fd = DeviceLocked();
    if (fd < 0) return false;
    v4l2_queryctrl query{};
    query.id = kControls[index];
    if (Ioctl(fd, VIDIOC_QUERYCTRL, &query) < 0 || (query.flags & V4L2_CTRL_FLAG_DISABLED) != 0) return false;
    range->min = query.minimum;
    range->max = query.maximum;
    range->step = query.step > 0 ? query.step : 1;
    range->defaultValue = query.default_value;
    range->capsFlags = 2;  // manual
    return true;
}

bool V4l2Source::GetProperty(int index, long *value, long *flags) const {
    if (index < 0 || index >= framework::kVideoPropertyCount || kControls[index] == kNoControl) return false;
    std::lock_guard<std::mutex> hold(lock_);
    const int fd = DeviceLocked();
    if (fd < 0) return false;
    v4l2_control control{};
    control.id = kControls[index];
    if (Ioctl(fd, VIDIOC_G_CTRL, &control) < 0) return false;
    *value = control.value;
    *flags = 2;
    return true;
}

bool V4l2Source::SetProperty(int index, long value, long) {
    framework::PropertyRange range;
    if (!GetPropertyRange(index, &range) || value < range.min || value > range.max) return false;
    std::lock_guard<std::mutex> hold(lock_);
    const int fd = DeviceLocked();
    if (fd < 0) return false;
    v4l2_control control{};
    control.id = kControls[index];
    control.value = static_cast<std::int32_t>(value);
    return Ioctl(fd, VIDIOC_S_CTRL, &control) == 0;
}

std::unique_ptr<framework::VideoStream> V4l2Source::Start() {
    int fd;
    {
        std::lock_guard<std::mutex> hold(lock_);
        fd = DeviceLocked();
    }
    if (fd < 0) return nullptr;
    auto stream = std::make_unique<V4l2Stream>(shared_from_this(), fd);
    if (!stream->Begin()) return nullptr;
    return stream;
}

}  // namespace nuv::machine
