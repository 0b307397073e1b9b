#include "calibrate.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "protocol/shading.h"

namespace nuvctl {

namespace {

// Solves the n x n system a x = b (n <= 4) by Gaussian elimination with
// partial pivoting; false when it is singular.
template <int N>
bool Solve(std::array<std::array<long double, N>, N> a, std::array<long double, N> b, std::array<double, N> &x) {
    for (int c = 0; c < N; ++c) {
        int pivot = c;
        for (int r = c + 1; r < N; ++r) {
            if (std::fabs(a[r][c]) > std::fabs(a[pivot][c])) pivot = r;
        }
        if (std::fabs(a[pivot][c]) < 1e-30L) return false;
        std::swap(a[c], a[pivot]);
        std::swap(b[c], b[pivot]);
        for (int r = c + 1; r < N; ++r) {
            const long double f = a[r][c] / a[c][c];
            for (int k = c; k < N; ++k) a[r][k] -= f * a[c][k];
            b[r] -= f * b[c];
        }
    }
    for (int r = N - 1; r >= 0; --r) {
        long double s = b[r];
        for (int k = r + 1; k < N; ++k) s -= a[r][k] * x[k];
        x[r] = static_cast<double>(s / a[r][r]);
    }
    return true;
}

double Median(std::vector<double> values) {
    if (values.empty()) return 0.0;
    const auto mid = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), mid, values.end());
    return *mid;
}

// Median of the same-site neighbours two pixels away.
double NeighbourMedian(const Image &img, int x, int y) {
    double n[8];
    int count = 0;
    for (int dy = -2; dy <= 2; dy += 2) {
        for (int dx = -2; dx <= 2; dx += 2) {
            if (dx == 0 && dy == 0) continue;
            const int nx = x + dx;
            const int ny = y + dy;
            if (nx < 0 || ny < 0 || nx >= img.width || ny >= img.height || Reserved(nx, ny)) continue;
            n[count++] = img.At(nx, ny);
        }
    }
    // Insertion sort: at most eight values.
    for (int i = 1; i < count; ++i) {
        const double v = n[i];
        int j = i;
        for (; j > 0 && n[j - 1] > v; --j) n[j] = n[j - 1];
        n[j] = v;
    }
    if (count == 0) return img.At(x, y);
    return count % 2 ? n[count / 2] : 0.5 * (n[count / 2 - 1] + n[count / 2]);
}

}  // namespace

std::vector<Defect> FindDefects(const Image &flat, const Image &dark, int limit) {
    const std::size_t n = flat.v.size();
    // The dark level and how much it varies from pixel to pixel (median
    // absolute deviation, scaled to a standard deviation).
    const double darkLevel = Median(dark.v);
    std::vector<double> deviation(n);
    for (std::size_t i = 0; i < n; ++i) deviation[i] = std::fabs(dark.v[i] - darkLevel);
    const double darkSigma = 1.4826 * Median(deviation);
    const double hotThreshold = std::max(48.0, 10.0 * darkSigma);
    std::vector<Defect> found;
    for (int y = 0; y < flat.height; ++y) {
        for (int x = 0; x < flat.width; ++x) {
            if (Reserved(x, y)) continue;
            const double hot = dark.At(x, y) - darkLevel;
            const double reference = NeighbourMedian(flat, x, y);
            const double off = flat.At(x, y) - reference;
            const double flatThreshold = std::max(48.0, 0.15 * reference);
            if (hot > hotThreshold) {
                found.push_back({x, y, std::max(hot, std::fabs(off)), "hot"});
            } else if (std::fabs(off) > flatThreshold) {
                found.push_back({x, y, std::fabs(off), flat.At(x, y) < 0.1 * reference ? "dead" : "stuck"});
            }
        }
    }
    std::stable_sort(found.begin(), found.end(), [](const Defect &a, const Defect &b) { return a.score > b.score; });
    if (static_cast<int>(found.size()) > limit) found.resize(static_cast<std::size_t>(limit));
    return found;
}

