// A small check of a V4L2 capture node, for the throw-away guest: lists what
// the driver offers (formats, frame sizes and intervals, controls), sets
// controls by name, and captures frames by memory-mapped streaming.
//
//   guest_v4l2_probe DEVICE [--format FOURCC] [--set NAME=VALUE]... [--capture N]
//                    [--size WxH] [--save FILE] [--uniform] [--timeout S]
//
// --format lists that format only and captures in it (YUYV otherwise);
// --save keeps the last frame captured; --uniform fails unless every 4-byte
// group of every frame equals the first (a known flat test pattern).
// Exit status 0 when every step worked, 1 with the reason otherwise.
#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/select.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace {

struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] void Fail(const std::string &what) {
    const int code = errno;
    throw Failure(what + ": " + std::strerror(code));
}

int Xioctl(int fd, unsigned long request, void *argument) {
    int result;
    do {
        result = ioctl(fd, request, argument);
    } while (result < 0 && errno == EINTR);
    return result;
}

std::string FourCc(std::uint32_t code) {
    std::string text;
    for (int i = 0; i < 4; ++i) text.push_back(static_cast<char>((code >> (8 * i)) & 0xFF));
    return text;
}

int Count(const std::string &text, const char *what) {
    char *end = nullptr;
    errno = 0;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || value < 0 || value > 1000000) {
        throw Failure(std::string("not a valid ") + what + ": \"" + text + "\"");
    }
    return static_cast<int>(value);
}

std::string Text(const unsigned char *bytes, std::size_t size) {
    return std::string(reinterpret_cast<const char *>(bytes), strnlen(reinterpret_cast<const char *>(bytes), size));
}

// only: the one format whose sizes to list (all when empty).
void ListFormats(int fd, const std::string &only) {
    for (std::uint32_t i = 0;; ++i) {
        v4l2_fmtdesc format{};
        format.index = i;
        format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (Xioctl(fd, VIDIOC_ENUM_FMT, &format) < 0) break;
        if (!only.empty() && FourCc(format.pixelformat) != only) continue;
        std::printf("format %s \"%s\"\n", FourCc(format.pixelformat).c_str(), Text(format.description, 32).c_str());
        for (std::uint32_t j = 0;; ++j) {
            v4l2_frmsizeenum size{};
            size.index = j;
            size.pixel_format = format.pixelformat;
            if (Xioctl(fd, VIDIOC_ENUM_FRAMESIZES, &size) < 0) break;
            if (size.type != V4L2_FRMSIZE_TYPE_DISCRETE) {
                std::printf("  sizes %ux%u..%ux%u (stepwise)\n", size.stepwise.min_width, size.stepwise.min_height,
                            size.stepwise.max_width, size.stepwise.max_height);
                break;
            }
            std::printf("  size %ux%u intervals", size.discrete.width, size.discrete.height);
            for (std::uint32_t k = 0;; ++k) {
                v4l2_frmivalenum interval{};
                interval.index = k;
                interval.pixel_format = format.pixelformat;
                interval.width = size.discrete.width;
                interval.height = size.discrete.height;
                if (Xioctl(fd, VIDIOC_ENUM_FRAMEINTERVALS, &interval) < 0) break;
                if (interval.type == V4L2_FRMIVAL_TYPE_DISCRETE) {
                    std::printf(" %u/%u", interval.discrete.numerator, interval.discrete.denominator);
                } else {
                    std::printf(" %u/%u..%u/%u", interval.stepwise.min.numerator, interval.stepwise.min.denominator,
                                interval.stepwise.max.numerator, interval.stepwise.max.denominator);
                    break;
                }
            }
            std::printf("\n");
        }
    }
}

struct Control {
    v4l2_queryctrl query;
    std::vector<std::pair<std::int64_t, std::string>> items;  // menu entries
};

