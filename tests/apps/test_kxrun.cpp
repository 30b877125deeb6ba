// kxrun as a user runs it: the command line, the images it writes, the examples, and the dump
// of the light map's footprints.
#include "kxTestSupport.h"

#include <ku/kuImageFactory.h>

#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

const double DEG2RAD = 3.14159265358979323846 / 180.0;

// ---- running kxrun ----

struct Result {
    int status = -1;
    std::string out, err;
};

std::string quote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::string readFile(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// Runs kxrun with args (after environment settings env, "NAME=value ...") in a scratch folder
// that receives its stdout and stderr.
Result runKxrun(const kxTempDir& dir, const std::vector<std::string>& args,
                const std::string& env = "") {
    std::string command = env + " " + quote(KXRUN_PATH);
    for (const std::string& arg : args)
        command += " " + quote(arg);
    command += " >" + quote(dir.file("stdout.txt")) + " 2>" + quote(dir.file("stderr.txt"));
    Result result;
    const int status = std::system(command.c_str());
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = readFile(dir.file("stdout.txt"));
    result.err = readFile(dir.file("stderr.txt"));
    return result;
}

std::string example(const char* name) {
    return std::string(KX_EXAMPLES_DIR) + "/" + name;
}

// Exit status 2 means the machine cannot make a GL context: nothing to check then. Otherwise
// the run must succeed.
#define ASSERT_RAN(result)                                                                         \
    if ((result).status == 2)                                                                      \
        GTEST_SKIP() << (result).err;                                                              \
    ASSERT_EQ((result).status, 0) << (result).err

// ---- the dump: one JSON object per line ----

const char* const NUMBER = "(-?[0-9]+(?:\\.[0-9]+)?(?:[eE][-+]?[0-9]+)?)";

std::vector<std::string> readDump(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line)) {
        EXPECT_TRUE(line.rfind("{\"frame\":", 0) == 0 && line.back() == '}') << line;
        lines.push_back(line);
    }
    return lines;
}

// The line of a frame for a lobe (key "name") or a channel (key "channel"), or null.
const std::string* findLine(const std::vector<std::string>& lines, int frame, const char* key,
                            const std::string& name) {
    const std::string head =
        "{\"frame\":" + std::to_string(frame) + ",\"" + key + "\":\"" + name + "\",";
    for (const std::string& line : lines)
        if (line.rfind(head, 0) == 0)
            return &line;
    return nullptr;
}

// All numbers of a pattern's matches, NUMBER groups in order.
std::vector<double> numbers(const std::string& text, const std::string& pattern) {
    std::vector<double> values;
    const std::regex re(pattern);
    for (std::sregex_iterator it(text.begin(), text.end(), re), end; it != end; ++it)
        for (std::size_t g = 1; g < it->size(); ++g)
            values.push_back(std::stod((*it)[g]));
    return values;
}

struct Footprint {
    bool hit = false;
    std::vector<std::array<double, 3>> vertices;
    std::vector<double> brightness;
};

// Reads a lobe line, checking its shape: a hit flag, 16 points of 3 numbers, 16 numbers.
Footprint readFootprint(const std::string& line) {
    Footprint footprint;
    std::smatch parts;
    const bool matched = std::regex_match(
        line, parts,
        std::regex(".*\"hit\":(true|false),\"vertices\":\\[(.*)\\],\"brightness\":\\[(.*)\\]\\}"));
    EXPECT_TRUE(matched) << line;
    if (!matched)
        return footprint;
    footprint.hit = parts[1] == "true";
    const std::string n(NUMBER);
    const std::vector<double> coords = numbers(parts[2], "\\[" + n + "," + n + "," + n + "\\]");
    for (std::size_t k = 0; k + 2 < coords.size(); k += 3)
        footprint.vertices.push_back({coords[k], coords[k + 1], coords[k + 2]});
    footprint.brightness = numbers(parts[3], "(?:^|,)" + n + "(?=,|$)");
    EXPECT_EQ(footprint.vertices.size(), 16u) << line;
    EXPECT_EQ(footprint.brightness.size(), 16u) << line;
    return footprint;
}

// The brightest grey of an image, as a quick test that something is lit.
int brightestGrey(const kuImage* image) {
    int best = 0;
    for (int y = 0; y < image->getHeight(); ++y)
        for (int x = 0; x < image->getWidth(); ++x) {
            const unsigned char* p = image->getPixel(x, y);
            best = std::max(best, (p[0] + p[1] + p[2]) / 3);
        }
    return best;
}

