// nuvctl as its users run it: the real executable against the simulated
// world, on the virtual clock, its output and files read back as other
// programs read them (JSON, libpng), its terminal output on a pseudo-terminal.
#include <fcntl.h>
#include <png.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using nlohmann::json;
namespace fs = std::filesystem;

namespace {

struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

std::string Slurp(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class Nuvctl : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("nuvctl_test_" + std::to_string(getpid()) + "_" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    static std::vector<std::string> Argv(std::vector<std::string> args) {
        args.insert(args.begin(), {NUVCTL_PATH, "--virtual-clock"});
        return args;
    }

    // Runs nuvctl with its output going to files (not a terminal), and
    // input on its standard input.
    Result Run(const std::vector<std::string> &args, const std::string &input = "") {
        const auto argv = Argv(args);
        const fs::path out = dir_ / "stdout";
        const fs::path err = dir_ / "stderr";
        const fs::path stdinFile = dir_ / "stdin";
        std::ofstream(stdinFile, std::ios::binary) << input;
        const pid_t pid = fork();
        if (pid == 0) {
            const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int in = open(stdinFile.c_str(), O_RDONLY);
            dup2(o, 1);
            dup2(e, 2);
            dup2(in, 0);
            std::vector<char *> raw;
            for (const auto &a : argv) raw.push_back(const_cast<char *>(a.c_str()));
            raw.push_back(nullptr);
            execv(raw[0], raw.data());
            _exit(127);
        }
        Result r;
        int status = 0;
        waitpid(pid, &status, 0);
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        r.out = Slurp(out);
        r.err = Slurp(err);
        return r;
    }

    // Runs nuvctl on a pseudo-terminal (stdout and stderr both on it).
    // `interrupt` sends Ctrl-C once this text has appeared; each of `typed`
    // is typed (with Enter) at the next appearance of `prompt`.
    Result RunOnTerminal(const std::vector<std::string> &args, const std::string &interrupt = "",
                         const std::vector<std::string> &typed = {}, const std::string &prompt = "") {
        const auto argv = Argv(args);
        int master = -1;
        const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
        if (pid == 0) {
            std::vector<char *> raw;
            for (const auto &a : argv) raw.push_back(const_cast<char *>(a.c_str()));
            raw.push_back(nullptr);
            execv(raw[0], raw.data());
            _exit(127);
        }
        Result r;
        bool sent = false;
        std::size_t typedSoFar = 0;
        char buffer[4096];
        for (;;) {
            const ssize_t n = read(master, buffer, sizeof buffer);
            if (n <= 0) break;  // EIO once the child has closed the terminal
            r.out.append(buffer, static_cast<std::size_t>(n));
            if (!interrupt.empty() && !sent && r.out.find(interrupt) != std::string::npos) {
                const char ctrlC = 3;  // the terminal turns it into SIGINT
                (void)!write(master, &ctrlC, 1);
                sent = true;
            }
            std::size_t prompts = 0;
            for (auto at = r.out.find(prompt); !prompt.empty() && at != std::string::npos; at = r.out.find(prompt, at + 1))
                ++prompts;
            while (typedSoFar < typed.size() && typedSoFar < prompts) {
                const std::string line = typed[typedSoFar++] + "\n";
                (void)!write(master, line.data(), line.size());
            }
        }
        close(master);
        int status = 0;
        waitpid(pid, &status, 0);
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return r;
    }

    static json Json(const Result &r) {
        try {
            return json::parse(r.out);
        } catch (const std::exception &e) {
            ADD_FAILURE() << "not JSON: " << e.what() << "\n" << r.out << r.err;
            return json();
        }
    }

    fs::path dir_;
};

// ---- listing, identity, selectors ----

TEST_F(Nuvctl, ListShowsBothCamerasWithTheirSerials) {
    const Result r = Run({"list"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("0: NUV "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("NUV#1A2B3C01"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("1: NUV2"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("NUV2#1A2B3C02"), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "");
    const json list = Json(Run({"list", "--formats", "--json"}));
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[1]["name"], "NUV2");
    EXPECT_EQ(list[1]["serial"], "1A2B3C02");
    EXPECT_EQ(list[0]["kind"], "NUV");
    std::set<std::string> sizes;
    for (const auto &f : list[1]["formats"]) {
        EXPECT_EQ(f["format"], "YUY2");
        sizes.insert(std::to_string(f["width"].get<int>()) + "x" + std::to_string(f["height"].get<int>()));
    }
    EXPECT_EQ(sizes, (std::set<std::string>{"1280x720", "656x408", "328x204"}));
}

TEST_F(Nuvctl, InfoReportsVersionsSerialKindIdentityAndTemperatures) {
    const Result r = Run({"-d", "1", "info", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    const json info = Json(r);
    EXPECT_EQ(info["library"].get<std::string>().rfind("Version 1.1.0.0", 0), 0u);
    EXPECT_EQ(info["serial_number"], "1A2B3C02");
    EXPECT_EQ(info["kind"], "NUV2");
    EXPECT_FALSE(info["firmware"].get<std::string>().empty());
    for (const char *key : {"recognition", "usb_mode", "temperature1", "temperature2"}) {
        EXPECT_TRUE(info[key].is_number_integer()) << key;
    }
}

TEST_F(Nuvctl, SelectorsFindByPositionSerialAndNameAndNameEveryMatchOtherwise) {
    for (const char *selector : {"1", "NUV2#1A2B3C02", "nuv2#1a2b3c02", "1A2B3C02", "NUV2"}) {
        const Result r = Run({"-d", selector, "get", "serial_no"});
        EXPECT_EQ(r.status, 0) << selector << ": " << r.err;
        EXPECT_EQ(r.out, "serial_no=1A2B3C02\n") << selector;
    }
    const Result unknown = Run({"-d", "NUV3", "info"});
    EXPECT_EQ(unknown.status, 1);
    EXPECT_NE(unknown.err.find("no device matches \"NUV3\""), std::string::npos) << unknown.err;
    EXPECT_NE(unknown.err.find("1: NUV2#1A2B3C02"), std::string::npos) << unknown.err;
    const Result beyond = Run({"-d", "7", "info"});
    EXPECT_EQ(beyond.status, 1);
    EXPECT_NE(beyond.err.find("no device at position 7"), std::string::npos) << beyond.err;
    const Result twice = Run({"--sim-camera", "NUV2:1A2B3C03", "-d", "NUV2", "info"});
    EXPECT_EQ(twice.status, 1);
    EXPECT_NE(twice.err.find("matches 2 devices"), std::string::npos) << twice.err;
    EXPECT_NE(twice.err.find("NUV2#1A2B3C03"), std::string::npos) << twice.err;
    EXPECT_EQ(twice.out, "");
}

TEST_F(Nuvctl, MissingLibraryAndUsageErrorsExitNonZeroWithTheirReason) {
    const Result missing = Run({"--library", (dir_ / "libnone.so").string(), "list"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("cannot load the camera library"), std::string::npos) << missing.err;
    EXPECT_NE(missing.err.find("libnone.so"), std::string::npos) << missing.err;
    const Result notNuv = Run({"--library", "libc.so.6", "list"});
    EXPECT_EQ(notNuv.status, 1);
    EXPECT_NE(notNuv.err.find("is not a nuv library"), std::string::npos) << notNuv.err;
    EXPECT_NE(Run({"frobnicate"}).status, 0);
    const Result size = Run({"--size", "huge", "capture", "-o", "x.png"});
    EXPECT_NE(size.status, 0);
    EXPECT_NE(size.err.find("--size expects WxH"), std::string::npos) << size.err;
}

// ---- controls ----

TEST_F(Nuvctl, SetWritesAndReadsBackRefusesValuesOutOfRangeAndControlsOfOtherKinds) {
    const Result set = Run({"-d", "NUV2", "set", "gain=100", "led=64", "exposure=-13", "camera_no=2", "shutter=4000",
                            "digital_gain=1,2,3,4", "register.0x3012=0x5A", "shading_correction=0"});
    ASSERT_EQ(set.status, 0) << set.err;
    EXPECT_EQ(set.out,
              "gain=100\nled=64\nexposure=-13\ncamera_no=2\nshutter=4000\ndigital_gain=1,2,3,4\n"
              "register.0x3012=0x5A\nshading_correction=0\n");
    const Result gain = Run({"-d", "NUV2", "set", "gain=241"});
    EXPECT_EQ(gain.status, 1);
    EXPECT_NE(gain.err.find("gain=241 is outside 0..240 (nothing sent)"), std::string::npos) << gain.err;
    const Result shutter = Run({"-d", "NUV2", "set", "shutter=65531"});
    EXPECT_EQ(shutter.status, 1);
    EXPECT_NE(shutter.err.find("outside 1..65530"), std::string::npos) << shutter.err;
    const Result gpio = Run({"-d", "NUV2", "set", "gpio_output=1"});
    EXPECT_EQ(gpio.status, 1);
    EXPECT_NE(gpio.err.find("NUV cameras only"), std::string::npos) << gpio.err;
    const Result nuv = Run({"-d", "NUV", "set", "gpio_direction=255", "gpio_output=170"});
    EXPECT_EQ(nuv.status, 0) << nuv.err;
    const Result corr = Run({"-d", "NUV", "get", "shading_correction"});
    EXPECT_EQ(corr.status, 1);
    EXPECT_NE(corr.err.find("NUV2 cameras only"), std::string::npos) << corr.err;
    const Result unknown = Run({"-d", "NUV2", "get", "brightness"});
    EXPECT_EQ(unknown.status, 1);
    EXPECT_NE(unknown.err.find("unknown control \"brightness\""), std::string::npos) << unknown.err;
    EXPECT_NE(unknown.err.find("exposure"), std::string::npos) << unknown.err;
    const Result word = Run({"-d", "NUV2", "set", "gain=ten"});
    EXPECT_EQ(word.status, 1);
    EXPECT_NE(word.err.find("not a whole number"), std::string::npos) << word.err;
}

TEST_F(Nuvctl, CtrlsListsRangesStepsDefaultsAndValues) {
    const Result r = Run({"-d", "NUV2", "ctrls", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::map<std::string, json> byName;
    for (const auto &c : Json(r)) byName[c["name"]] = c;
    EXPECT_EQ(byName["gain"]["min"], 0);
    EXPECT_EQ(byName["gain"]["max"], 240);
    EXPECT_EQ(byName["exposure"]["min"], -13);
    EXPECT_EQ(byName["led"]["step"], 1);
    EXPECT_EQ(byName["shading_correction"]["default"], 1);
    EXPECT_EQ(byName["shading_correction"]["value"], true);
    EXPECT_EQ(byName.count("gpio_output"), 0u) << "a NUV2 camera has no GPIO";
    const Result nuv = Run({"-d", "NUV", "ctrls"});
    ASSERT_EQ(nuv.status, 0) << nuv.err;
    EXPECT_NE(nuv.out.find("gpio_direction"), std::string::npos);
    EXPECT_EQ(nuv.out.find("shading_correction"), std::string::npos);
}

// ---- capture ----

struct Png {
    int width = 0;
    int height = 0;
    int depth = 0;
    int colour = -1;
    int sbitGray = 0;
    std::vector<std::uint16_t> samples;
};

Png ReadPng(const fs::path &path) {
    Png png;
    std::FILE *file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return png;
    png_structp p = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(p);
    if (setjmp(png_jmpbuf(p))) {
        png_destroy_read_struct(&p, &info, nullptr);
        std::fclose(file);
        png.depth = -1;
        return png;
    }
    png_init_io(p, file);
    png_read_info(p, info);
    png.width = static_cast<int>(png_get_image_width(p, info));
    png.height = static_cast<int>(png_get_image_height(p, info));
    png.depth = png_get_bit_depth(p, info);
    png.colour = png_get_color_type(p, info);
    png_color_8p sig = nullptr;
    if (png_get_sBIT(p, info, &sig) != 0 && sig != nullptr) png.sbitGray = sig->gray;
    std::vector<png_byte> row(png_get_rowbytes(p, info));
    for (int y = 0; y < png.height; ++y) {
        png_read_row(p, row.data(), nullptr);
        for (int x = 0; x < png.width && png.depth == 16; ++x)
            png.samples.push_back(static_cast<std::uint16_t>((row[2 * x] << 8) | row[2 * x + 1]));
    }
    png_read_end(p, nullptr);
    png_destroy_read_struct(&p, &info, nullptr);
    std::fclose(file);
    return png;
}

TEST_F(Nuvctl, CapturedPngIs16BitGreyWithSbit10AndGivesBackTheValues) {
    const fs::path pattern = dir_ / "frame-%02d.png";
    const Result r = Run({"-d", "NUV2", "--sim-scene", "500", "--sim-defect", "0.5,0.5,1023", "capture", "-n", "2",
                          "--skip", "1", "--no-correct", "-o", pattern.string()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "") << "quiet off a terminal";
    EXPECT_FALSE(fs::exists(dir_ / "frame-02.png"));
    for (const char *name : {"frame-00.png", "frame-01.png"}) {
        const Png png = ReadPng(dir_ / name);
        ASSERT_EQ(png.width, 1280) << name;
        ASSERT_EQ(png.height, 720);
        EXPECT_EQ(png.depth, 16);
        EXPECT_EQ(png.colour, PNG_COLOR_TYPE_GRAY);
        EXPECT_EQ(png.sbitGray, 10);
        ASSERT_EQ(png.samples.size(), 1280u * 720u);
        int off = 0;
        for (std::size_t i = 4; i < png.samples.size(); ++i) {
            const unsigned v = png.samples[i] >> 6;
            // Bit replication: the low six bits repeat the top ones, so the
            // full range maps 1023 to 65535.
            ASSERT_EQ(png.samples[i], (v << 6) | (v >> 4)) << i;
            off += v != 500;
        }
        EXPECT_EQ(off, 1) << "one stuck pixel, uncorrected";
        EXPECT_EQ(png.samples[360 * 1280 + 640], 65535) << "the stuck pixel at full scale";
    }
}

TEST_F(Nuvctl, CorrectedCaptureRemovesTheListedDefectsAndRawCaptureHasItsSidecar) {
    const fs::path file = dir_ / "small.raw";
    const Result r = Run({"-d", "NUV2", "--sim-scene", "400", "--size", "328x204", "capture", "--raw", "-o",
                          file.string()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(fs::file_size(file), 328u * 204u * 2u);
    std::ifstream in(file.string() + ".json");
    json sidecar;
    in >> sidecar;
    EXPECT_EQ(sidecar["width"], 328);
    EXPECT_EQ(sidecar["height"], 204);
    EXPECT_EQ(sidecar["dtype"], "uint16le");
    EXPECT_EQ(sidecar["format"], "YUY2");
    EXPECT_EQ(sidecar["corrections"]["shading"], true);
    EXPECT_EQ(sidecar["corrections"]["pixel_defects"], true);
    EXPECT_EQ(sidecar["device"], "NUV2#1A2B3C02");
    EXPECT_FALSE(sidecar["host_time"].get<std::string>().empty());
    // The stored shading is applied: a flat 400 does not stay flat.
    const std::string bytes = Slurp(file);
    std::set<int> values;
    for (std::size_t i = 8; i + 1 < bytes.size(); i += 2)
        values.insert(static_cast<unsigned char>(bytes[i]) | (static_cast<unsigned char>(bytes[i + 1]) << 8));
    EXPECT_GT(values.size(), 10u);
    EXPECT_LE(*values.rbegin(), 1023);
    const Result nuv = Run({"-d", "NUV", "capture", "--no-correct", "-o", (dir_ / "x.png").string()});
    EXPECT_EQ(nuv.status, 1);
    EXPECT_NE(nuv.err.find("no correction switches"), std::string::npos) << nuv.err;
    const Result nowhere = Run({"-d", "NUV2", "capture", "-o", (dir_ / "missing" / "x.png").string()});
    EXPECT_EQ(nowhere.status, 1);
    EXPECT_NE(nowhere.err.find("cannot write"), std::string::npos) << nowhere.err;
    const Result format = Run({"-d", "NUV2", "--format", "yuy2", "capture", "-o", (dir_ / "y.png").string()});
    EXPECT_EQ(format.status, 1);
    EXPECT_NE(format.err.find("format yuy2 is not offered by NUV2 (format names are case-sensitive: YUY2)"),
              std::string::npos)
        << format.err;
}

// ---- correction data through JSON ----

TEST_F(Nuvctl, DefectListsRoundTripThroughJsonAndSetAsksForYes) {
    const std::string state = (dir_ / "flash.json").string();
    const std::string file = (dir_ / "defects.json").string();
    ASSERT_EQ(Run({"--sim-state", state, "-d", "NUV2", "defects", "get", "-o", file}).status, 0);
    std::ifstream in(file);
    json lists;
    in >> lists;
    ASSERT_EQ(lists["defects"].size(), 6u);
    json &first = lists["defects"][0];
    EXPECT_EQ(first["camera_no"], 1);
    EXPECT_EQ(first["mode"], 0);
    first["entries"] = json::array({{10, 20}, {1279, 719}});
    lists["defects"][5]["entries"] = json::array({{3, 4}});
    std::ofstream(file) << lists.dump(2);

    const Result dry = Run({"--sim-state", state, "-d", "NUV2", "defects", "set", file});
    EXPECT_EQ(dry.status, 1);
    EXPECT_NE(dry.out.find("camera 1, mode 0 (1280x720):"), std::string::npos) << dry.out;
    EXPECT_NE(dry.out.find("  + [10, 20]"), std::string::npos) << dry.out;
    EXPECT_NE(dry.out.find("camera 2, mode 2 (328x204):"), std::string::npos) << dry.out;
    EXPECT_NE(dry.err.find("add --yes"), std::string::npos) << dry.err;
    const Result unchanged = Run({"--sim-state", state, "-d", "NUV2", "defects", "get", "--camera-no", "1", "--mode", "0"});
    EXPECT_NE(Json(unchanged)["defects"][0]["entries"], first["entries"]) << "nothing written without --yes";

    const Result wrote = Run({"--sim-state", state, "-d", "NUV2", "defects", "set", file, "--yes"});
    ASSERT_EQ(wrote.status, 0) << wrote.err;
    EXPECT_NE(wrote.out.find("wrote 2 list(s)"), std::string::npos) << wrote.out;
    const json back = Json(Run({"--sim-state", state, "-d", "NUV2", "defects", "get"}));
    EXPECT_EQ(back["defects"], lists["defects"]);
    const Result again = Run({"--sim-state", state, "-d", "NUV2", "defects", "set", file});
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(again.out, "no changes\n");
}

TEST_F(Nuvctl, ShadingSetsRoundTripExactlyThroughJson) {
    const std::string state = (dir_ / "flash.json").string();
    const std::string file = (dir_ / "shading.json").string();
    ASSERT_EQ(Run({"--sim-state", state, "-d", "NUV2", "shading", "get", "-o", file, "--mode", "1"}).status, 0);
    std::ifstream in(file);
    json sets;
    in >> sets;
    ASSERT_EQ(sets["shading"].size(), 2u);
    sets["shading"][1]["centre"] = {300.25, 190.125};
    sets["shading"][1]["k2"] = {1e-6, 2.5e-6, 3.1234567890123e-6, 0.0};
    sets["shading"][1]["k0"] = {1.0, 0.9, 1.1, 1.0 / 3.0};
    std::ofstream(file) << sets.dump(2);
    const Result wrote = Run({"--sim-state", state, "-d", "NUV2", "shading", "set", file, "--yes"});
    ASSERT_EQ(wrote.status, 0) << wrote.err;
    EXPECT_NE(wrote.out.find("centre[0]:"), std::string::npos) << wrote.out;
    EXPECT_NE(wrote.out.find("wrote 1 set(s)"), std::string::npos) << wrote.out;
    const json back = Json(Run({"--sim-state", state, "-d", "NUV2", "shading", "get", "--mode", "1"}));
    EXPECT_EQ(back["shading"], sets["shading"]);
    EXPECT_EQ(back["shading"][1]["k0"][3].get<double>(), 1.0 / 3.0);
}

TEST_F(Nuvctl, CorrectionFilesThatCannotBeRightAreRefusedBeforeAnythingIsWritten) {
    const std::string state = (dir_ / "flash.json").string();
    const std::string file = (dir_ / "bad.json").string();
    std::ofstream(file) << R"({"defects":[{"camera_no":1,"mode":2,"entries":[[328,0]]}]})";
    const Result outside = Run({"--sim-state", state, "-d", "NUV2", "defects", "set", file, "--yes"});
    EXPECT_EQ(outside.status, 1);
    EXPECT_NE(outside.err.find("[328, 0] lies outside the 328x204 image"), std::string::npos) << outside.err;
    std::ofstream(file) << R"({"defects":[{"camera_no":3,"mode":0,"entries":[]}]})";
    EXPECT_NE(Run({"-d", "NUV2", "defects", "set", file, "--yes"}).err.find("camera_no must be 1 or 2"), std::string::npos);
    std::ofstream(file) << R"({"shading":[{"camera_no":1,"mode":0,"centre":[1,2],"k2":[0,0,0],"k1":[0,0,0,0],"k0":[1,1,1,1]}]})";
    EXPECT_NE(Run({"-d", "NUV2", "shading", "set", file, "--yes"}).err.find("\"k2\" must be 4 numbers"), std::string::npos);
    std::ofstream(file) << "{ not json";
    EXPECT_NE(Run({"-d", "NUV2", "shading", "set", file}).err.find("is not JSON"), std::string::npos);
    const Result missing = Run({"-d", "NUV2", "defects", "set", (dir_ / "none.json").string()});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("cannot read"), std::string::npos) << missing.err;
    const Result nuv = Run({"-d", "NUV", "defects", "get"});
    EXPECT_EQ(nuv.status, 1);
    EXPECT_NE(nuv.err.find("NUV2 cameras only"), std::string::npos) << nuv.err;
}

// ---- firmware ----

class NuvctlFirmware : public Nuvctl {
protected:
    std::string Image(std::size_t size) {
        const fs::path path = dir_ / "firmware.bin";
        std::string bytes(size, '\0');
        for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + 3) & 0xFF);
        std::ofstream(path, std::ios::binary) << bytes;
        return path.string();
    }
};

TEST_F(NuvctlFirmware, OffATerminalOneLinePerStateChange) {
    const std::string image = Image(56 * 360);  // whole chunks: the progress ends at 100 %
    const Result r = Run({"-d", "NUV2", "firmware", "write", image, "--yes"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    std::vector<std::string> lines;
    std::stringstream in(r.err);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    ASSERT_GE(lines.size(), 2u) << r.err;
    EXPECT_EQ(r.err.find('\r'), std::string::npos) << "no redrawing off a terminal";
    EXPECT_EQ(lines.back().rfind("firmware: done, ", 0), 0u) << r.err;
    std::set<std::string> states;
    for (const auto &line : lines) {
        const std::string state = line.substr(0, line.find(','));
        EXPECT_TRUE(states.insert(state).second) << "state repeated: " << r.err;
    }
}

TEST_F(NuvctlFirmware, OnATerminalAProgressBarRedrawnInPlace) {
    const std::string image = Image(56 * 360);  // whole chunks: the progress ends at 100 %
    const Result r = RunOnTerminal({"-d", "NUV2", "firmware", "write", image, "--yes"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("opening NUV2#1A2B3C02"), std::string::npos) << "the open is shown";
    EXPECT_NE(r.out.find("\r["), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("100.0 %  done"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("rewritten and verified"), std::string::npos) << r.out;
}

TEST_F(NuvctlFirmware, CtrlCWarnsAndKeepsWaitingForTheRewrite) {
    // The rewrite is held at its first chunk until the tool is interrupted,
    // so Ctrl-C always arrives while it runs.
    const std::string image = Image(56 * 30);
    const Result r =
        RunOnTerminal({"-d", "NUV2", "--sim-hold-rewrite", "firmware", "write", image, "--yes"}, "writing");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("cannot be cancelled safely; waiting for it to finish"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("rewritten and verified"), std::string::npos) << r.out;
}

TEST_F(NuvctlFirmware, RefusesWithoutYesAndNamesMissingImages) {
    const std::string image = Image(1000);
    const Result no = Run({"-d", "NUV2", "firmware", "write", image});
    EXPECT_EQ(no.status, 1);
    EXPECT_NE(no.err.find("add --yes"), std::string::npos) << no.err;
    const Result missing = Run({"-d", "NUV2", "firmware", "write", (dir_ / "none.bin").string(), "--yes"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("cannot read firmware image"), std::string::npos) << missing.err;
    EXPECT_NE(missing.err.find("No such file"), std::string::npos) << missing.err;
}

// ---- calibration ----

TEST_F(Nuvctl, CalibrationFlattensEveryModeAndCameraNumberAndFindsEveryPlantedDefect) {
    // A true fall-off that is not the stored one, off centre and different
    // per site, five hot pixels and read noise. Flatness is measured on 16
    // corrected frames averaged (sigma 2 per frame, 0.5 after averaging).
    const double defects[5][2] = {{0.1, 0.1}, {0.3, 0.7}, {0.52, 0.48}, {0.8, 0.2}, {0.93, 0.9}};
    std::vector<std::string> args = {"-d", "NUV2", "--sim-lens", "0.45,0.55,0.8,1.0,0.95,0.9,0.85", "--sim-noise", "2,9"};
    for (const auto &d : defects) {
        args.push_back("--sim-defect");
        args.push_back(std::to_string(d[0]) + "," + std::to_string(d[1]) + ",1023");
    }
    for (const char *a : {"calibrate", "--write", "--yes", "--json"}) args.push_back(a);
    const Result r = Run(args);
    ASSERT_EQ(r.status, 0) << r.err;
    const json results = Json(r)["results"];
    ASSERT_EQ(results.size(), 6u);
    std::set<std::pair<int, int>> sets;
    for (const auto &result : results) {
        const int w = result["width"];
        const int h = result["height"];
        const std::string name = "camera " + result["camera_no"].dump() + ", mode " + result["mode"].dump();
        sets.insert({result["camera_no"].get<int>(), result["mode"].get<int>()});
        EXPECT_GT(result["stored_corrections"]["spread"].get<double>(), 0.02) << name << ": the stored data is wrong";
        ASSERT_TRUE(result["written"].get<bool>()) << name;
        const double spread = result["verified"]["spread"];
        EXPECT_LT(spread, 0.005) << name;
        EXPECT_NEAR(result["verified"]["corner_centre"].get<double>(), 1.0, 0.01) << name;
        EXPECT_NEAR(result["centre"][0].get<double>(), 0.45 * w, 1.0) << name;
        EXPECT_NEAR(result["centre"][1].get<double>(), 0.55 * h, 1.0) << name;
        std::set<std::pair<int, int>> found;
        for (const auto &d : result["defects"]) found.insert({d["column"].get<int>(), d["row"].get<int>()});
        EXPECT_EQ(found.size(), 5u) << name << ": nothing but the planted defects";
        for (const auto &d : defects) {
            const std::pair<int, int> at{static_cast<int>(std::floor(d[0] * w)), static_cast<int>(std::floor(d[1] * h))};
            EXPECT_EQ(found.count(at), 1u) << name << ": defect at " << at.first << "," << at.second;
        }
    }
    EXPECT_EQ(sets.size(), 6u) << "both camera numbers, all three modes";
}

TEST_F(Nuvctl, CalibrationWithoutYesShowsTheFiguresAndWritesNothing) {
    const std::string state = (dir_ / "flash.json").string();
    const Result before = Run({"--sim-state", state, "-d", "NUV2", "shading", "get", "--mode", "2", "--camera-no", "1"});
    ASSERT_EQ(before.status, 0) << before.err;
    const Result r = Run({"--sim-state", state, "-d", "NUV2", "--sim-lens", "0.5,0.5,1.0", "calibrate", "--mode", "2",
                          "--camera-no", "1", "--frames", "4", "--write"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("camera 1, mode 2 (328x204)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("with the fit (computed)"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("not written: add --yes"), std::string::npos) << r.err;
    const Result after = Run({"--sim-state", state, "-d", "NUV2", "shading", "get", "--mode", "2", "--camera-no", "1"});
    EXPECT_EQ(after.out, before.out);
    const Result nuv = Run({"-d", "NUV", "calibrate"});
    EXPECT_EQ(nuv.status, 1);
    EXPECT_NE(nuv.err.find("NUV2 cameras alone"), std::string::npos) << nuv.err;
}

// ---- sessions ----

std::vector<json> JsonLines(const std::string &text) {
    std::vector<json> lines;
    std::stringstream in(text);
    for (std::string line; std::getline(in, line);) {
        try {
            lines.push_back(json::parse(line));
        } catch (const std::exception &e) {
            ADD_FAILURE() << "not a JSON line: " << line;
        }
    }
    return lines;
}

std::size_t Count(const std::string &text, const std::string &what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

TEST_F(Nuvctl, AShellRunsEveryCommandOnOneOpenCameraInOneWorld) {
    const fs::path script = dir_ / "steps.txt";
    std::ofstream(script) << "# gain, then read it back: the same world and camera\n"
                             "set gain=100 led=7\n"
                             "\n"
                             "get gain led\n"
                             "nuvctl get exposure\n"
                             "capture -o " << (dir_ / "a.png").string() << "\n"
                          << "defects get --mode 2 --camera-no 1 -o " << (dir_ / "d.json").string() << "\n";
    // On a terminal every open shows itself: one for all five commands.
    const Result r = RunOnTerminal({"-d", "NUV2", "shell", script.string()});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(Count(r.out, " ... done ("), 1u) << r.out;
    EXPECT_NE(r.out.find("gain=100\r\nled=7\r\ngain=100\r\nled=7\r\nexposure=-6"), std::string::npos) << r.out;
    EXPECT_EQ(ReadPng(dir_ / "a.png").width, 1280);
    EXPECT_TRUE(fs::exists(dir_ / "d.json"));
    // Other stream options open the camera again, as asked.
    std::ofstream(script) << "set gain=5\ncapture --size 328x204 -o " << (dir_ / "b.png").string() << "\nget gain\n";
    const Result again = RunOnTerminal({"-d", "NUV2", "shell", script.string()});
    ASSERT_EQ(again.status, 0) << again.out;
    EXPECT_EQ(Count(again.out, " ... done ("), 2u) << again.out;
    EXPECT_EQ(ReadPng(dir_ / "b.png").width, 328);
    EXPECT_NE(again.out.find("gain=5"), std::string::npos) << "the world stays: " << again.out;
}

TEST_F(Nuvctl, AShellReadsStandardInputGivesJsonLinesAndFailsWhenAnyCommandFailed) {
    const std::string commands = "set gain=100\n"
                                 "get gain color_bar digital_gain serial_no\n"
                                 "set gain=300\n"
                                 "frobnicate\n"
                                 "--json list\n"
                                 "get shading_correction\n";
    const Result r = Run({"-d", "NUV2", "--json", "shell"}, commands);
    EXPECT_EQ(r.status, 1) << "two commands failed";
    const std::vector<json> lines = JsonLines(r.out);
    ASSERT_EQ(lines.size(), 6u) << r.out;
    for (const json &line : lines) EXPECT_TRUE(line.is_object()) << line;
    EXPECT_EQ(lines[0]["command"], "set gain=100");
    EXPECT_EQ(lines[0]["ok"], true);
    EXPECT_EQ(lines[0]["result"]["gain"], 100);
    EXPECT_EQ(lines[1]["result"], json::parse(R"({"gain":100,"color_bar":false,"digital_gain":[256,256,256,256],
                                                  "serial_no":"1A2B3C02"})"));
    EXPECT_EQ(lines[2]["ok"], false);
    EXPECT_NE(lines[2]["error"].get<std::string>().find("gain=300 is outside 0..240"), std::string::npos);
    EXPECT_EQ(lines[3]["ok"], false);
    EXPECT_EQ(lines[4]["result"][1]["serial"], "1A2B3C02");
    EXPECT_EQ(lines[5]["result"]["shading_correction"], true);
    EXPECT_NE(r.err.find("stdin:3: refused: gain=300"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("stdin:4: "), std::string::npos) << r.err;
    // All well: exit status 0; text output without --json.
    const Result ok = Run({"-d", "NUV2", "shell"}, "set led=3\nget led\nexit\nget gain\n");
    EXPECT_EQ(ok.status, 0) << ok.err;
    EXPECT_EQ(ok.out, "led=3\nled=3\n");
}

TEST_F(Nuvctl, AShellTypedAtTheTerminalPromptsForEachCommand) {
    const Result r = RunOnTerminal({"-d", "NUV2", "shell"}, "", {"set gain=42", "get gain", "quit"}, "nuvctl> ");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(Count(r.out, "nuvctl> "), 3u) << r.out;
    EXPECT_NE(r.out.find("gain=42\r\n"), std::string::npos) << r.out;
    const Result refused = Run({"-d", "NUV2", "shell", (dir_ / "none.txt").string()});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("cannot read the commands of"), std::string::npos) << refused.err;
    const Result simInLine = Run({"shell"}, "--virtual-clock list\n");
    EXPECT_EQ(simInLine.status, 1);
    EXPECT_NE(simInLine.err.find("--virtual-clock"), std::string::npos) << simInLine.err;
}

// ---- what is offered, and usage errors ----

TEST_F(Nuvctl, StreamOptionsTheDeviceDoesNotOfferAreNamedWithWhatItOffers) {
    const std::string offer = "it offers 1280x720, 656x408, 328x204 at 30 or 60 fps, YUY2";
    const Result size = Run({"-d", "NUV2", "--size", "640x480", "capture", "-o", (dir_ / "x.png").string()});
    EXPECT_EQ(size.status, 1);
    EXPECT_NE(size.err.find("640x480 is not offered by NUV2; " + offer), std::string::npos) << size.err;
    const Result rate = Run({"-d", "NUV2", "--fps", "120", "info"});
    EXPECT_EQ(rate.status, 1);
    EXPECT_NE(rate.err.find("120 fps at 1280x720 in YUY2 is not offered by NUV2; it offers up to 60 fps at that size"),
              std::string::npos)
        << rate.err;
    const Result format = Run({"-d", "NUV", "--format", "MJPG", "get", "gain"});
    EXPECT_EQ(format.status, 1);
    EXPECT_NE(format.err.find("format MJPG is not offered by NUV; " + offer), std::string::npos) << format.err;
    EXPECT_EQ(Run({"-d", "NUV2", "--fps", "45", "--size", "656x408", "get", "gain"}).status, 0)
        << "a rate up to the fastest offered";
}

TEST_F(Nuvctl, UsageErrorsExitWith2AndFailuresWith1) {
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {"frobnicate"},
             {"-d", "NUV2", "capture"},
             {"-d", "NUV2", "get"},
             {"-d", "NUV2", "defects", "get", "--camera-no", "3"},
             {"-d", "NUV2", "capture", "-n", "many", "-o", "x.png"},
             {"--size", "huge", "info"},
             {"-d", "0", "-d", "1", "info"},
             {"-d", "NUV2", "set", "gain"},
             {"--fps", "-5", "info"},
         }) {
        const Result r = Run(args);
        std::string shown;
        for (const auto &a : args) shown += a + " ";
        EXPECT_EQ(r.status, 2) << shown << r.err;
        EXPECT_FALSE(r.err.empty()) << shown;
    }
    EXPECT_EQ(Run({"--help"}).status, 0);
    EXPECT_EQ(Run({"-d", "NUV2", "set", "gain=241"}).status, 1);
}

// ---- capture outputs ----

TEST_F(Nuvctl, CaptureRefusesExtensionsItCannotWriteAndWritesToStandardOutput) {
    const Result jpg = Run({"-d", "NUV2", "capture", "-o", (dir_ / "x.jpg").string()});
    EXPECT_EQ(jpg.status, 2);
    EXPECT_NE(jpg.err.find("nuvctl writes 16-bit PNG (.png) or raw frames with a JSON sidecar (.raw, .bin, or "
                           "--raw); .jpg is neither"),
              std::string::npos)
        << jpg.err;
    EXPECT_FALSE(fs::exists(dir_ / "x.jpg"));
    EXPECT_EQ(Run({"-d", "NUV2", "capture", "-o", (dir_ / "frame").string()}).status, 2);
    EXPECT_EQ(Run({"-d", "NUV2", "capture", "--raw", "-o", (dir_ / "x.png").string()}).status, 2);
    EXPECT_EQ(Run({"-d", "NUV2", "--json", "capture", "-o", "-"}).status, 2);
    // .raw without --raw is raw as well.
    ASSERT_EQ(Run({"-d", "NUV2", "--size", "328x204", "capture", "-o", (dir_ / "y.raw").string()}).status, 0);
    EXPECT_EQ(fs::file_size(dir_ / "y.raw"), 328u * 204u * 2u);
    EXPECT_TRUE(fs::exists(dir_ / "y.raw.json"));
    // A pipe: the PNG itself, or the raw words, on standard output.
    const Result png = Run({"-d", "NUV2", "--sim-scene", "300", "--size", "328x204", "capture", "--no-correct", "-o", "-"});
    ASSERT_EQ(png.status, 0) << png.err;
    std::ofstream(dir_ / "piped.png", std::ios::binary) << png.out;
    const Png read = ReadPng(dir_ / "piped.png");
    ASSERT_EQ(read.width, 328);
    EXPECT_EQ(read.sbitGray, 10);
    EXPECT_EQ(read.samples[1000] >> 6, 300);
    const Result raw = Run({"-d", "NUV2", "--sim-scene", "300", "--size", "328x204", "capture", "--no-correct",
                            "--raw", "-o", "-"});
    ASSERT_EQ(raw.status, 0) << raw.err;
    ASSERT_EQ(raw.out.size(), 328u * 204u * 2u);
    EXPECT_EQ(static_cast<unsigned char>(raw.out[2000]) | (static_cast<unsigned char>(raw.out[2001]) << 8), 300);
    const Result webcam = Run({"--sim-camera", "Webcam:00000001", "-d", "Webcam", "capture", "-o", (dir_ / "w.png").string()});
    EXPECT_NE(webcam.status, 0);
}

TEST_F(Nuvctl, TheFrameCounterSitsInTheFirstFourWordsAsDarkPixels) {
    const Result r = Run({"-d", "NUV2", "--sim-scene", "700", "--size", "328x204", "capture", "--no-correct", "-n", "3",
                          "-o", (dir_ / "f-%d.png").string()});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::uint64_t> counters;
    for (int i = 0; i < 3; ++i) {
        const Png png = ReadPng(dir_ / ("f-" + std::to_string(i) + ".png"));
        ASSERT_EQ(png.samples.size(), 328u * 204u);
        std::uint64_t counter = 0;
        for (int w = 3; w >= 0; --w) {
            const unsigned v = png.samples[static_cast<std::size_t>(w)] >> 6;
            EXPECT_LT(v, 256u) << "8 bits per word: dark";
            counter = (counter << 8) | v;
        }
        counters.push_back(counter);
        EXPECT_EQ(png.samples[4] >> 6, 700) << "the scene right after them";
    }
    EXPECT_LT(counters[0], counters[1]);
    EXPECT_LT(counters[1], counters[2]);
}

// ---- typed JSON ----

TEST_F(Nuvctl, JsonValuesAreTyped) {
    const json got = Json(Run({"-d", "NUV2", "--json", "get", "gain", "exposure", "color_bar", "shading_correction",
                               "digital_gain", "shutter", "serial_no", "temperature1"}));
    EXPECT_EQ(got, json::parse(R"({"gain":0,"exposure":-6,"color_bar":false,"shading_correction":true,
        "digital_gain":[256,256,256,256],"shutter":1000,"serial_no":"1A2B3C02","temperature1":41})"));
    const json set = Json(Run({"-d", "NUV2", "--json", "set", "gain=7", "color_bar=1", "digital_gain=1,2,3,4",
                               "register.0x10=0x5A"}));
    EXPECT_EQ(set, json::parse(R"({"gain":7,"color_bar":true,"digital_gain":[1,2,3,4],"register.0x10":90})"));
    const Result ctrls = Run({"-d", "NUV", "--json", "ctrls"});
    for (const auto &c : Json(ctrls)) {
        if (c["access"] == "w") {
            EXPECT_TRUE(c["value"].is_null()) << c;
        } else {
            EXPECT_FALSE(c["value"].is_string() && c["name"] != "serial_no") << c;
        }
    }
}

TEST_F(NuvctlFirmware, JsonProgressComesAsLinesAndShowsAtMost100Percent) {
    // 100 bytes are two chunks of 56: the library's own value ends the write
    // phase at 56 and the verify phase at 106.
    const std::string image = Image(100);
    const Result r = Run({"-d", "NUV2", "--json", "firmware", "write", image, "--yes"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<json> lines = JsonLines(r.out);
    ASSERT_GE(lines.size(), 2u) << r.out;
    for (const json &line : lines) {
        EXPECT_LE(line["percent"].get<double>(), 100.0) << line;
        if (line["state"] == "writing") {
            EXPECT_LE(line["percent"].get<double>(), 50.0) << line;
        }
    }
    EXPECT_EQ(lines.back()["state"], "done");
    EXPECT_EQ(lines.back()["percent"], 100.0);
    EXPECT_NEAR(lines.back()["library_percent"].get<double>(), 106.0, 1e-3);
    const Result terminal = RunOnTerminal({"-d", "NUV2", "firmware", "write", image, "--yes"});
    ASSERT_EQ(terminal.status, 0) << terminal.out;
    EXPECT_NE(terminal.out.find("100.0 %  done"), std::string::npos) << terminal.out;
    EXPECT_EQ(terminal.out.find("106"), std::string::npos) << terminal.out;
    const Result lines2 = Run({"-d", "NUV2", "firmware", "write", image, "--yes"});
    EXPECT_NE(lines2.err.find("firmware: done, 100.0 %"), std::string::npos) << lines2.err;
}

TEST_F(NuvctlFirmware, DirectoriesAndImagesTooLargeForTheFlashAreNamedWithTheLimit) {
    const Result dir = Run({"-d", "NUV2", "firmware", "write", dir_.string(), "--yes"});
    EXPECT_EQ(dir.status, 1);
    EXPECT_NE(dir.err.find("is a directory, not an image file"), std::string::npos) << dir.err;
    const std::string large = Image(0x70000);
    const Result big = Run({"-d", "NUV2", "firmware", "write", large, "--yes"});
    EXPECT_EQ(big.status, 1);
    EXPECT_NE(big.err.find("is 458752 bytes, too large for the camera: it takes at most 458751 bytes"),
              std::string::npos)
        << big.err;
    const std::string largest = Image(0x70000 - 1);
    EXPECT_EQ(Run({"-d", "NUV2", "firmware", "write", largest}).err.find("too large"), std::string::npos)
        << "the largest image passes the check (and stops only for --yes)";
}

}  // namespace
