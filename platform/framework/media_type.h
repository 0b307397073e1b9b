// Media types as the framework hands them out: the record and its format
// block both allocated with CoTaskMemAlloc, freed by the receiver.
#pragma once

#include "platform/framework/source.h"

namespace nuv::framework {

// A media type for a format (a VIDEOINFOHEADER for FORMAT_VideoInfo, a
// zeroed block of the larger header kind otherwise); null when memory ran
// out.
AM_MEDIA_TYPE *NewMediaType(const VideoFormat &format);
void FreeMediaType(AM_MEDIA_TYPE *type);

// The format a VIDEOINFOHEADER media type describes; false for any other.
bool FormatOfMediaType(const AM_MEDIA_TYPE &type, VideoFormat *format);

}  // namespace nuv::framework
