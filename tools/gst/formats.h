// What nuvsrc offers downstream, made from the device's own format list:
// each listed size and rate in its GStreamer form, and for a camera with
// corrections its corrected frames as GRAY16_LE first. Kept apart from the
// element so that the mapping can be tested without a pipeline.
#pragma once

#include <gst/gst.h>

#include <optional>
#include <string>
#include <vector>

#include "devices.h"

namespace nuvgst {

// One way the element can stream: the caps it offers and what it asks the
// library for.
struct StreamChoice {
    std::string mediaType;  // "video/x-raw", "image/jpeg", "video/x-h264"
    std::string gstFormat;  // video/x-raw's format ("GRAY16_LE", "YUY2", ...); "" otherwise
    std::string nuvFormat;  // the library's format name, for NuvOpen
    int width = 0;
    int height = 0;         // as the device lists it (negative for a top-down DirectShow format)
    int rateNumerator = 0;
    int rateDenominator = 1;
    double fps = 0.0;       // as the device lists it: what NuvOpen is given
    bool corrected = false; // GRAY16_LE: the library's corrected 10-bit frames

    int Rows() const { return height < 0 ? -height : height; }
    // Bytes of one frame; 0 for a compressed format, whose frames vary.
    std::size_t FrameBytes() const;
    // "GRAY16_LE 1280x720 at 30/1"
    std::string Describe() const;
};

// The choices for a device of this kind (0 "NUV", 1 "NUV2", -1 any other):
// the library's cameras open only at their modes, so only those sizes are
// offered for them; a format the library cannot open is left out.
std::vector<StreamChoice> StreamChoices(const std::vector<nuvclient::FormatEntry> &formats, int kind);

// The caps of the choices, in their order (the first is what an
// unconstrained pipeline gets). fullScale: GRAY16_LE values widened to 16
// bits; the caps field value-bits says 10 or 16.
GstCaps *CapsOf(const std::vector<StreamChoice> &choices, bool fullScale);

// The choice that fixed caps ask for.
std::optional<StreamChoice> ChoiceFor(const std::vector<StreamChoice> &choices, const GstCaps *caps);

// What the device offers, for a person: "GRAY16_LE or YUY2 at 1280x720,
// 656x408 or 328x204, 30 or 60 fps".
std::string DescribeOffer(const std::vector<StreamChoice> &choices);

// A listed rate as a fraction: the library prints 1e7 / interval with six
// decimals (30.000030 for 333333), which is 30/1 to anyone choosing a rate.
void RateFraction(double fps, int *numerator, int *denominator);

// The caps field that says how many bits of each GRAY16_LE word carry the
// value.
inline constexpr const char *kValueBitsField = "value-bits";

}  // namespace nuvgst