std::vector<Control> ListControls(int fd) {
    std::vector<Control> controls;
    v4l2_queryctrl query{};
    query.id = V4L2_CTRL_FLAG_NEXT_CTRL;
    while (Xioctl(fd, VIDIOC_QUERYCTRL, &query) == 0) {
        Control control{query, {}};
        if (query.type == V4L2_CTRL_TYPE_MENU) {
            for (std::int32_t i = query.minimum; i <= query.maximum; ++i) {
                v4l2_querymenu item{};
                item.id = query.id;
                item.index = static_cast<std::uint32_t>(i);
                if (Xioctl(fd, VIDIOC_QUERYMENU, &item) == 0) control.items.emplace_back(i, Text(item.name, 32));
            }
        }
        controls.push_back(std::move(control));
        query.id |= V4L2_CTRL_FLAG_NEXT_CTRL;
    }
    return controls;
}

void PrintControls(int fd, const std::vector<Control> &controls) {
    for (const Control &control : controls) {
        const v4l2_queryctrl &q = control.query;
        if (q.type == V4L2_CTRL_TYPE_CTRL_CLASS) {
            std::printf("control class \"%s\"\n", Text(q.name, 32).c_str());
            continue;
        }
        std::printf("control 0x%08x \"%s\" type %u range %d..%d step %d default %d", q.id, Text(q.name, 32).c_str(),
                    q.type, q.minimum, q.maximum, q.step, q.default_value);
        v4l2_control value{};
        value.id = q.id;
        if (q.type != V4L2_CTRL_TYPE_BUTTON && !(q.flags & V4L2_CTRL_FLAG_WRITE_ONLY) &&
            q.type < V4L2_CTRL_COMPOUND_TYPES && Xioctl(fd, VIDIOC_G_CTRL, &value) == 0) {
            std::printf(" value %d", value.value);
        }
        if (q.flags & V4L2_CTRL_FLAG_DISABLED) std::printf(" (disabled)");
        std::printf("\n");
        for (const auto &[index, name] : control.items) std::printf("  %lld: %s\n", static_cast<long long>(index), name.c_str());
    }
}

// NAME=VALUE: VALUE is a menu entry's name or a number.
void SetControl(int fd, const std::vector<Control> &controls, const std::string &assignment) {
    const std::size_t eq = assignment.find('=');
    if (eq == std::string::npos) throw Failure("--set needs NAME=VALUE, got \"" + assignment + "\"");
    const std::string name = assignment.substr(0, eq);
    const std::string wanted = assignment.substr(eq + 1);
    for (const Control &control : controls) {
        if (Text(control.query.name, 32) != name) continue;
        std::int64_t value = 0;
        bool found = false;
        for (const auto &[index, item] : control.items) {
            if (item == wanted) {
                value = index;
                found = true;
            }
        }
        if (!found) {
            char *end = nullptr;
            errno = 0;
            value = std::strtoll(wanted.c_str(), &end, 0);
            if (wanted.empty() || *end != '\0' || errno != 0) {
                throw Failure("control \"" + name + "\" has no entry \"" + wanted + "\"");
            }
        }
        v4l2_ext_control ext{};
        ext.id = control.query.id;
        ext.value = static_cast<std::int32_t>(value);
        v4l2_ext_controls set{};
        set.which = V4L2_CTRL_WHICH_CUR_VAL;
        set.count = 1;
        set.controls = &ext;
        if (Xioctl(fd, VIDIOC_S_EXT_CTRLS, &set) < 0) Fail("cannot set control \"" + name + "\" to " + wanted);
        std::printf("set \"%s\" = %s\n", name.c_str(), wanted.c_str());
        return;
    }
    throw Failure("the device has no control named \"" + name + "\"");
}

struct Mapping {
    void *data = MAP_FAILED;
    std::size_t length = 0;
};

