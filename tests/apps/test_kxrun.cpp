// kxrun as a user runs it: the command line, the images it writes, the examples, and the dump
// of the light map's footprints.
#include "kxTestSupport.h"

#include <ku/kuImageFactory.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

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

// ---- configuration files ----

// A scene of flat ground seen from above, with one small window per entry of windowNames
// (text put into the name attribute as it is: escape it for XML), each with a channel of its
// own; extra goes inside <kestrix> as it is.
std::string windowsConfig(const std::vector<std::string>& windowNames,
                          const std::string& extra = "") {
    std::string xml = "<kestrix>\n";
    std::string channels;
    for (std::size_t w = 0; w < windowNames.size(); ++w) {
        const std::string channel = "c" + std::to_string(w);
        xml += "<Window name=\"" + windowNames[w] +
               "\"><setSize width=\"32\" height=\"24\"/><addChannel>" + channel +
               "</addChannel></Window>\n<Channel name=\"" + channel + "\"/>\n";
        channels += "<addChannel>" + channel + "</addChannel>";
    }
    xml += "<Observer name=\"eye\"><setScene>scene</setScene>" + channels +
           "<setPosition x=\"0\" y=\"0\" z=\"300\"/><setOrientation h=\"0\" p=\"-90\" "
           "r=\"0\"/></Observer>\n<Scene name=\"scene\"><addChild>ground</addChild></Scene>\n"
           "<Plane name=\"ground\"><setSize width=\"500\" length=\"500\"/></Plane>\n" +
           extra + "</kestrix>\n";
    return xml;
}

std::string writeConfig(const kxTempDir& dir, const std::string& name, const std::string& text) {
    const std::string file = dir.file(name);
    std::ofstream(file, std::ios::binary) << text;
    return file;
}

