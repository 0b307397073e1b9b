// Control sources of the machine: hidraw nodes. A node is opened for report
// I/O bounded by poll; its report lengths come from its report descriptor,
// counted as the OS counts them elsewhere (the report ID byte included, also
// for a device without numbered reports, whose reads get a 0 put in front);
// its serial and parent instance ID come from the USB device it belongs to.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/framework/source.h"
#include "platform/linux/sysfs.h"

namespace nuv::machine {

// What a report descriptor says about report sizes: the longest input and
// output report in bytes without the report ID, and whether reports carry
// IDs.
struct ReportLayout {
    int inputBytes = 0;
    int outputBytes = 0;
    bool numbered = false;
};
ReportLayout ParseReportDescriptor(const std::uint8_t *descriptor, std::size_t size);

class HidrawSource final : public framework::ControlSource {
public:
    // node: "hidraw3"; sysfsRoot and devRoot are "/sys" and "/dev" unless a
    // test says otherwise. Null for a node that cannot be described.
    static std::shared_ptr<HidrawSource> Describe(const std::string &node, const std::string &sysfsRoot,
                                                  const std::string &devRoot);

    const std::string &Path() const override { return path_; }
    const std::string &InstanceId() const override { return instanceId_; }
    const std::string &ParentInstanceId() const override { return parentInstanceId_; }
    bool SerialString(framework::WideText *serial) const override;
    int InputReportLength() const override { return layout_.inputBytes + 1; }
    int OutputReportLength() const override { return layout_.outputBytes + 1; }
    bool Present() const override;
    std::shared_ptr<framework::ControlHandle> Open(DWORD flags) override;

private:
    std::string path_;
    std::string instanceId_;
    std::string parentInstanceId_;
    std::string serial_;
    bool hasSerial_ = false;
    ReportLayout layout_;
};

}  // namespace nuv::machine