class Capture {
public:
    Capture(int fd, std::uint32_t pixelFormat, std::uint32_t width, std::uint32_t height) : fd_(fd) {
        v4l2_format format{};
        format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (Xioctl(fd, VIDIOC_G_FMT, &format) < 0) Fail("VIDIOC_G_FMT");
        if (width != 0) {
            format.fmt.pix.width = width;
            format.fmt.pix.height = height;
            format.fmt.pix.pixelformat = pixelFormat;
            format.fmt.pix.field = V4L2_FIELD_ANY;
            if (Xioctl(fd, VIDIOC_S_FMT, &format) < 0) Fail("VIDIOC_S_FMT");
            if (format.fmt.pix.width != width || format.fmt.pix.height != height ||
                format.fmt.pix.pixelformat != pixelFormat) {
                throw Failure("the driver chose " + std::to_string(format.fmt.pix.width) + "x" +
                              std::to_string(format.fmt.pix.height) + " " + FourCc(format.fmt.pix.pixelformat) + " instead of what was asked for");
            }
        }
        format_ = format.fmt.pix;
        std::printf("capture %s %ux%u, %u bytes a frame\n", FourCc(format_.pixelformat).c_str(), format_.width,
                    format_.height, format_.sizeimage);
        v4l2_requestbuffers request{};
        request.count = 4;
        request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        request.memory = V4L2_MEMORY_MMAP;
        if (Xioctl(fd, VIDIOC_REQBUFS, &request) < 0) Fail("VIDIOC_REQBUFS");
        for (std::uint32_t i = 0; i < request.count; ++i) {
            v4l2_buffer buffer{};
            buffer.index = i;
            buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            buffer.memory = V4L2_MEMORY_MMAP;
            if (Xioctl(fd, VIDIOC_QUERYBUF, &buffer) < 0) Fail("VIDIOC_QUERYBUF");
            Mapping mapping;
            mapping.length = buffer.length;
            mapping.data = mmap(nullptr, buffer.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, buffer.m.offset);
            if (mapping.data == MAP_FAILED) Fail("mmap of buffer " + std::to_string(i));
            buffers_.push_back(mapping);
            if (Xioctl(fd, VIDIOC_QBUF, &buffer) < 0) Fail("VIDIOC_QBUF");
        }
        int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (Xioctl(fd, VIDIOC_STREAMON, &type) < 0) Fail("VIDIOC_STREAMON");
        streaming_ = true;
    }
    ~Capture() {
        int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (streaming_) Xioctl(fd_, VIDIOC_STREAMOFF, &type);
        for (Mapping &mapping : buffers_) munmap(mapping.data, mapping.length);
        v4l2_requestbuffers request{};
        request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        request.memory = V4L2_MEMORY_MMAP;
        Xioctl(fd_, VIDIOC_REQBUFS, &request);
    }
    Capture(const Capture &) = delete;
    Capture &operator=(const Capture &) = delete;

    // The next frame's bytes, or a failure after timeoutSeconds.
    std::vector<std::uint8_t> Next(int timeoutSeconds, v4l2_buffer &info) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(fd_, &readable);
        timeval wait{timeoutSeconds, 0};
        const int ready = select(fd_ + 1, &readable, nullptr, nullptr, &wait);
        if (ready < 0) Fail("select on the capture node");
        if (ready == 0) throw Failure("no frame within " + std::to_string(timeoutSeconds) + " s");
        info = v4l2_buffer{};
        info.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        info.memory = V4L2_MEMORY_MMAP;
        if (Xioctl(fd_, VIDIOC_DQBUF, &info) < 0) Fail("VIDIOC_DQBUF");
        const auto *bytes = static_cast<const std::uint8_t *>(buffers_.at(info.index).data);
        std::vector<std::uint8_t> frame(bytes, bytes + std::min<std::size_t>(info.bytesused, buffers_[info.index].length));
        v4l2_buffer again = info;  // QBUF rewrites what it is given
        if (Xioctl(fd_, VIDIOC_QBUF, &again) < 0) Fail("VIDIOC_QBUF");
        return frame;
    }
    const v4l2_pix_format &Format() const { return format_; }

private:
    int fd_;
    v4l2_pix_format format_{};
    std::vector<Mapping> buffers_;
    bool streaming_ = false;
};

