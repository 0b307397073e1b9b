// Stream format names and the format list of a device.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <cwchar>

#include "discovery/discovery.h"
#include "common/guarded.h"
#include "common/com.h"
#include "common/holders.h"
#include "discovery/device_walk.h"
#include "nuv.h"
#include "platform/com_ref.h"

namespace nuv {

namespace {

struct FormatName {
    const char *name;
    GUID subtype;
};

// Both directions test the rows in this order; only the first eight name a
// format that can be opened.
const FormatName kFormatNames[] = {
    {"YUY2", MEDIASUBTYPE_YUY2},
    {"MJPG", MEDIASUBTYPE_MJPG},
    {"H264", {0x34363248, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}}},
    {"IYUV", MEDIASUBTYPE_IYUV},
    {"RGB24", MEDIASUBTYPE_RGB24},
    {"RGB32", MEDIASUBTYPE_RGB32},
    {"I420", {0x30323449, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}}},
    {"RGB555", MEDIASUBTYPE_RGB555},
    {"Y16", {0x20363159, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}}},
};
constexpr int kOpenableFormats = 8;

}  // namespace

int FormatNameFromSubtype(const GUID &subtype, char name[kFormatNameSize]) {
    for (const FormatName &row : kFormatNames) {
        if (std::memcmp(&row.subtype, &subtype, sizeof(GUID)) == 0) {
            std::snprintf(name, kFormatNameSize, "%s", row.name);
            return 0;
        }
    }
    std::snprintf(name, kFormatNameSize, "%X", static_cast<unsigned>(subtype.Data1));
    return 1;
}

bool SubtypeFromFormatName(const char *name, GUID *subtype) {
    if (name == nullptr) return false;
    for (int i = 0; i < kOpenableFormats; ++i) {
        if (std::strcmp(kFormatNames[i].name, name) == 0) {
            if (subtype != nullptr) *subtype = kFormatNames[i].subtype;
            return true;
        }
    }
    return false;
}

int EnumStreamFormats(int position, StreamFormatRecord records[], int *count) {
    if (count == nullptr) return kBuildNoDevice;
    const int capacity = *count;
    ComSession com;
    ComRef<IGraphBuilder> graph;
    ComRef<ICreateDevEnum> devices;
    ComRef<IEnumMoniker> monikers;
    ComRef<IBaseFilter> filter;
    ComRef<ICaptureGraphBuilder2> builder;
    ComRef<IAMStreamConfig> config;
    if (const int status = OpenVideoCategory(graph, devices, monikers); status != kBuildOk) return status;
    // Only the first ten monikers of the category are looked at.
    bool found = false;
    bool added = true;
    const WalkLimits firstTen{10, false};
    if (const int walked = WalkVideoDevices(monikers.get(), firstTen,
                                            [&](PnpDevice &device) {
                                                if (device.position != position) return WalkOn::kNext;
                                                found = true;
                                                added = AddCaptureFilter(graph.get(), device.moniker,
                                                                         device.monikerIndex, filter);
                                                return added ? WalkOn::kNext : WalkOn::kStop;
                                            });
        walked != kBuildOk)
        return walked;
    if (!added) return kBuildAddFilter;
    monikers.reset();
    devices.reset();
    if (!found) return kBuildNoDevice;

    if (NoteCom(os::CoCreateInstance(CLSID_CaptureGraphBuilder2, nullptr, CLSCTX_INPROC_SERVER,
                                     IID_ICaptureGraphBuilder2, builder.putVoid())) != S_OK ||
        !builder || NoteCom(builder->SetFiltergraph(graph.get())) != S_OK)
        return kBuildCaptureGraphBuilder;
    if (NoteCom(builder->FindInterface(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Video, filter.get(), IID_IAMStreamConfig,
                                       config.putVoid())) != S_OK ||
        !config)
        return kBuildFindInterface;
    int capabilities = 0;
    int recordSize = 0;
    if (NoteCom(config->GetNumberOfCapabilities(&capabilities, &recordSize)) != S_OK) return kEnumCapabilities;
    if (recordSize != static_cast<int>(sizeof(VIDEO_STREAM_CONFIG_CAPS)) || capabilities <= 0) {
        *count = 0;
        return kBuildOk;
    }
    int filled = 0;
    for (int index = 0; index < capabilities && filled < capacity; ++index) {
        MediaType type;
        alignas(8) BYTE caps[sizeof(VIDEO_STREAM_CONFIG_CAPS)];
        if (NoteCom(config->GetStreamCaps(index, type.put(), caps)) != S_OK || !type) continue;
        const VIDEOINFOHEADER *info = type.VideoInfo();
        if (info == nullptr) continue;
        StreamFormatRecord &record = records[filled++];
        record.width = info->bmiHeader.biWidth;
        record.height = info->bmiHeader.biHeight;
        record.bitCount = info->bmiHeader.biBitCount;
        record.frameInterval = info->AvgTimePerFrame;
        // A capability without a frame interval has no rate to speak of.
        record.frameRate = info->AvgTimePerFrame != 0 ? 1e7 / static_cast<double>(info->AvgTimePerFrame) : 0.0;
        record.subtype = type->subtype;
        FormatNameFromSubtype(type->subtype, record.formatName);
    }
    *count = filled;
    return kBuildOk;
}

}  // namespace nuv

using namespace nuv;

NuvBool NUV_CALL NuvGetFormat(int position, char *list, int size) {
    return Guarded<NuvBool>(0, [&]() -> NuvBool {
        StreamFormatRecord records[10] = {};
        if (position > 9 || position < 0) return 0;
        // Nowhere to write even the terminator: refuse rather than write
        // outside the caller's buffer.
        if (list == nullptr || size < 1) return 0;
        int count = 10;
        if (EnumStreamFormats(position, records, &count) != kBuildOk) return 0;
        list[0] = '\0';
        std::size_t used = 0;
        for (int i = 0; i < count; ++i) {
            char text[256];
            const int length = std::snprintf(text, sizeof text, "%d,%d,%d,%f,%s,", i, records[i].width,
                                             records[i].height, records[i].frameRate, records[i].formatName);
            if (length < 0) return 0;
            if (static_cast<long long>(used) + length >= static_cast<long long>(size) - 1) return 0;
            std::memcpy(list + used, text, static_cast<std::size_t>(length) + 1);
            used += static_cast<std::size_t>(length);
        }
        return 1;
    });
}
