#include "options.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

// A whole decimal integer in [low, high]; no sign tricks, no trailing text.
bool parseInt(const std::string& text, long low, long high, int& value) {
    if (text.empty() || !(text[0] == '-' || (text[0] >= '0' && text[0] <= '9')))
        return false;
    errno = 0;
    char* end = nullptr;
    const long number = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || number < low || number > high)
        return false;
    value = static_cast<int>(number);
    return true;
}

// WIDTHxHEIGHT, both positive; the runtime's largest image side bounds them.
bool parseSize(const std::string& text, int& width, int& height) {
    const std::size_t x = text.find('x');
    if (x == std::string::npos)
        return false;
    return parseInt(text.substr(0, x), 1, 16384, width) &&
           parseInt(text.substr(x + 1), 1, 16384, height);
}

} // namespace

const char* kxRunUsage() {
    return "usage: kxrun [CONFIG.xml] [options]\n"
           "Runs a configuration file (or, without one, the embedded night scene) and writes\n"
           "PNG images of each window.\n"
           "\n"
           "  --frames N          frames to run (default 60)\n"
           "  --out DIR           folder for the images, created when missing (default out)\n"
           "  --every K           write frames K, 2K, ... (default: only the last frame)\n"
           "  --size WxH          window size (default 640x480; overrides a file's windows)\n"
           "  --threading MODE    serial (default) or pipelined (cull, draw threads per window)\n"
           "  --notify LEVEL      print runtime messages of LEVEL and above (default 5)\n"
           "  --stats             print the statistics summary at the end\n"
           "  --dump FILE         write per-frame lobe footprints and channel light\n"
           "                      intensities as JSON lines\n"
           "  --help              print this text\n"
           "\n"
           "Images are named DIR/<window>_f<frame>.png, the window's name reduced to one safe\n"
           "file name that no other window has. Exit status: 0 on success, 1 for a bad command\n"
           "line, configuration, window size or output, 2 when no OpenGL context can be made,\n"
           "130 or 143 after SIGINT or SIGTERM (the frame under way is finished first).\n";
}

bool kxRunParseOptions(int argc, const char* const* argv, kxRunOptions& options,
                       std::string& error) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        std::string name = arg, value;
        bool hasValue = false;
        // --option=value is accepted for every option that takes a value.
        const std::size_t equals = arg.find('=');
        if (arg.compare(0, 2, "--") == 0 && equals != std::string::npos) {
            name = arg.substr(0, equals);
            value = arg.substr(equals + 1);
            hasValue = true;
        }
        auto takeValue = [&]() {
            if (hasValue)
                return true;
            if (i + 1 >= argc) {
                error = name + " needs a value";
                return false;
            }
            value = argv[++i];
            return true;
        };
        auto invalid = [&](const char* what) {
            error = name + ": \"" + value + "\" is not " + what;
            return false;
        };

        if (name == "--help" || name == "-h") {
            options.help = true;
        } else if (name == "--frames") {
            if (!takeValue())
                return false;
            if (!parseInt(value, 1, 100000000, options.frames))
                return invalid("a positive number of frames");
        } else if (name == "--every") {
            if (!takeValue())
                return false;
            if (!parseInt(value, 1, 100000000, options.every))
                return invalid("a positive number of frames");
        } else if (name == "--out") {
            if (!takeValue())
                return false;
            if (value.empty())
                return invalid("a folder");
            options.outDir = value;
        } else if (name == "--size") {
            if (!takeValue())
                return false;
            if (!parseSize(value, options.width, options.height))
                return invalid("a size WIDTHxHEIGHT of positive numbers");
            options.sizeGiven = true;
        } else if (name == "--threading") {
            if (!takeValue())
                return false;
            if (value == "serial")
                options.threading = kxRunOptions::THREADING_SERIAL;
            else if (value == "pipelined")
                options.threading = kxRunOptions::THREADING_PIPELINED;
            else
                return invalid("serial or pipelined");
        } else if (name == "--notify") {
            if (!takeValue())
                return false;
            int level = 0;
            if (!parseInt(value, 0, 10, level))
                return invalid("a level from 0 to 10");
        } else if (name == "--stats") {
            options.stats = true;
        } else if (name == "--dump") {
            if (!takeValue())
                return false;
            if (value.empty())
                return invalid("a file name");
            options.dumpFile = value;
        } else if (arg.size() > 1 && arg[0] == '-') {
            error = "unknown option " + arg;
            return false;
        } else if (options.configFile.empty()) {
            options.configFile = arg;
        } else {
            error = "more than one configuration file (" + options.configFile + ", " + arg + ")";
            return false;
        }
        if (hasValue && (name == "--help" || name == "-h" || name == "--stats")) {
            error = name + " takes no value";
            return false;
        }
    }
    return true;
}
