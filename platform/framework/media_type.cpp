#include "platform/framework/media_type.h"

#include <cstring>

namespace nuv::framework {

std::size_t FrameLength(const VideoFormat &format) {
    const long long rows = format.height < 0 ? -static_cast<long long>(format.height) : format.height;
    const long long bytes = static_cast<long long>(format.width) * rows * format.bitCount / 8;
    return bytes > 0 ? static_cast<std::size_t>(bytes) : 0;
}

AM_MEDIA_TYPE *NewMediaType(const VideoFormat &format) {
    auto *type = static_cast<AM_MEDIA_TYPE *>(os::CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
    if (type == nullptr) return nullptr;
    std::memset(type, 0, sizeof *type);
    type->majortype = MEDIATYPE_Video;
    type->subtype = format.subtype;
    type->bFixedSizeSamples = TRUE;
    type->lSampleSize = static_cast<ULONG>(FrameLength(format));
    type->formattype = format.formatType;
    const ULONG size = format.formatType == FORMAT_VideoInfo ? sizeof(VIDEOINFOHEADER) : 112;
    type->pbFormat = static_cast<BYTE *>(os::CoTaskMemAlloc(size));
    if (type->pbFormat == nullptr) {
        os::CoTaskMemFree(type);
        return nullptr;
    }
    std::memset(type->pbFormat, 0, size);
    type->cbFormat = size;
    if (format.formatType == FORMAT_VideoInfo) {
        auto *info = reinterpret_cast<VIDEOINFOHEADER *>(type->pbFormat);
        info->AvgTimePerFrame = format.frameInterval;
        info->bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
        info->bmiHeader.biWidth = format.width;
        info->bmiHeader.biHeight = format.height;
        info->bmiHeader.biPlanes = 1;
        info->bmiHeader.biBitCount = static_cast<WORD>(format.bitCount);
        std::memcpy(&info->bmiHeader.biCompression, &format.subtype, sizeof(DWORD));
        info->bmiHeader.biSizeImage = type->lSampleSize;
    }
    return type;
}

void FreeMediaType(AM_MEDIA_TYPE *type) {
    if (type == nullptr) return;
    os::CoTaskMemFree(type->pbFormat);
    if (type->pUnk != nullptr) type->pUnk->Release();
    os::CoTaskMemFree(type);
}

bool FormatOfMediaType(const AM_MEDIA_TYPE &type, VideoFormat *format) {
    if (type.formattype != FORMAT_VideoInfo || type.pbFormat == nullptr || type.cbFormat < sizeof(VIDEOINFOHEADER)) {
        return false;
    }
    VIDEOINFOHEADER info;
    std::memcpy(&info, type.pbFormat, sizeof info);
    format->formatType = type.formattype;
    format->subtype = type.subtype;
    format->width = info.bmiHeader.biWidth;
    format->height = info.bmiHeader.biHeight;
    format->bitCount = info.bmiHeader.biBitCount;
    format->frameInterval = info.AvgTimePerFrame;
    return true;
}

}  // namespace nuv::framework
