// The source provider of libnuv on Linux: the machine's own V4L2 capture
// devices and hidraw nodes, looked up afresh at every enumeration, so the
// lists follow devices as they are plugged in and out.
#include <mutex>

#include "platform/framework/source.h"
#include "platform/linux/hidraw_source.h"
#include "platform/linux/sysfs.h"
#include "platform/linux/v4l2_source.h"

namespace nuv::machine {
namespace {

class MachineSources final : public framework::SourceProvider {
public:
    std::vector<std::shared_ptr<framework::VideoSource>> VideoSources() override {
        std::vector<std::shared_ptr<framework::VideoSource>> sources;
        for (const std::string &node : ClassEntries(kSysfs + "/class/video4linux", "video")) {
            if (auto source = V4l2Source::Describe(node, kSysfs, kDev)) sources.push_back(std::move(source));
        }
        return sources;
    }
    std::vector<std::shared_ptr<framework::ControlSource>> ControlSources() override {
        std::vector<std::shared_ptr<framework::ControlSource>> sources;
        for (const std::string &node : ClassEntries(kSysfs + "/class/hidraw", "hidraw")) {
            if (auto source = HidrawSource::Describe(node, kSysfs, kDev)) sources.push_back(std::move(source));
        }
        return sources;
    }

private:
    const std::string kSysfs = "/sys";
    const std::string kDev = "/dev";
};

}  // namespace
}  // namespace nuv::machine

namespace nuv::framework {
SourceProvider &Sources() {
    static machine::MachineSources *sources = new machine::MachineSources();  // outlives the library's statics
    return *sources;
}
}  // namespace nuv::framework