// ---- tests ----

TEST(KxrunTest, CommandLineIsCheckedBeforeAnythingRuns) {
    kxTempDir dir;
    const std::string notXml = dir.file("scene.xml");
    std::ofstream(notXml) << "<scene/>\n";
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* message; // in stdout for --help, in stderr otherwise
    };
    const Case cases[] = {
        {{"--help"}, 0, "usage: kxrun [CONFIG.xml]"},
        {{"--bogus"}, 1, "kxrun: unknown option --bogus"},
        {{"--frames", "0"}, 1, "kxrun: --frames: \"0\" is not a positive number of frames"},
        {{"--frames=12x"}, 1, "kxrun: --frames: \"12x\" is not a positive number of frames"},
        {{"--frames"}, 1, "kxrun: --frames needs a value"},
        {{"--every", "-2"}, 1, "kxrun: --every: \"-2\" is not a positive number of frames"},
        {{"--size", "320"}, 1, "kxrun: --size: \"320\" is not a size"},
        {{"--size", "0x240"}, 1, "kxrun: --size: \"0x240\" is not a size"},
        {{"--threading", "parallel"}, 1, "kxrun: --threading: \"parallel\" is not serial or"},
        {{"--notify", "loud"}, 1, "kxrun: --notify: \"loud\" is not a level"},
        {{"--stats=yes"}, 1, "kxrun: --stats takes no value"},
        {{"a.xml", "b.xml"}, 1, "kxrun: more than one configuration file (a.xml, b.xml)"},
        {{dir.file("missing.xml"), "--out", dir.file("out")}, 1, "missing.xml: cannot open"},
        {{notXml, "--out", dir.file("out")}, 1, "the root element is <scene>, not <kestrix>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : ""));
        const Result result = runKxrun(dir, c.args);
        EXPECT_EQ(result.status, c.status) << result.err;
        const std::string& text = c.status == 0 ? result.out : result.err;
        EXPECT_NE(text.find(c.message), std::string::npos) << text;
        if (c.status != 0) {
            // The reason is kxrun's last line, whatever the runtime printed before it.
            const std::size_t last = result.err.rfind("kxrun: ");
            ASSERT_NE(last, std::string::npos);
            EXPECT_EQ(result.err.find('\n', last), result.err.size() - 1) << result.err;
        }
    }
}

TEST(KxrunTest, WithoutAnOpenGLDriverItSaysSoAndExitsWith2) {
    kxTempDir dir;
    // The GL dispatch library finds no driver when its vendor list names nothing.
    const Result result = runKxrun(dir, {"--frames", "2", "--out", dir.file("out")},
                                   "__EGL_VENDOR_LIBRARY_FILENAMES=" + dir.file("none.json"));
    if (result.status == 0)
        GTEST_SKIP() << "the GL library found a driver anyway";
    EXPECT_EQ(result.status, 2) << result.err;
    EXPECT_NE(result.err.find("kxrun: no OpenGL context: "), std::string::npos) << result.err;
    EXPECT_FALSE(std::filesystem::exists(dir.file("out") + "/window_f2.png"));
}

TEST(KxrunTest, DefaultSceneWritesTheFramesAsked) {
    kxTempDir dir;
    struct Case {
        std::vector<std::string> args;
        std::vector<int> written, notWritten;
    };
    const Case cases[] = {
        {{"--frames", "3"}, {3}, {1, 2}},
        {{"--frames", "5", "--every", "2"}, {2, 4}, {1, 3, 5}},
    };
    for (const Case& c : cases) {
        const std::string out = dir.file("out" + std::to_string(c.written.back()));
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"--size", "320x240", "--out", out});
        const Result result = runKxrun(dir, args);
        ASSERT_RAN(result);
        for (int frame : c.written) {
            const std::string file = out + "/window_f" + std::to_string(frame) + ".png";
            kuRef<kuImage> image = kuImageFactory::read(file.c_str());
            ASSERT_NE(image, nullptr) << file;
            EXPECT_EQ(image->getWidth(), 320);
            EXPECT_EQ(image->getHeight(), 240);
        }
        for (int frame : c.notWritten)
            EXPECT_FALSE(
                std::filesystem::exists(out + "/window_f" + std::to_string(frame) + ".png"))
                << frame;
    }
    // By frame 3 the headlights have found the ground: a lit patch on a dark night.
    kuRef<kuImage> last = kuImageFactory::read((dir.file("out3") + "/window_f3.png").c_str());
    ASSERT_NE(last, nullptr);
    EXPECT_GT(brightestGrey(last.get()), 100);
}

