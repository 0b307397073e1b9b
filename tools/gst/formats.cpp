#include "formats.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace nuvgst {

namespace {

struct Mapping {
    const char *nuv;
    const char *mediaType;
    const char *gstFormat;
    int bitsPerPixel;  // 0: compressed
};

// The names NuvOpen accepts, as GStreamer knows them. On Linux the library
// hands RGB24 and RGB32 out top-down in the byte order of V4L2's BGR24 and
// BGR32; RGB555 has no V4L2 source, so it is never listed there.
constexpr Mapping kMappings[] = {
    {"YUY2", "video/x-raw", "YUY2", 16},     {"I420", "video/x-raw", "I420", 12},
    {"IYUV", "video/x-raw", "I420", 12},     {"RGB24", "video/x-raw", "BGR", 24},
    {"RGB32", "video/x-raw", "BGRx", 32},    {"MJPG", "image/jpeg", "", 0},
    {"H264", "video/x-h264", "", 0},
};

const Mapping *MappingOf(const std::string &nuvFormat) {
    for (const Mapping &m : kMappings) {
        if (nuvFormat == m.nuv) return &m;
    }
    return nullptr;
}

bool IsMode(int width, int height) {
    return nuv::protocol::ModeOf(width, height) >= 0;
}

bool SameStream(const StreamChoice &a, const StreamChoice &b) {
    return a.mediaType == b.mediaType && a.gstFormat == b.gstFormat && a.width == b.width && a.Rows() == b.Rows() &&
           a.rateNumerator == b.rateNumerator && a.rateDenominator == b.rateDenominator;
}

// Joins distinct words as "a, b or c".
std::string Alternatives(const std::vector<std::string> &words) {
    std::string text;
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (i > 0) text += i + 1 == words.size() ? " or " : ", ";
        text += words[i];
    }
    return text;
}

void AddDistinct(std::vector<std::string> &words, const std::string &word) {
    if (std::find(words.begin(), words.end(), word) == words.end()) words.push_back(word);
}

std::string RateText(int numerator, int denominator) {
    if (denominator == 1) return std::to_string(numerator);
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", static_cast<double>(numerator) / denominator);
    return text;
}

}  // namespace

std::size_t StreamChoice::FrameBytes() const {
    const Mapping *m = MappingOf(nuvFormat);
    if (m == nullptr || m->bitsPerPixel == 0) return 0;
    return static_cast<std::size_t>(width) * static_cast<std::size_t>(Rows()) *
           static_cast<std::size_t>(m->bitsPerPixel) / 8;
}

std::string StreamChoice::Describe() const {
    return (gstFormat.empty() ? mediaType : gstFormat) + " " + std::to_string(width) + "x" + std::to_string(Rows()) +
           " at " + std::to_string(rateNumerator) + "/" + std::to_string(rateDenominator);
}

void RateFraction(double fps, int *numerator, int *denominator) {
    *numerator = 0;
    *denominator = 1;
    if (!(fps > 0.0) || !std::isfinite(fps)) return;
    // The interval the device stores, in 100 ns units.
    const double interval = std::floor(1e7 / fps + 0.5);
    const auto near = [&](double rate) { return std::fabs(1e7 / rate - interval) <= 1.0; };
    const double whole = std::floor(fps + 0.5);
    if (whole >= 1.0 && near(whole)) {
        *numerator = static_cast<int>(whole);
        return;
    }
    // The television rates: 30000/1001 and its kin.
    const double television = std::floor(fps * 1.001 + 0.5);
    if (television >= 1.0 && near(television * 1000.0 / 1001.0)) {
        *numerator = static_cast<int>(television) * 1000;
        *denominator = 1001;
        return;
    }
    // Otherwise the simplest fraction with this interval (15/2 for 7.5).
    for (int d = 2; d <= 1000; ++d) {
        const double n = std::floor(fps * d + 0.5);
        if (n >= 1.0 && n < 2147483647.0 && near(n / d)) {
            *numerator = static_cast<int>(n);
            *denominator = d;
            return;
        }
    }
    gst_util_double_to_fraction(1e7 / interval, numerator, denominator);
}

