#include "offer.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace nuvctl {

namespace {

std::string Size(int width, int height) { return std::to_string(width) + "x" + std::to_string(height); }

// 30, 29.97: the list carries the rate of a frame interval (30.000030).
std::string Rate(double fps) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", fps);
    std::string s = text;
    while (!s.empty() && s.back() == '0') s.pop_back();
    if (!s.empty() && s.back() == '.') s.pop_back();
    return s;
}

// "a, b or c".
std::string Alternatives(const std::vector<std::string> &items) {
    std::string text;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i > 0) text += i + 1 == items.size() ? " or " : ", ";
        text += items[i];
    }
    return text;
}

std::string Upper(std::string text) {
    for (char &c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

void AddOnce(std::vector<std::string> &list, const std::string &item) {
    if (std::find(list.begin(), list.end(), item) == list.end()) list.push_back(item);
}

// The same rate, as a frame interval in 100 ns units rounds it.
bool NotFaster(double requested, double offered) { return requested <= offered * (1.0 + 1e-6); }

}  // namespace

std::string DescribeOffer(const std::vector<FormatEntry> &formats) {
    std::vector<std::string> names;
    for (const FormatEntry &f : formats) AddOnce(names, f.format);
    std::string text;
    for (const std::string &name : names) {
        std::vector<std::string> sizes;
        std::vector<double> rates;
        for (const FormatEntry &f : formats) {
            if (f.format != name) continue;
            AddOnce(sizes, Size(f.width, f.height));
            rates.push_back(f.fps);
        }
        std::sort(rates.begin(), rates.end());
        std::vector<std::string> shown;
        for (double r : rates) AddOnce(shown, Rate(r));
        std::string sizeList;
        for (const std::string &s : sizes) sizeList += (sizeList.empty() ? "" : ", ") + s;
        if (!text.empty()) text += "; ";
        text += sizeList + " at " + Alternatives(shown) + " fps, " + name;
    }
    return text.empty() ? "no stream formats" : text;
}

void CheckOffered(const DeviceEntry &device, const OpenRequest &request) {
    std::vector<FormatEntry> formats;
    try {
        formats = ListFormats(device.position);
    } catch (const Failure &) {
        return;
    }
    if (formats.empty()) return;
    const std::string size = Size(request.width, request.height);
    const std::string offer = DescribeOffer(formats);
    auto refuse = [&](const std::string &what, const std::string &hint = "") {
        throw Failure(what + " is not offered by " + device.name + hint + "; it offers " + offer);
    };
    bool format = false;
    bool sizeAnywhere = false;
    bool sizeInFormat = false;
    double fastest = 0.0;
    for (const FormatEntry &f : formats) {
        const bool sameSize = f.width == request.width && f.height == request.height;
        format = format || f.format == request.format;
        sizeAnywhere = sizeAnywhere || sameSize;
        if (f.format == request.format && sameSize) {
            sizeInFormat = true;
            fastest = std::max(fastest, f.fps);
        }
    }
    if (!format) {
        // The library knows its format names in capitals only.
        std::string hint;
        for (const FormatEntry &f : formats) {
            if (Upper(f.format) == Upper(request.format)) hint = " (format names are case-sensitive: " + f.format + ")";
        }
        refuse("format " + (request.format.empty() ? std::string("(none)") : request.format), hint);
    }
    if (!sizeAnywhere) refuse(size);
    if (!sizeInFormat) refuse(size + " in " + request.format);
    if (request.fps > 0.0 && !NotFaster(request.fps, fastest)) {
        throw Failure(Rate(request.fps) + " fps at " + size + " in " + request.format + " is not offered by " +
                      device.name + "; it offers up to " + Rate(fastest) + " fps at that size (" + offer + ")");
    }
}

}  // namespace nuvctl
