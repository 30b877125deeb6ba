#ifndef KXRUN_OPTIONS_H
#define KXRUN_OPTIONS_H

#include <string>

// kxrun's command line.
struct kxRunOptions {
    enum Threading { THREADING_SERIAL, THREADING_PIPELINED };

    std::string configFile; // empty: the embedded night scene
    int frames = 60;
    std::string outDir = "out";
    int every = 0; // 0: write only the last frame
    int width = 640, height = 480;
    bool sizeGiven = false; // --size overrides the sizes of a configuration's windows
    Threading threading = THREADING_SERIAL;
    bool stats = false;
    std::string dumpFile;
    bool help = false;
};

// Reads argv into options. --notify LEVEL is checked here but applied by the kernel, which
// reads it from the same argv. Returns false with a one-line reason on a bad command line.
bool kxRunParseOptions(int argc, const char* const* argv, kxRunOptions& options,
                       std::string& error);

// The --help text.
const char* kxRunUsage();

#endif