ShadingFit FitShading(const Image &flat, const std::vector<bool> &skip) {
    const int w = flat.width;
    const int h = flat.height;
    auto usable = [&](int x, int y) {
        const std::size_t i = static_cast<std::size_t>(y) * w + x;
        return !Reserved(x, y) && !skip[i] && flat.v[i] > 1.0;
    };
    ShadingFit fit{};
    // Centre: per site, 1/flat = a (x^2 + y^2) + b x + c y + d is the
    // inverse of a radial fall-off; its apex is (-b / 2a, -c / 2a).
    // Coordinates are scaled to about 1 to keep the sums well conditioned.
    const double scale = 0.5 * std::sqrt(static_cast<double>(w) * w + static_cast<double>(h) * h);
    double cxSum = 0.0;
    double cySum = 0.0;
    int centres = 0;
    for (int site = 0; site < 4; ++site) {
        std::array<std::array<long double, 4>, 4> a{};
        std::array<long double, 4> b{};
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                if (nuv::protocol::ShadingSite(y, x) != site || !usable(x, y)) continue;
                const double u = (x - 0.5 * w) / scale;
                const double v = (y - 0.5 * h) / scale;
                const long double basis[4] = {u * u + v * v, u, v, 1.0};
                const long double target = 1.0 / flat.At(x, y);
                for (int i = 0; i < 4; ++i) {
                    for (int j = 0; j < 4; ++j) a[i][j] += basis[i] * basis[j];
                    b[i] += basis[i] * target;
                }
            }
        }
        std::array<double, 4> q{};
        if (!Solve<4>(a, b, q) || !(std::fabs(q[0]) > 1e-9 * std::fabs(q[3]))) continue;
        cxSum += 0.5 * w + scale * (-q[1] / (2.0 * q[0]));
        cySum += 0.5 * h + scale * (-q[2] / (2.0 * q[0]));
        ++centres;
    }
    fit.centre[0] = centres ? cxSum / centres : 0.5 * (w - 1);
    fit.centre[1] = centres ? cySum / centres : 0.5 * (h - 1);
    if (!(fit.centre[0] > -w && fit.centre[0] < 2.0 * w && fit.centre[1] > -h && fit.centre[1] < 2.0 * h)) {
        fit.centre[0] = 0.5 * (w - 1);  // no usable apex (a flat field): the middle
        fit.centre[1] = 0.5 * (h - 1);
    }
    // Target: the mean level of the middle block, all sites together, so
    // that gains stay near 1 where the light is strongest.
    double sum = 0.0;
    int count = 0;
    const int bx = std::max(2, w / 16);
    const int by = std::max(2, h / 16);
    for (int y = std::max(0, static_cast<int>(fit.centre[1]) - by); y < std::min(h, static_cast<int>(fit.centre[1]) + by); ++y) {
        for (int x = std::max(0, static_cast<int>(fit.centre[0]) - bx); x < std::min(w, static_cast<int>(fit.centre[0]) + bx); ++x) {
            if (!usable(x, y)) continue;
            sum += flat.At(x, y);
            ++count;
        }
    }
    fit.target = count ? sum / count : 512.0;
    // Per site: minimise sum (flat * gain(r) - target)^2, i.e. weighted
    // least squares of gain against target / flat with weights flat^2, in r
    // scaled by the half diagonal.
    for (int site = 0; site < 4; ++site) {
        std::array<std::array<long double, 3>, 3> a{};
        std::array<long double, 3> b{};
        for (int y = 0; y < h; ++y) {
            const double dy = fit.centre[1] - y;
            for (int x = 0; x < w; ++x) {
                if (nuv::protocol::ShadingSite(y, x) != site || !usable(x, y)) continue;
                const double dx = fit.centre[0] - x;
                const double rs = std::sqrt(dx * dx + dy * dy) / scale;
                const double f = flat.At(x, y);
                const long double basis[3] = {rs * rs, rs, 1.0};
                const long double weight = static_cast<long double>(f) * f;
                const long double target = fit.target / f;
                for (int i = 0; i < 3; ++i) {
                    for (int j = 0; j < 3; ++j) a[i][j] += weight * basis[i] * basis[j];
                    b[i] += weight * basis[i] * target;
                }
            }
        }
        std::array<double, 3> k{0.0, 0.0, 1.0};
        if (!Solve<3>(a, b, k)) k = {0.0, 0.0, 1.0};
        fit.k2[site] = k[0] / (scale * scale);
        fit.k1[site] = k[1] / scale;
        fit.k0[site] = k[2];
    }
    return fit;
}

double GainAt(const ShadingFit &fit, int x, int y) {
    nuv::protocol::ShadingSet set;
    set.cx = fit.centre[0];
    set.cy = fit.centre[1];
    for (int site = 0; site < nuv::protocol::kShadingSiteCount; ++site) {
        set.k2[site] = fit.k2[site];
        set.k1[site] = fit.k1[site];
        set.k0[site] = fit.k0[site];
    }
    return nuv::protocol::ShadingGainAt(set, y, x);
}

Flatness Measure(const Image &image, const std::vector<bool> &skip) {
    const int w = image.width;
    const int h = image.height;
    long double sum = 0.0L;
    long double sum2 = 0.0L;
    std::size_t n = 0;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const std::size_t i = static_cast<std::size_t>(y) * w + x;
            if (Reserved(x, y) || (!skip.empty() && skip[i])) continue;
            sum += image.v[i];
            sum2 += static_cast<long double>(image.v[i]) * image.v[i];
            ++n;
        }
    }
    Flatness f{0.0, 0.0};
    if (n == 0) return f;
    const long double mean = sum / n;
    const long double var = std::max(0.0L, sum2 / n - mean * mean);
    f.spread = mean > 0 ? static_cast<double>(std::sqrt(var) / mean) : 0.0;
    const int bw = std::max(1, w / 16);
    const int bh = std::max(1, h / 16);
    auto block = [&](int x0, int y0) {
        long double s = 0.0L;
        int c = 0;
        for (int y = y0; y < y0 + bh; ++y) {
            for (int x = x0; x < x0 + bw; ++x) {
                const std::size_t i = static_cast<std::size_t>(y) * w + x;
                if (Reserved(x, y) || (!skip.empty() && skip[i])) continue;
                s += image.v[i];
                ++c;
            }
        }
        return c ? static_cast<double>(s / c) : 0.0;
    };
    const double corners = 0.25 * (block(0, 0) + block(w - bw, 0) + block(0, h - bh) + block(w - bw, h - bh));
    const double centre = block(w / 2 - bw / 2, h / 2 - bh / 2);
    f.cornerCentre = centre > 0 ? corners / centre : 0.0;
    return f;
}

}  // namespace nuvctl
