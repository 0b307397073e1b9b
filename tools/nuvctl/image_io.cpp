#include "image_io.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "common.h"

#if NUVCTL_HAVE_PNG
#include <png.h>
#endif

namespace nuvctl {

namespace {

struct FileCloser {
    void operator()(std::FILE *f) const {
        if (f != nullptr) std::fclose(f);
    }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

File OpenForWriting(const std::string &path) {
    File file(std::fopen(path.c_str(), "wb"));
    if (!file) throw Failure("cannot write " + path + ": " + std::strerror(errno));
    return file;
}

void Close(File &file, const std::string &path) {
    if (std::fclose(file.release()) != 0) throw Failure("cannot write " + path + ": " + std::strerror(errno));
}

#if NUVCTL_HAVE_PNG
// libpng reports errors through longjmp; the writer keeps every step that
// can fail inside one function with its own setjmp.
struct PngWriter {
    png_structp png = nullptr;
    png_infop info = nullptr;
    ~PngWriter() { png_destroy_write_struct(&png, &info); }
};

bool WriteRows(png_structp png, png_infop info, int width, int height, int depth, const std::vector<png_bytep> &rows,
               bool sbit10) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), depth,
                 PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (sbit10) {
        png_color_8 sig{};
        sig.gray = 10;
        png_set_sBIT(png, info, &sig);
    }
    png_set_compression_level(png, 3);  // frames are large; speed matters more than the last few percent
    png_write_info(png, info);
    png_write_image(png, const_cast<png_bytepp>(rows.data()));
    png_write_end(png, nullptr);
    return true;
}

struct Sink {
    std::FILE *file = nullptr;
    std::string *memory = nullptr;
};

void WriteData(png_structp png, png_bytep data, png_size_t length) {
    auto *sink = static_cast<Sink *>(png_get_io_ptr(png));
    if (sink->memory != nullptr) {
        sink->memory->append(reinterpret_cast<const char *>(data), length);
    } else if (std::fwrite(data, 1, length, sink->file) != length) {
        png_error(png, "short write");
    }
}
void FlushData(png_structp) {}

void Encode(Sink &sink, int width, int height, int depth, std::vector<png_byte> &pixels, bool sbit10,
            const std::string &what) {
    PngWriter w;
    w.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (w.png == nullptr) throw Failure("png_create_write_struct failed for " + what);
    w.info = png_create_info_struct(w.png);
    if (w.info == nullptr) throw Failure("png_create_info_struct failed for " + what);
    png_set_write_fn(w.png, &sink, WriteData, FlushData);
    const std::size_t stride = static_cast<std::size_t>(width) * (depth / 8);
    std::vector<png_bytep> rows(static_cast<std::size_t>(height));
    for (int y = 0; y < height; ++y) rows[static_cast<std::size_t>(y)] = pixels.data() + stride * static_cast<std::size_t>(y);
    if (!WriteRows(w.png, w.info, width, height, depth, rows, sbit10)) {
        throw Failure("libpng could not write " + what + " (disk full?)");
    }
}
#endif

}  // namespace

bool PngSupported() { return NUVCTL_HAVE_PNG != 0; }

void WritePng16(const std::string &path, int width, int height, const std::vector<std::uint16_t> &values) {
#if NUVCTL_HAVE_PNG
    std::vector<png_byte> pixels(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 2);
    for (std::size_t i = 0; i < values.size() && 2 * i + 1 < pixels.size(); ++i) {
        const unsigned v = values[i] > 1023 ? 1023u : values[i];
        const unsigned wide = (v << 6) | (v >> 4);
        pixels[2 * i] = static_cast<png_byte>(wide >> 8);  // PNG samples are big-endian
        pixels[2 * i + 1] = static_cast<png_byte>(wide & 0xFF);
    }
    File file = OpenForWriting(path);
    Sink sink{file.get(), nullptr};
    Encode(sink, width, height, 16, pixels, true, path);
    Close(file, path);
#else
    (void)width;
    (void)height;
    (void)values;
    throw Failure("cannot write " + path + ": this build of nuvctl writes no PNG (use --raw)");
#endif
}

std::string EncodePng8(int width, int height, const std::vector<std::uint8_t> &values) {
#if NUVCTL_HAVE_PNG
    std::vector<png_byte> pixels(values.begin(), values.end());
    pixels.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    std::string out;
    Sink sink{nullptr, &out};
    Encode(sink, width, height, 8, pixels, false, "a display frame");
    return out;
#else
    (void)width;
    (void)height;
    (void)values;
    throw Failure("this build of nuvctl writes no PNG");
#endif
}

void WriteBytes(const std::string &path, const std::vector<std::uint8_t> &bytes) {
    File file = OpenForWriting(path);
    if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), file.get()) != bytes.size()) {
        throw Failure("cannot write " + path + ": " + std::strerror(errno));
    }
    Close(file, path);
}

}  // namespace nuvctl