// The names of the files in a folder (none when it does not exist).
std::set<std::string> filesIn(const std::string& folder) {
    std::set<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec))
        names.insert(entry.path().filename().string());
    return names;
}

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
        int lit; // the brightest grey is above this
    };
    // Projected lobes add the average of the lobes a fragment's program holds: each of the
    // three searchlights gives at most a third.
    const Case cases[] = {
        {nullptr, 640, 480, 60},           {"night_drive.xml", 640, 480, 60},
        {"one_lobe.xml", 640, 480, 60},    {"two_channels.xml", 800, 400, 60},
        {"static_lobe.xml", 640, 480, 60}, {"searchlights.xml", 640, 480, 30},
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
            EXPECT_GT(brightestGrey(image.get()), c.lit) << "a lobe lights something";
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

// The projected lobes of searchlights.xml publish each frame what their draw events load: the
// fade range and brightness, the colour (lifted by the brightness only where every component
// has headroom) and the projection matrix.
TEST(KxrunTest, DumpGivesWhatProjectedLobesPublish) {
    kxTempDir dir;
    const std::string dump = dir.file("dump.json");
    const Result result = runKxrun(dir, {example("searchlights.xml"), "--frames", "2", "--out",
                                         dir.file("out"), "--dump", dump, "--size", "64x48"});
    ASSERT_RAN(result);
    const std::vector<std::string> lines = readDump(dump);
    struct Case {
        const char* name;
        std::vector<double> params, color;
    };
    const Case cases[] = {{"west_light", {600, 1, 1, 1}, {1, 1, 1, 1}},
                          {"east_light", {500, 0.9, 1, 1}, {1, 0.6, 0.2, 1}},
                          {"roof_lamp", {200, 0.8, 1, 1}, {0.6, 0.75, 1, 1}}};
    const std::string n(NUMBER);
    const std::string four = "\\[" + n + "," + n + "," + n + "," + n + "\\]";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string* line = findLine(lines, 2, "projected", c.name);
        ASSERT_NE(line, nullptr);
        EXPECT_NE(line->find("\"enable\":true"), std::string::npos) << *line;
        const std::vector<double> params = numbers(*line, "\"lightParams\":" + four);
        const std::vector<double> color = numbers(*line, "\"lightColor\":" + four);
        ASSERT_EQ(params.size(), 4u) << *line;
        ASSERT_EQ(color.size(), 4u) << *line;
        for (int i = 0; i < 4; ++i) {
            EXPECT_NEAR(params[i], c.params[i], 1e-5);
            EXPECT_NEAR(color[i], c.color[i], 1e-5);
        }
        std::smatch parts;
        ASSERT_TRUE(std::regex_search(*line, parts, std::regex("\"projection\":\\[([^\\]]*)\\]")))
            << *line;
        EXPECT_EQ(numbers(parts[1], "(?:^|,)" + n + "(?=,|$)").size(), 16u);
    }
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

// A window's name is never a path: whatever it holds, its images land in --out, one file per
// window, and the summary counts the files.
TEST(KxrunTest, WindowNamesBecomeSafeFileNamesInsideTheOutputFolder) {
    kxTempDir dir;
    const std::string absolute = "/tmp/kxrun-test-escape";
    struct Case {
        std::vector<std::string> names;   // as XML attribute text
        std::set<std::string> files;      // in --out
        std::vector<std::string> outside; // where an escaping name would have written
        const char* message;
    };
    const Case cases[] = {
        {{".."}, {"___f1.png"}, {}, "window 0 \"..\" is written as __"},
        {{"../../escaped"}, {"______escaped_f1.png"}, {dir.file("escaped_f1.png")}, nullptr},
        {{absolute}, {"_tmp_kxrun-test-escape_f1.png"}, {absolute + "_f1.png"}, nullptr},
        {{"/"}, {"__f1.png"}, {"/_f1.png"}, nullptr},
        {{"tab&#9;and&#1;bell"}, {"tab_and_bell_f1.png"}, {}, "\"tab\\x09and\\x01bell\""},
        {{""}, {"window0_f1.png"}, {}, nullptr},
        {{"window1", ""}, {"window1_f1.png", "window1-2_f1.png"}, {}, "(window1 is taken)"},
        {{"a/b", "a_b", "a_b-2"},
         {"a_b_f1.png", "a_b-2_f1.png", "a_b-2-2_f1.png"},
         {},
         "window 2 \"a_b-2\" is written as a_b-2-2_f<frame>.png (a_b-2 is taken)"},
        {{"Straße"}, {"Straße_f1.png"}, {}, nullptr},
    };
    int row = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.names[0]);
        const std::string out = dir.file("run" + std::to_string(row) + "/a/b");
        const std::string config =
            writeConfig(dir, "windows" + std::to_string(row++) + ".xml", windowsConfig(c.names));
        const Result result = runKxrun(dir, {config, "--frames", "1", "--out", out});
        ASSERT_RAN(result);
        EXPECT_EQ(filesIn(out), c.files) << result.err;
        for (const std::string& path : c.outside) {
            EXPECT_FALSE(std::filesystem::exists(path)) << path;
            std::filesystem::remove(path);
        }
        const std::string count = std::to_string(c.files.size()) + " image";
        EXPECT_NE(result.err.find(count), std::string::npos) << result.err;
        if (c.message) {
            EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
        }
    }
}

