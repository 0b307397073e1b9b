#include "platform/linux/hidraw_source.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <array>
#include <map>
#include <vector>

#include "platform/framework/clock.h"

namespace nuv::machine {

namespace {

// An open hidraw node.
class HidrawHandle final : public framework::ControlHandle {
public:
    HidrawHandle(int fd, const ReportLayout &layout) : fd_(fd), layout_(layout) {}
    ~HidrawHandle() override { ::close(fd_); }

    // The OS takes exactly one whole output report, report ID first; hidraw
    // takes the same bytes (it drops the 0 of a device without IDs).
    bool Write(const std::uint8_t *report, std::size_t length) override {
        if (length != static_cast<std::size_t>(layout_.outputBytes) + 1) return false;
        for (;;) {
            const ssize_t written = ::write(fd_, report, length);
            if (written == static_cast<ssize_t>(length)) return true;
            if (written < 0 && errno == EINTR) continue;
            return false;
        }
    }

    bool Read(std::uint8_t *report, std::size_t capacity, std::size_t *length, DWORD timeoutMs) override {
        *length = 0;
        const std::size_t whole = static_cast<std::size_t>(layout_.inputBytes) + 1;
        if (capacity < whole) return false;  // as the OS refuses a short buffer
        const std::uint32_t start = framework::Clock::Instance().Now();
        for (;;) {
            int wait = -1;
            if (timeoutMs != INFINITE) {
                const std::uint32_t elapsed = framework::Clock::Instance().Now() - start;
                if (elapsed >= timeoutMs) return false;
                wait = static_cast<int>(timeoutMs - elapsed);
            }
            pollfd ready{fd_, POLLIN, 0};
            const int polled = ::poll(&ready, 1, wait);
            if (polled < 0 && errno == EINTR) continue;
            if (polled < 0 || (ready.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) return false;  // unplugged
            if (polled == 0) continue;  // the deadline is checked above
            // A device without numbered reports delivers the report alone:
            // the 0 in front is what the OS hands the library elsewhere.
            std::uint8_t *into = layout_.numbered ? report : report + 1;
            const ssize_t got = ::read(fd_, into, layout_.numbered ? capacity : capacity - 1);
            if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (got <= 0) return false;
            if (!layout_.numbered) report[0] = 0;
            const std::size_t total = static_cast<std::size_t>(got) + (layout_.numbered ? 0 : 1);
            // Reports shorter than the longest are padded with zeros, as the
            // OS pads them.
            if (total < whole) std::memset(report + total, 0, whole - total);
            *length = total < whole ? whole : total;
            return true;
        }
    }

private:
    const int fd_;
    const ReportLayout layout_;
};

}  // namespace

ReportLayout ParseReportDescriptor(const std::uint8_t *descriptor, std::size_t size) {
    // Short items only matter here: global report size, count and ID, and
    // the main items that add fields to an input or output report.
    std::map<int, int> inputBits, outputBits;
    int reportSize = 0, reportCount = 0, reportId = 0;
    bool numbered = false;
    std::vector<std::array<int, 3>> stack;  // push/pop of the globals above
    std::size_t at = 0;
    while (at < size) {
        const std::uint8_t prefix = descriptor[at];
        if (prefix == 0xFE) {  // long item: skip its data
            if (at + 2 >= size) break;
            at += 3u + descriptor[at + 1];
            continue;
        }
        const std::size_t length = (prefix & 3) == 3 ? 4 : (prefix & 3);
        if (at + 1 + length > size) break;
        std::uint32_t value = 0;
        for (std::size_t i = 0; i < length; ++i) value |= std::uint32_t{descriptor[at + 1 + i]} << (8 * i);
        switch (prefix & 0xFC) {
            case 0x74: reportSize = static_cast<int>(value); break;
            case 0x94: reportCount = static_cast<int>(value); break;
            case 0x84:
                reportId = static_cast<int>(value);
                numbered = true;
                break;
            case 0xA4: stack.push_back({reportSize, reportCount, reportId}); break;
            case 0xB4:
                if (!stack.empty()) {
                    reportSize = stack.back()[0];
                    reportCount = stack.back()[1];
                    reportId = stack.back()[2];
                    stack.pop_back();
                }
                break;
            case 0x80: inputBits[reportId] += reportSize * reportCount; break;
            case 0x90: outputBits[reportId] += reportSize * reportCount; break;
            default: break;
        }
        at += 1 + length;
    }
    ReportLayout layout;
    layout.numbered = numbered;
    for (const auto &[id, bits] : inputBits) layout.inputBytes = std::max(layout.inputBytes, (bits + 7) / 8);
    for (const auto &[id, bits] : outputBits) layout.outputBytes = std::max(layout.outputBytes, (bits + 7) / 8);
    return layout;
}

std::shared_ptr<HidrawSource> HidrawSource::Describe(const std::string &node, const std::string &sysfsRoot,
                                                     const std::string &devRoot) {
    const std::string entry = sysfsRoot + "/class/hidraw/" + node;
    const std::string hidDevice = entry + "/device";
    const auto descriptorText = ReadAttribute(hidDevice + "/report_descriptor");
    if (!descriptorText) return nullptr;
    auto source = std::make_shared<HidrawSource>();
    source->layout_ = ParseReportDescriptor(reinterpret_cast<const std::uint8_t *>(descriptorText->data()),
                                            descriptorText->size());
    source->path_ = devRoot + "/" + node;
    // The HID device's own uevent names its serial ("uniq") for any bus.
    if (const auto uevent = ReadAttribute(hidDevice + "/uevent")) {
        const std::size_t uniq = uevent->find("HID_UNIQ=");
        if (uniq != std::string::npos) {
            const std::size_t end = uevent->find('\n', uniq);
            source->serial_ = uevent->substr(uniq + 9, end == std::string::npos ? std::string::npos : end - uniq - 9);
            source->hasSerial_ = !source->serial_.empty();
        }
    }
    if (const auto usb = FindUsbPlace(hidDevice)) {
        if (!source->hasSerial_ && !usb->serial.empty()) {
            source->serial_ = usb->serial;
            source->hasSerial_ = true;
        }
        source->parentInstanceId_ = UsbParentInstanceId(*usb);
        source->instanceId_ = UsbInstanceId(*usb);
    } else {
        // A HID device on no USB bus belongs to no camera: it has no parent
        // that a video device's name could carry.
        source->instanceId_ = "HID\\" + node;
    }
    return source;
}

bool HidrawSource::SerialString(framework::WideText *serial) const {
    if (!hasSerial_) return false;
    *serial = framework::Widen(serial_.c_str());  // the UTF-16 the OS hands out
    return true;
}

bool HidrawSource::Present() const { return ::access(path_.c_str(), F_OK) == 0; }

std::shared_ptr<framework::ControlHandle> HidrawSource::Open(DWORD) {
    const int fd = ::open(path_.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    return std::make_shared<HidrawHandle>(fd, layout_);
}

}  // namespace nuv::machine