TEST(KxrunTest, PipelinedGivesTheSerialImageAndStatisticsAreSummarised) {
    kxTempDir dir;
    kuRef<kuImage> images[2];
    const char* modes[2] = {"serial", "pipelined"};
    for (int m = 0; m < 2; ++m) {
        const std::string out = dir.file(modes[m]);
        const Result result =
            runKxrun(dir, {example("one_lobe.xml"), "--frames", "3", "--size", "320x240", "--out",
                           out, "--threading", modes[m], "--stats"});
        ASSERT_RAN(result);
        EXPECT_NE(result.err.find("kxrun: 3 frames in"), std::string::npos) << result.err;
        for (const char* line :
             {"STATISTIC_UPDATE_TIME: count 3", "STATISTIC_BUILD_MAP_TIME: count 3"})
            EXPECT_NE(result.out.find(line), std::string::npos) << result.out;
        images[m] = kuImageFactory::read((out + "/window_f3.png").c_str());
        ASSERT_NE(images[m], nullptr);
    }
    // A static scene: both modes draw the same frame 3.
    ASSERT_EQ(images[0]->getDataSize(), images[1]->getDataSize());
    int differing = 0;
    for (std::size_t i = 0; i < images[0]->getDataSize(); ++i)
        differing += std::abs(images[0]->getData()[i] - images[1]->getData()[i]) > 2;
    EXPECT_EQ(differing, 0);
    EXPECT_GT(brightestGrey(images[1].get()), 60); // the lit footprint, on a dark night
}

// Every example, and the embedded scene, runs without problems and draws the same pictures
// in both threading modes.
TEST(KxrunTest, EveryExampleRunsWithoutProblemsAlikeInBothModes) {
    struct Case {
        const char* file; // null: the embedded night scene
        int width, height;
    };
    const Case cases[] = {
        {nullptr, 640, 480},           {"night_drive.xml", 640, 480},
        {"one_lobe.xml", 640, 480},    {"two_channels.xml", 800, 400},
        {"static_lobe.xml", 640, 480},
    };
    kxTempDir dir;
    for (const Case& c : cases) {
        const std::string name = c.file ? c.file : "embedded";
        SCOPED_TRACE(name);
        kuRef<kuImage> images[2];
        for (const char* mode : {"serial", "pipelined"}) {
            const std::string out = dir.file(name + "." + mode);
            std::vector<std::string> args = {"--frames", "3", "--out", out, "--threading", mode};
            if (c.file)
                args.insert(args.begin(), example(c.file));
            const Result result = runKxrun(dir, args);
            ASSERT_RAN(result);
            // Problems inside a file do not stop a run; an example must have none.
            EXPECT_EQ(result.err.find("problem"), std::string::npos) << result.err;
            kuRef<kuImage>& image = images[mode[0] == 'p'];
            image = kuImageFactory::read((out + "/window_f3.png").c_str());
            ASSERT_NE(image, nullptr);
            EXPECT_EQ(image->getWidth(), c.width);
            EXPECT_EQ(image->getHeight(), c.height);
            EXPECT_GT(brightestGrey(image.get()), 60) << "a lobe lights something";
        }
        ASSERT_EQ(images[0]->getDataSize(), images[1]->getDataSize());
        int differing = 0;
        for (std::size_t i = 0; i < images[0]->getDataSize(); ++i)
            differing += std::abs(images[0]->getData()[i] - images[1]->getData()[i]) > 2;
        EXPECT_EQ(differing, 0) << "serial and pipelined pictures differ";
    }
}