// Text that is not UTF-8 is refused where it stands; names in UTF-8 and characters JSON must
// escape reach the dump as valid JSON.
TEST(KxrunTest, TextThatIsNotUtf8IsRefusedAndTheDumpStaysJson) {
    kxTempDir dir;
    struct Case {
        std::string lobeName; // raw bytes in the file
        int status;
        const char* message; // in stderr, or in the dump when the run succeeds
    };
    const Case cases[] = {
        {"caf\xe9", 1, ":3:21: not UTF-8 text (byte 0xe9)"},          // Latin-1
        {"\xc0\xaf", 1, ":3:18: not UTF-8 text (byte 0xc0)"},         // overlong '/'
        {"\xed\xa0\x80", 1, ":3:18: not UTF-8 text (byte 0xed)"},     // a surrogate
        {"\xf4\x90\x80\x80", 1, ":3:18: not UTF-8 text (byte 0xf4)"}, // above U+10FFFF
        {"ab\x80", 1, ":3:20: not UTF-8 text (byte 0x80)"},           // a stray continuation byte
        {"Stra\xc3\x9f"
         "e &quot;q&quot; back\\slash&#9;tab&#1;",
         0,
         "\"name\":\"Stra\xc3\x9f"
         "e \\\"q\\\" back\\\\slash\\u0009tab\\u0001\","},
    };
    int row = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(row);
        const std::string out = dir.file("out" + std::to_string(row));
        const std::string dump = dir.file("dump" + std::to_string(row) + ".json");
        const std::string lobe = "<LightLobe name=\"" + c.lobeName +
                                 "\"><setPosition x=\"0\" y=\"0\" z=\"100\"/></LightLobe>\n";
        const std::string config =
            writeConfig(dir, "lobe" + std::to_string(row++) + ".xml",
                        "<kestrix>\n<Module name=\"kxlightlobe\"/>\n" + lobe +
                            windowsConfig({"w"}).substr(std::string("<kestrix>\n").size()));
        const Result result =
            runKxrun(dir, {config, "--frames", "1", "--out", out, "--dump", dump});
        if (c.status == 0) {
            ASSERT_RAN(result);
            EXPECT_EQ(filesIn(out), std::set<std::string>{"w_f1.png"});
            EXPECT_NE(readFile(dump).find(c.message), std::string::npos) << readFile(dump);
            continue;
        }
        EXPECT_EQ(result.status, c.status) << result.err;
        EXPECT_NE(result.err.find("kxrun: cannot use " + config + ": " + config + c.message),
                  std::string::npos)
            << result.err;
        EXPECT_TRUE(filesIn(out).empty());
    }
}

// Sizes whose image could not be read back are refused before anything is drawn.
TEST(KxrunTest, WindowsTooLargeToReadBackAreRefusedBeforeDrawing) {
    kxTempDir dir;
    const std::string limit = "its image cannot be read back (at most 65535 pixels a side and "
                              "256 MiB of RGB pixels)";
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string message;
    };
    const auto sized = [&](const char* name, const char* width, const char* height) {
        std::string xml = windowsConfig({"w"});
        const std::size_t at = xml.find("width=\"32\" height=\"24\"");
        xml.replace(at, std::strlen("width=\"32\" height=\"24\""),
                    std::string("width=\"") + width + "\" height=\"" + height + "\"");
        return writeConfig(dir, name, xml);
    };
    const Case cases[] = {
        {{sized("huge.xml", "20000", "20000")}, 1, "window \"w\" is 20000x20000: " + limit},
        {{sized("wide.xml", "70000", "2")}, 1, "window \"w\" is 70000x2: " + limit},
        {{"--size", "16384x16384"}, 1, "window \"window\" is 16384x16384: " + limit},
        {{sized("small.xml", "64", "48")}, 0, "1 image"},
    };
    int row = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        const std::string out = dir.file("out" + std::to_string(row++));
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"--frames", "1", "--out", out});
        const Result result = runKxrun(dir, args);
        if (c.status == 0) {
            ASSERT_RAN(result);
        }
        EXPECT_EQ(result.status, c.status) << result.err;
        EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
        EXPECT_EQ(filesIn(out).size(), c.status == 0 ? 1u : 0u);
    }
}