std::vector<StreamChoice> StreamChoices(const std::vector<nuvclient::FormatEntry> &formats, int kind) {
    std::vector<StreamChoice> corrected, delivered;
    for (const nuvclient::FormatEntry &entry : formats) {
        const Mapping *m = MappingOf(entry.format);
        if (m == nullptr || entry.width <= 0 || entry.height == 0 || !(entry.fps > 0.0)) continue;
        StreamChoice choice;
        choice.mediaType = m->mediaType;
        choice.gstFormat = m->gstFormat;
        choice.nuvFormat = entry.format;
        choice.width = entry.width;
        choice.height = entry.height;
        choice.fps = entry.fps;
        RateFraction(entry.fps, &choice.rateNumerator, &choice.rateDenominator);
        if (kind != nuvclient::kKindVideoOnly && !IsMode(choice.width, choice.Rows())) continue;
        // The corrections work on 16-bit words of a mode's size: a NUV2
        // camera's frames in a 16-bit format are its 10-bit values.
        if (kind == nuvclient::kKindNuv2 && m->bitsPerPixel == 16) {
            StreamChoice grey = choice;
            grey.gstFormat = "GRAY16_LE";
            grey.corrected = true;
            if (std::none_of(corrected.begin(), corrected.end(), [&](auto &c) { return SameStream(c, grey); }))
                corrected.push_back(grey);
        }
        if (std::none_of(delivered.begin(), delivered.end(), [&](auto &c) { return SameStream(c, choice); }))
            delivered.push_back(choice);
    }
    corrected.insert(corrected.end(), delivered.begin(), delivered.end());
    return corrected;
}

GstCaps *CapsOf(const std::vector<StreamChoice> &choices, bool fullScale) {
    GstCaps *caps = gst_caps_new_empty();
    for (const StreamChoice &c : choices) {
        GstStructure *s = gst_structure_new_empty(c.mediaType.c_str());
        if (!c.gstFormat.empty()) gst_structure_set(s, "format", G_TYPE_STRING, c.gstFormat.c_str(), nullptr);
        if (c.corrected) gst_structure_set(s, kValueBitsField, G_TYPE_INT, fullScale ? 16 : 10, nullptr);
        gst_structure_set(s, "width", G_TYPE_INT, c.width, "height", G_TYPE_INT, c.Rows(), "framerate",
                          GST_TYPE_FRACTION, c.rateNumerator, c.rateDenominator, "pixel-aspect-ratio",
                          GST_TYPE_FRACTION, 1, 1, nullptr);
        if (c.mediaType == "video/x-h264")
            gst_structure_set(s, "stream-format", G_TYPE_STRING, "byte-stream", "alignment", G_TYPE_STRING, "au",
                              nullptr);
        gst_caps_append_structure(caps, s);
    }
    return caps;
}

std::optional<StreamChoice> ChoiceFor(const std::vector<StreamChoice> &choices, const GstCaps *caps) {
    if (caps == nullptr || gst_caps_get_size(caps) < 1) return std::nullopt;
    const GstStructure *s = gst_caps_get_structure(caps, 0);
    const char *format = gst_structure_get_string(s, "format");
    int width = 0, height = 0, numerator = 0, denominator = 1;
    if (!gst_structure_get_int(s, "width", &width) || !gst_structure_get_int(s, "height", &height) ||
        !gst_structure_get_fraction(s, "framerate", &numerator, &denominator))
        return std::nullopt;
    for (const StreamChoice &c : choices) {
        if (gst_structure_has_name(s, c.mediaType.c_str()) && c.gstFormat == (format != nullptr ? format : "") &&
            c.width == width && c.Rows() == height &&
            static_cast<long long>(c.rateNumerator) * denominator == static_cast<long long>(numerator) * c.rateDenominator)
            return c;
    }
    return std::nullopt;
}

std::string DescribeOffer(const std::vector<StreamChoice> &choices) {
    if (choices.empty()) return "nothing this element can deliver";
    std::vector<std::string> formats, sizes, rates;
    for (const StreamChoice &c : choices) {
        AddDistinct(formats, c.gstFormat.empty() ? c.mediaType : c.gstFormat);
        AddDistinct(sizes, std::to_string(c.width) + "x" + std::to_string(c.Rows()));
        AddDistinct(rates, RateText(c.rateNumerator, c.rateDenominator));
    }
    return Alternatives(formats) + " at " + Alternatives(sizes) + ", " + Alternatives(rates) + " fps";
}

}  // namespace nuvgst
