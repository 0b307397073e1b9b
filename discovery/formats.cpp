// Stream format names and the format list of a device.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <cwchar>

#include "discovery/discovery.h"
#include "discovery/text.h"
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

void FreeMediaType(AM_MEDIA_TYPE *type) {
    if (type == nullptr) return;
    if (type->pbFormat != nullptr) os::CoTaskMemFree(type->pbFormat);
    if (type->pUnk != nullptr) type->pUnk->Release();
    os::CoTaskMemFree(type);
}

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
    if (count == nullptr) return kEnumNoDevice;
    const int capacity = *count;
    ComSession com;
    ComRef<IGraphBuilder> graph;
    ComRef<ICreateDevEnum> devices;
    ComRef<IEnumMoniker> monikers;
    ComRef<IBaseFilter> filter;
    ComRef<ICaptureGraphBuilder2> builder;
    ComRef<IAMStreamConfig> config;
    if (const int status = OpenVideoCategory(graph, devices, monikers); status != 0) return status;
    // Only the first ten monikers of the category are looked at.
    bool found = false;
    int pnpCount = 0;
    for (int monikerCount = 0; monikerCount < 10; ++monikerCount) {
        ComRef<IMoniker> moniker;
        if (NoteComStatus(monikers->Next(1, moniker.put(), nullptr)) != S_OK || !moniker) continue;
        LPOLESTR wide = nullptr;
        if (NoteComStatus(moniker->GetDisplayName(nullptr, nullptr, &wide)) != S_OK || wide == nullptr) {
            os::CoTaskMemFree(wide);
            return kEnumDisplayName;
        }
        const bool plugAndPlay = std::wcsstr(wide, L"@device:pnp") != nullptr;
        os::CoTaskMemFree(wide);
        if (!plugAndPlay) continue;
        if (!found && pnpCount == position) {
            NoteComStatus(moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter, filter.putVoid()));
            wchar_t filterName[40];
            std::swprintf(filterName, sizeof filterName / sizeof filterName[0], L"Video Capture %d", monikerCount);
            const HRESULT added = filter ? graph->AddFilter(filter.get(), filterName) : E_POINTER;
            if (NoteComStatus(added) != S_OK) return kEnumAddFilter;
            found = true;
        }
        ++pnpCount;
    }
    monikers.reset();
    devices.reset();
    if (!found) return kEnumNoDevice;

    if (NoteComStatus(os::CoCreateInstance(CLSID_CaptureGraphBuilder2, nullptr, CLSCTX_INPROC_SERVER, IID_ICaptureGraphBuilder2,
                                  builder.putVoid())) != S_OK ||
        NoteComStatus(builder->SetFiltergraph(graph.get())) != S_OK) {
        return kEnumCaptureBuilder;
    }
    if (NoteComStatus(builder->FindInterface(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Video, filter.get(), IID_IAMStreamConfig,
                                    config.putVoid())) != S_OK ||
        !config) {
        return kEnumStreamConfig;
    }
    int capabilities = 0;
    int recordSize = 0;
    if (NoteComStatus(config->GetNumberOfCapabilities(&capabilities, &recordSize)) != S_OK) return kEnumCapabilities;
    if (recordSize != static_cast<int>(sizeof(VIDEO_STREAM_CONFIG_CAPS)) || capabilities <= 0) {
        *count = 0;
        return kEnumOk;
    }
    int filled = 0;
    for (int index = 0; index < capabilities && filled < capacity; ++index) {
        AM_MEDIA_TYPE *type = nullptr;
        alignas(8) BYTE caps[sizeof(VIDEO_STREAM_CONFIG_CAPS)];
        if (NoteComStatus(config->GetStreamCaps(index, &type, caps)) != S_OK || type == nullptr) {
            FreeMediaType(type);
            continue;
        }
        if (type->formattype != FORMAT_VideoInfo || type->pbFormat == nullptr ||
            type->cbFormat < sizeof(VIDEOINFOHEADER)) {
            FreeMediaType(type);
            continue;
        }
        VIDEOINFOHEADER info;
        std::memcpy(&info, type->pbFormat, sizeof info);
        StreamFormatRecord &record = records[filled++];
        record.width = info.bmiHeader.biWidth;
        record.height = info.bmiHeader.biHeight;
        record.bitCount = info.bmiHeader.biBitCount;
        record.frameInterval = info.AvgTimePerFrame;
        // A capability without a frame interval has no rate to speak of.
        record.frameRate = info.AvgTimePerFrame != 0 ? 1e7 / static_cast<double>(info.AvgTimePerFrame) : 0.0;
        record.subtype = type->subtype;
        FormatNameFromSubtype(type->subtype, record.formatName);
        FreeMediaType(type);
    }
    *count = filled;
    return kEnumOk;
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
        if (EnumStreamFormats(position, records, &count) != kEnumOk) return 0;
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