int Run(int argc, char **argv) {
    if (argc < 2 || argv[1][0] == '-') {
        throw Failure("usage: guest_v4l2_probe DEVICE [--format FOURCC] [--set NAME=VALUE]... [--capture N] "
                      "[--size WxH] [--save FILE] [--uniform] [--timeout S]");
    }
    const std::string device = argv[1];
    std::vector<std::string> sets;
    int frames = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::string save;
    bool uniform = false;
    int timeout = 10;
    std::string only;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) throw Failure(arg + " needs a value");
            return argv[++i];
        };
        if (arg == "--set") {
            sets.push_back(value());
        } else if (arg == "--capture") {
            frames = Count(value(), "frame count");
        } else if (arg == "--size") {
            const std::string size = value();
            if (std::sscanf(size.c_str(), "%ux%u", &width, &height) != 2 || width == 0 || height == 0) {
                throw Failure("--size needs WIDTHxHEIGHT, got \"" + size + "\"");
            }
        } else if (arg == "--save") {
            save = value();
        } else if (arg == "--format") {
            only = value();
        } else if (arg == "--uniform") {
            uniform = true;
        } else if (arg == "--timeout") {
            timeout = Count(value(), "timeout");
        } else {
            throw Failure("unknown argument \"" + arg + "\"");
        }
    }

    const int fd = open(device.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) Fail("cannot open " + device);
    struct Closer {
        int fd;
        ~Closer() { close(fd); }
    } closer{fd};

    v4l2_capability caps{};
    if (Xioctl(fd, VIDIOC_QUERYCAP, &caps) < 0) Fail("VIDIOC_QUERYCAP on " + device);
    const std::uint32_t deviceCaps = (caps.capabilities & V4L2_CAP_DEVICE_CAPS) ? caps.device_caps : caps.capabilities;
    std::printf("device %s: driver \"%s\", card \"%s\", bus \"%s\", capabilities 0x%08x\n", device.c_str(),
                Text(caps.driver, 16).c_str(), Text(caps.card, 32).c_str(), Text(caps.bus_info, 32).c_str(),
                deviceCaps);
    if (!(deviceCaps & V4L2_CAP_VIDEO_CAPTURE)) throw Failure(device + " is not a video capture device");
    if (!(deviceCaps & V4L2_CAP_STREAMING)) throw Failure(device + " does not stream");
    ListFormats(fd, only);
    const std::vector<Control> controls = ListControls(fd);
    for (const std::string &assignment : sets) SetControl(fd, controls, assignment);
    PrintControls(fd, ListControls(fd));
    if (frames <= 0) return 0;

    std::uint32_t pixelFormat = V4L2_PIX_FMT_YUYV;
    if (!only.empty()) {
        if (only.size() != 4) throw Failure("--format needs a four-character code, got \"" + only + "\"");
        pixelFormat = v4l2_fourcc(only[0], only[1], only[2], only[3]);
    }
    Capture capture(fd, pixelFormat, width, height);
    std::vector<std::uint8_t> frame;
    for (int n = 0; n < frames; ++n) {
        v4l2_buffer info{};
        frame = capture.Next(timeout, info);
        std::printf("frame %d: sequence %u, %zu bytes%s, first bytes", n, info.sequence, frame.size(),
                    (info.flags & V4L2_BUF_FLAG_ERROR) ? " (marked bad)" : "");
        for (std::size_t i = 0; i < 8 && i < frame.size(); ++i) std::printf(" %02x", frame[i]);
        std::printf("\n");
        if (frame.size() != capture.Format().sizeimage) {
            throw Failure("frame " + std::to_string(n) + " has " + std::to_string(frame.size()) + " bytes, not " +
                          std::to_string(capture.Format().sizeimage));
        }
        if (uniform) {
            for (std::size_t i = 4; i + 4 <= frame.size(); i += 4) {
                if (std::memcmp(frame.data(), frame.data() + i, 4) != 0) {
                    throw Failure("frame " + std::to_string(n) + " is not uniform: byte " + std::to_string(i) +
                                  " differs from the first group");
                }
            }
        }
    }
    if (uniform) std::printf("every frame uniform\n");
    if (!save.empty()) {
        std::ofstream out(save, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char *>(frame.data()), static_cast<std::streamsize>(frame.size()));
        out.close();
        if (!out) throw Failure("cannot write " + save);
        std::printf("saved the last frame to %s\n", save.c_str());
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    try {
        return Run(argc, argv);
    } catch (const std::exception &error) {
        std::fflush(stdout);
        std::fprintf(stderr, "guest_v4l2_probe: %s\n", error.what());
        return 1;
    }
}