// The lamp of one_lobe.xml hangs 100 m over flat ground at z = 0, pointing straight down with
// a 30 degree spread: its footprint is a square grid centred under it.
TEST(KxrunTest, DumpGivesTheFootprintUnderALampPointingDown) {
    const double height = 100, spread = 30, fadeRange = 1000; // as in the file
    kxTempDir dir;
    const std::string dump = dir.file("dump.json");
    const Result result = runKxrun(
        dir, {example("one_lobe.xml"), "--frames", "3", "--out", dir.file("out"), "--dump", dump});
    ASSERT_RAN(result);
    const std::vector<std::string> lines = readDump(dump);
    // One lobe and one channel per frame.
    EXPECT_EQ(lines.size(), 6u);
    const std::string* lamp = findLine(lines, 3, "name", "lamp");
    ASSERT_NE(lamp, nullptr);
    const Footprint footprint = readFootprint(*lamp);
    ASSERT_TRUE(footprint.hit);
    ASSERT_EQ(footprint.vertices.size(), 16u);

    // Vertex k lies on the ray through (column, row) of a 4 x 4 grid spanning the cone.
    const double half = height * std::tan(spread / 2 * DEG2RAD);
    double centreBrightness = 0, cornerBrightness = 1;
    for (int k = 0; k < 16; ++k) {
        SCOPED_TRACE(k);
        const std::array<double, 3>& v = footprint.vertices[k];
        const double across = std::hypot(v[0], v[1]);
        EXPECT_NEAR(v[2], 0, 1e-3) << "on the ground";
        const bool centre = (k % 4 == 1 || k % 4 == 2) && (k / 4 == 1 || k / 4 == 2);
        const bool corner = (k % 4 == 0 || k % 4 == 3) && (k / 4 == 0 || k / 4 == 3);
        if (centre) {
            EXPECT_LT(across, half);
            EXPECT_NEAR(across, half / 3 * std::sqrt(2.0), 0.05);
            centreBrightness = std::max(centreBrightness, footprint.brightness[k]);
        }
        if (corner) {
            EXPECT_NEAR(across, half * std::sqrt(2.0), 0.05);
            cornerBrightness = std::min(cornerBrightness, footprint.brightness[k]);
        }
        // Brightness fades with the square of the distance's share of the fade range.
        const double distance = std::hypot(across, height - v[2]);
        const double fade = 1 - distance / fadeRange;
        EXPECT_NEAR(footprint.brightness[k], fade * fade, 1e-4);
    }
    EXPECT_GT(cornerBrightness, 0);
    EXPECT_GT(centreBrightness, cornerBrightness);

    const std::string* channel = findLine(lines, 3, "channel", "channel");
    ASSERT_NE(channel, nullptr);
    const std::vector<double> intensity = numbers(*channel, std::string("\"intensity\":") + NUMBER);
    ASSERT_EQ(intensity.size(), 1u) << *channel;
    EXPECT_GE(intensity[0], 0);
    EXPECT_LE(intensity[0], 1);
}

// night_drive.xml writes the embedded scene out as a file: both light the same ground.
TEST(KxrunTest, NightDriveFileDescribesTheEmbeddedScene) {
    kxTempDir dir;
    std::vector<std::string> dumps[2];
    for (int i = 0; i < 2; ++i) {
        const std::string dump = dir.file("dump" + std::to_string(i) + ".json");
        std::vector<std::string> args = {"--frames",      "3",      "--size", "320x240", "--out",
                                         dir.file("out"), "--dump", dump};
        if (i == 1)
            args.insert(args.begin(), example("night_drive.xml"));
        const Result result = runKxrun(dir, args);
        ASSERT_RAN(result);
        dumps[i] = readDump(dump);
    }
    for (const char* name : {"headlight_left", "headlight_right", "searchlight"}) {
        SCOPED_TRACE(name);
        const std::string* embedded = findLine(dumps[0], 3, "name", name);
        const std::string* file = findLine(dumps[1], 3, "name", name);
        ASSERT_TRUE(embedded && file);
        const Footprint a = readFootprint(*embedded), b = readFootprint(*file);
        ASSERT_TRUE(a.hit);
        ASSERT_TRUE(b.hit);
        ASSERT_EQ(a.vertices.size(), b.vertices.size());
        // Lit vertices agree to within the file's rounding of the road's heights.
        for (std::size_t k = 0; k < a.vertices.size(); ++k) {
            if (a.brightness[k] <= 0.01)
                continue;
            for (int axis = 0; axis < 3; ++axis)
                EXPECT_NEAR(a.vertices[k][axis], b.vertices[k][axis], 0.5) << k;
            EXPECT_NEAR(a.brightness[k], b.brightness[k], 0.01) << k;
        }
    }
}

} // namespace