// A configuration names modules, not libraries: only the module path is searched.
TEST(KxrunTest, ModulesComeOnlyFromTheModulePath) {
    kxTempDir dir;
    // A library that is no module, under a module's file name, in a folder on the path.
    std::filesystem::copy_file(std::string(KX_MODULE_DIR) + "/libkxcoordsys.so",
                               dir.file("libnotamodule.so"));
    struct Case {
        const char* name;
        const char* message;
        const char* notMessage;
    };
    const Case cases[] = {
        // The system has a libz.so; it must not be loaded (and its entry looked for).
        {"z", "unable to load module \"z\": no libz.so in the module path (", "zInitialize"},
        {"../z", "bad module name \"../z\"", nullptr},
        {"notamodule", "module \"notamodule\" has no notamoduleInitialize", nullptr},
    };
    int row = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string out = dir.file("out" + std::to_string(row));
        const std::string config =
            writeConfig(dir, "module" + std::to_string(row++) + ".xml",
                        windowsConfig({"w"}, std::string("<Module name=\"") + c.name + "\"/>\n"));
        const Result result = runKxrun(dir, {config, "--frames", "1", "--out", out},
                                       "KESTRIX_MODULE_PATH=" + quote(dir.path().string()));
        // The run goes on without the module, as for any problem inside a readable file.
        ASSERT_RAN(result);
        EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
        EXPECT_NE(result.err.find("cannot load module"), std::string::npos) << result.err;
        if (c.notMessage) {
            EXPECT_EQ(result.err.find(c.notMessage), std::string::npos) << result.err;
        }
        EXPECT_EQ(filesIn(out), std::set<std::string>{"w_f1.png"});
    }
}

// SIGINT and SIGTERM finish the frame under way: the dump ends on a whole line, and the exit
// status tells which signal stopped the run.
TEST(KxrunTest, StopSignalsFinishTheFrameAndCloseTheDump) {
    kxTempDir dir;
    struct Case {
        int signal;
        int status;
        const char* message;
    };
    const Case cases[] = {{SIGINT, 130, "kxrun: stopped by SIGINT after frame "},
                          {SIGTERM, 143, "kxrun: stopped by SIGTERM after frame "}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        const std::string dump = dir.file("dump.json"), err = dir.file("stderr.txt");
        std::filesystem::remove(dump);
        const std::vector<std::string> args = {KXRUN_PATH, example("one_lobe.xml"),
                                               "--frames", "1000000",
                                               "--size",   "32x24",
                                               "--every",  "1000000",
                                               "--out",    dir.file("out"),
                                               "--dump",   dump};
        std::vector<char*> argv;
        for (const std::string& arg : args)
            argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        pid_t pid = 0;
        ASSERT_EQ(posix_spawn(&pid, KXRUN_PATH, &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        // Once frames are being dumped, the run is in its frame loop.
        for (int wait = 0; wait < 1200 && readFile(dump).size() < 2000; ++wait)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        kill(pid, c.signal);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        const std::string text = readFile(err);
        if (WIFEXITED(status) && WEXITSTATUS(status) == 2)
            GTEST_SKIP() << text;
        ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
        EXPECT_EQ(WEXITSTATUS(status), c.status) << text;
        EXPECT_NE(text.find(c.message), std::string::npos) << text;
        // Whole lines only, and whole frames: one lobe line and one channel line each.
        const std::string content = readFile(dump);
        ASSERT_FALSE(content.empty());
        EXPECT_EQ(content.back(), '\n');
        const std::vector<std::string> lines = readDump(dump);
        EXPECT_EQ(lines.size() % 2, 0u) << lines.back();
    }
}

// A pipelined run whose last frame is not written ends while that frame may still be culled;
// the scene must outlive it. Under ThreadSanitizer (CI's thread pass) a kxrun that released
// the scene first was reported within the first ten runs each time; under AddressSanitizer the
// race is narrow and only some sets of runs failed (the kernel's own test,
// SceneReleasedWithFramesInFlightLastsUntilTheyAreDone, fails every time).
TEST(KxrunTest, PipelinedRunsEndingOnUnwrittenFramesTearDownCleanly) {
    kxTempDir dir;
    const int RUNS = 40;
    for (int run = 0; run < RUNS; ++run) {
        const Result result = runKxrun(dir, {"--frames", "4", "--every", "3", "--size", "64x48",
                                             "--threading", "pipelined", "--out", dir.file("out")});
        ASSERT_RAN(result) << "run " << run;
    }
    EXPECT_EQ(filesIn(dir.file("out")), std::set<std::string>{"window_f3.png"});
}

} // namespace
