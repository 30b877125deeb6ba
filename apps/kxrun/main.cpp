// kxrun: runs a configuration file, or the embedded night scene, for a number of frames and
// writes PNG images of its windows.
#include "defaultScene.h"
#include "dump.h"
#include "imageNames.h"
#include "options.h"

#include <kc/kcConfigParser.h>
#include <ks/ksWindow.h>
#include <ku/kuImageFactory.h>
#include <ku/kuNotify.h>
#include <ku/kuStat.h>
#include <ku/kuTime.h>
#include <kx/kxKernel.h>
#include <kx/kxModule.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include <unistd.h>

namespace {

// The signal that asked the run to stop (SIGINT or SIGTERM), or 0. The frame under way is
// finished, its images and dump lines written, and the run ends with 128 + the signal.
volatile std::sig_atomic_t s_stopSignal = 0;

void requestStop(int signal) {
    s_stopSignal = signal;
}

void catchStopSignals() {
    struct sigaction action = {};
    action.sa_handler = requestStop;
    sigemptyset(&action.sa_mask);
    // A second signal of the kind ends the process at once, for a run that does not stop;
    // interrupted writes resume.
    action.sa_flags = SA_RESETHAND | SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

// The last message at warning level or above, so that a failure can be given with its reason
// on one line even when the print threshold hides it.
struct LastProblem {
    std::string text;

    static void callback(int level, const kuBase::ClassType*, const char* message, void* self) {
        if (level >= kuNotify::WARN && message)
            static_cast<LastProblem*>(self)->text = message;
    }
};

// Starts and stops the runtime; the scene's objects go before the kernel does, once no window
// thread is culling or drawing them, however the run ends.
class Runtime {
public:
    ~Runtime() {
        if (kxKernel* kernel = kxKernel::instance())
            kernel->finishFrames();
        m_scene.release();
        if (kxKernel* kernel = kxKernel::instance()) {
            if (kernel->isConfigured())
                kernel->unconfigure();
            kxKernel::shutdown();
        }
        kuNotify::setCallback(nullptr, nullptr);
    }
    kxRunDefaultScene& scene() { return m_scene; }

private:
    kxRunDefaultScene m_scene;
};

int fail(int status, const std::string& reason) {
    std::fprintf(stderr, "kxrun: %s\n", reason.c_str());
    return status;
}

// Refuses windows whose image could not be read back, before anything is drawn.
bool checkWindowSizes(std::string& reason) {
    for (int w = 0; w < ksWindow::getNum(); ++w) {
        int width = 0, height = 0;
        ksWindow::get(w)->getSize(width, height);
        if (kuImage::isValidSize(width, height, 3))
            continue;
        reason = "window \"" + kxRunPrintable(ksWindow::get(w)->getName()) + "\" is " +
                 std::to_string(width) + "x" + std::to_string(height) +
                 ": its image cannot be read back (at most " +
                 std::to_string(kuImage::MAX_DIMENSION) + " pixels a side and " +
                 std::to_string(kuImage::MAX_BYTES >> 20) + " MiB of RGB pixels)";
        return false;
    }
    return true;
}

int run(int argc, char** argv) {
    kxRunOptions options;
    std::string error;
    if (!kxRunParseOptions(argc, argv, options, error))
        return fail(1, error + " (kxrun --help lists the options)");
    if (options.help) {
        std::fputs(kxRunUsage(), stdout);
        return 0;
    }

    std::error_code ec;
    std::filesystem::create_directories(options.outDir, ec);
    if (ec || !std::filesystem::is_directory(options.outDir))
        return fail(1, "cannot create the output folder " + options.outDir + ": " +
                           (ec ? ec.message() : "not a folder"));

    // From here on a stop request ends the run at the next frame boundary (at once, when it
    // comes before the first frame).
    catchStopSignals();
    LastProblem problem;
    // Only problems are kept: the messages below them are then never formatted for the callback.
    kuNotify::setCallbackLevel(kuNotify::WARN);
    kuNotify::setCallback(&LastProblem::callback, &problem);
    Runtime runtime;
    if (kxKernel::initialize(argc, argv) != 1)
        return fail(1, "cannot start the runtime: " + problem.text);
    if (kxModule::initializeModule("kxlightlobe") != 1 || !kxModule::find("kxlightlobe") ||
        kxModule::find("kxlightlobe")->initialize(argc, argv) != 1)
        return fail(1, "cannot load the kxlightlobe module: " + problem.text);

    if (!options.configFile.empty()) {
        kcConfigParser* parser = kcConfigParser::getTheConfigParser();
        problem.text.clear();
        if (parser->parseFile(options.configFile.c_str()) != 1)
            return fail(1, "cannot use " + options.configFile + ": " + problem.text);
        // Problems inside a readable file were reported one by one; the run goes on without
        // what they concerned, as the runtime's parser intends.
        if (const int errors = parser->getNumErrors())
            std::fprintf(stderr, "kxrun: %d problem%s in %s (reported above)\n", errors,
                         errors == 1 ? "" : "s", options.configFile.c_str());
        if (options.sizeGiven)
            for (int w = 0; w < ksWindow::getNum(); ++w)
                ksWindow::get(w)->setSize(options.width, options.height);
    } else if (runtime.scene().build(options.width, options.height) != 1) {
        return fail(1, "cannot build the night scene: " + problem.text);
    }
    if (ksWindow::getNum() == 0)
        std::fprintf(stderr, "kxrun: note: no window, so no images\n");
    std::string reason;
    if (!checkWindowSizes(reason))
        return fail(1, reason);
    // Window names become file names: each image lands in the output folder, under a name of
    // its own.
    std::vector<std::string> names, notes;
    for (int w = 0; w < ksWindow::getNum(); ++w)
        names.push_back(ksWindow::get(w)->getName());
    const std::vector<std::string> stems = kxRunImageStems(names, notes);
    for (const std::string& note : notes)
        std::fprintf(stderr, "kxrun: note: %s\n", note.c_str());

    kxRunDump dump;
    if (!options.dumpFile.empty() && !dump.open(options.dumpFile))
        return fail(1, "cannot write " + options.dumpFile);

    kxKernel* kernel = kxKernel::instance();
    if (kernel->configure() != 1)
        return fail(1, "cannot configure the runtime: " + problem.text);
    kernel->setThreadingMode(options.threading == kxRunOptions::THREADING_PIPELINED
                                 ? kxKernel::THREADING_PIPELINED
                                 : kxKernel::THREADING_SERIAL);

    // Updated in place, which only a terminal shows as intended; logs get the summary alone.
    const bool progress = isatty(fileno(stderr)) == 1;
    const double start = kuTime::get();
    std::set<std::string> written;
    int frames = 0;
    for (int frame = 1; frame <= options.frames && !s_stopSignal; ++frame) {
        if (kernel->runFrame() != 1)
            return fail(1, "frame " + std::to_string(frame) + " failed: " + problem.text);
        const bool write = options.every > 0 ? frame % options.every == 0 : frame == options.frames;
        // Pipelined, the windows draw the frame on their own threads: wait for them before
        // looking at what they drew.
        if (frame == 1 || write)
            kernel->finishFrames();
        if (frame == 1)
            for (int w = 0; w < ksWindow::getNum(); ++w)
                if (!ksWindow::get(w)->getRenderWindow())
                    return fail(2, "no OpenGL context: " + ksWindow::get(w)->getRenderError());
        dump.writeFrame(frame);
        for (int w = 0; write && w < ksWindow::getNum(); ++w) {
            const std::string file =
                (std::filesystem::path(options.outDir) /
                 (stems[static_cast<std::size_t>(w)] + "_f" + std::to_string(frame) + ".png"))
                    .string();
            problem.text.clear();
            if (ksWindow::get(w)->writeImage(file.c_str()) != 1)
                return fail(1, "cannot write " + file + ": " + problem.text);
            written.insert(file);
        }
        frames = frame;
        if (progress) {
            std::fprintf(stderr, "\rframe %d/%d", frame, options.frames);
            std::fflush(stderr);
        }
    }
    const double seconds = kuTime::get() - start;
    if (progress)
        std::fputc('\n', stderr);
    if (!dump.close())
        return fail(1, "cannot write " + options.dumpFile);
    const std::size_t images = written.size();
    std::fprintf(stderr, "kxrun: %d frame%s in %.2f s (%.1f frames/s), %zu image%s in %s\n", frames,
                 frames == 1 ? "" : "s", seconds, seconds > 0 ? frames / seconds : 0.0, images,
                 images == 1 ? "" : "s", options.outDir.c_str());
    if (options.stats)
        std::fputs(kuStat::summary().c_str(), stdout);
    if (s_stopSignal) {
        std::fprintf(stderr, "kxrun: stopped by %s after frame %d\n",
                     s_stopSignal == SIGINT ? "SIGINT" : "SIGTERM", frames);
        return 128 + s_stopSignal;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    return run(argc, argv);
}
