// A soak run of the module in an application's loop: 1,000 moving lobes over procedural
// terrain at night, one window of two light-mapped channels, the kernel in pipelined mode, for
// many frames. It shows whether a long run holds its memory and its pace: resident memory after
// frame 1,000 and at the end should differ by less than 1%, and frames 1,001-2,000 and the last
// 1,000 frames should take the same time. On Mesa's software renderer, with two cores shared
// with other work, the full run takes about 25 minutes.
//
//   bench_soak                      the full run: 100,000 frames (BM_Soak/100000)
//   bench_soak --soak_frames=5000   a shorter run (a multiple of 1,000, at least 2,000)
//   bench_soak --soak_trace=FILE    also writes a line per 1,000 frames: frame, resident KiB,
//                                   heap KiB in use, ms per frame over those 1,000 frames
//
// Other arguments are Google Benchmark's. One iteration is the whole run; its manual time is
// the wall time of every frame. Counters: rss_kib_at_1000, rss_kib_at_end, rss_change_percent,
// heap_kib_at_1000, heap_kib_at_end (malloc's bytes in use, which sees a leak long before the
// resident size does), ms_per_frame_early (frames 1,001-2,000), ms_per_frame_late (the last
// 1,000), drift_percent (late against early), drift_fit_percent (the same from a line fitted
// through every block's time from frame 2,000 on), rss_kib_max (from frame 2,000 on),
// lobes_on_ground (lobes with a footprint at the end: the scene does light the ground) and
// lobe_records_per_frame (footprints drawn into the two light maps, on average: the observer
// turns, so lobes keep entering and leaving the view).

#include <kxlightlobe.h>
#include <kxlightlobecontrol.h>
#include <kxlightmap.h>

#include <ks/ksChannel.h>
#include <ks/ksChannelBin.h>
#include <ks/ksServiceMgr.h>
#include <ks/ksWindow.h>
#include <kx/kxEnv.h>
#include <kx/kxKernel.h>
#include <kx/kxModule.h>
#include <kx/kxObserver.h>
#include <kx/kxScene.h>
#include <kx/kxStrategies.h>
#include <kx/kxTerrain.h>
#include <kx/kxTransform.h>

#include <benchmark/benchmark.h>

#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const int VEHICLES = 250;
const int LOBES_PER_VEHICLE = 4;
// Two square channels side by side, each as large as the 128-texel light map (a channel
// smaller than its map gets none), and no larger: the run is about the module, not the
// rasterizer.
const int WINDOW_WIDTH = 256, WINDOW_HEIGHT = 128;
// Each channel's field of view, degrees, both ways. On the software renderer the cost of a
// frame goes with the lobes in view (three draws into each light map a lobe reaches, whatever
// the window's size), so the two channels see a sixth of the turn at a time: about 370 lobe
// records a frame.
const double FOV = 30;
// Frames over which the pace is measured, after the first 1,000 have filled every pool.
const int BLOCK = 1000;

long s_soakFrames = 100000;
std::string s_tracePath;

// Resident set size of the process, KiB.
double residentKiB() {
    long pages = 0, resident = 0;
    if (std::FILE* file = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(file, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(file);
    }
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / 1024.0;
}

// Bytes malloc has handed out and not had back, over every arena, KiB.
double heapKiB() {
    return static_cast<double>(mallinfo2().uordblks) / 1024.0;
}

// 250 vehicles drive circles over hilly ground, each with two headlights, a reversing light and
// a roof spotlight. An observer 80 m up at the centre of the field turns on the spot, looking
// through two channels side by side, so lobes keep entering and leaving the view. A full moon
// at night, so the lobes are what lights the ground.
struct SoakScene {
    kuRef<kxScene> scene = new kxScene;
    kuRef<kxTerrain> terrain = new kxTerrain;
    kuRef<ksWindow> window = new ksWindow;
    kuRef<ksChannel> channels[2] = {new ksChannel, new ksChannel};
    kuRef<kxEnv> env = new kxEnv;
    kuRef<kxObserver> observer = new kxObserver;
    std::vector<kuRef<kxTransform>> vehicles;
    std::vector<kuRef<kxLightLobe>> lobes;

    int build() {
        terrain->setSeed(11);
        terrain->setSize(4000);
        terrain->setResolution(128);
        terrain->setAmplitude(12);
        terrain->setFeatureSize(600);
        if (terrain->build() != 1)
            return -32767;
        scene->addChild(terrain.get());

        // A 16 x 16 grid of circuits, 150 apart, of radius 25 to 60, half of them clockwise.
        for (int i = 0; i < VEHICLES; ++i) {
            const double x = (i % 16 - 7.5) * 150, y = (i / 16 - 7.5) * 150;
            kuRef<kxOrbitStrategy> drive = new kxOrbitStrategy;
            drive->setCenter(x, y, terrain->getHeightAt(x, y));
            drive->setRadius(25 + (i * 7) % 36);
            drive->setHeight(3);
            drive->setAngularSpeed((i % 2 ? 1 : -1) * (10 + i % 13));
            drive->setAngle((i * 37) % 360);
            kuRef<kxTransform> vehicle = new kxTransform;
            vehicle->setStrategy(drive.get());
            scene->addChild(vehicle.get());
            vehicles.push_back(vehicle);

            struct Lamp {
                double x, y, z, heading, pitch;
                float spread, fade;
            };
            const Lamp lamps[LOBES_PER_VEHICLE] = {{-0.7, 2.4, 0.9, 0, -8, 30, 250},
                                                   {0.7, 2.4, 0.9, 0, -8, 30, 250},
                                                   {0, -2.4, 0.9, 180, -20, 40, 60},
                                                   {0, 0, 2.0, 30, -35, 20, 300}};
            for (const Lamp& lamp : lamps) {
                kuRef<kxLightLobe> lobe = kxLightLobe::create();
                lobe->setPosition(lamp.x, lamp.y, lamp.z);
                lobe->setOrientation(lamp.heading, lamp.pitch, 0);
                lobe->setSpreadAngle(lamp.spread);
                lobe->setFadeRange(lamp.fade);
                vehicle->addChild(lobe.get());
                lobes.push_back(lobe);
            }
        }

        if (window->setSize(WINDOW_WIDTH, WINDOW_HEIGHT) != 1)
            return -32767;
        for (int c = 0; c < 2; ++c) {
            ksChannel* channel = channels[c].get();
            channel->setDrawArea(c * 0.5, (c + 1) * 0.5, 0, 1);
            channel->setProjection(FOV, FOV, 1, 8000);
            channel->setOffset(0, 0, 0, c == 0 ? FOV / 2 : -FOV / 2, 0, 0);
            channel->setClearColor(0.01f, 0.015f, 0.03f, 1);
            window->addChannel(channel);
            observer->addChannel(channel);
        }

        env->setTimeOfDay(23);
        env->setDate(2000, 6, 16); // a full moon
        env->setVisibility(8000);
        env->addEffect(new kxEnvSun);
        env->addEffect(new kxEnvMoon);

        // Turning on the spot, once per 1,000 frames: every lobe has been drawn by frame 1,000
        // and each block of 1,000 frames sees the same view.
        kuRef<kxOrbitStrategy> turn = new kxOrbitStrategy;
        turn->setCenter(0, 0, terrain->getHeightAt(0, 0));
        turn->setRadius(0);
        turn->setHeight(80);
        turn->setAngularSpeed(360.0 / (BLOCK / 60.0));
        observer->setOrientation(0, -25, 0);
        observer->setStrategy(turn.get());
        observer->setScene(scene.get());
        observer->addAttachment(env.get());

        kxLightLobeControl::instance()->setRenderQuality(kxLightLobeControl::RENDER_QUALITY_GOOD);
        return 1;
    }

    int lobesOnGround() const {
        int count = 0;
        for (const auto& lobe : lobes)
            count += lobe->getGroundPlane().length() > 0;
        return count;
    }
};

// Counts the lobe records each channel draws into its light map; told on the draw threads.
class LobeCounter : public ksChannel::Subscriber {
public:
    void notify(int, ksChannel* channel, krDrawContext*) override {
        const int id = kxLightMap::getMapCreateBinID();
        for (ksChannelBin* bin :
             channel->getChannelBinMgr()->getBins(ksThread::resolveFrameNumber()))
            if (bin->getId() == id)
                m_count.fetch_add(static_cast<long>(bin->size()), std::memory_order_relaxed);
    }
    long get() const { return m_count.load(std::memory_order_relaxed); }

private:
    std::atomic<long> m_count{0};
};

bool startRuntime() {
    static int status = 0;
    if (status == 0) {
        status = kxKernel::initialize(0, nullptr) == 1 &&
                         kxModule::initializeModule("kxlightlobe") == 1 &&
                         kxModule::find("kxlightlobe")->initialize(0, nullptr) == 1
                     ? 1
                     : -1;
    }
    return status == 1;
}

void BM_Soak(benchmark::State& state) {
    const long frames = state.range(0);
    if (frames < 2 * BLOCK || frames % BLOCK != 0) {
        state.SkipWithError("a soak runs a multiple of 1,000 frames, at least 2,000");
        return;
    }
    if (!startRuntime()) {
        state.SkipWithError("the runtime or the module did not start");
        return;
    }
    std::FILE* trace = s_tracePath.empty() ? nullptr : std::fopen(s_tracePath.c_str(), "w");
    if (!s_tracePath.empty() && !trace) {
        state.SkipWithError("cannot write the trace file");
        return;
    }
    if (trace)
        std::fprintf(trace, "frame rss_kib heap_kib ms_per_frame\n");

    using Clock = std::chrono::steady_clock;
    auto seconds = [](Clock::time_point from, Clock::time_point to) {
        return std::chrono::duration<double>(to - from).count();
    };
    for (auto _ : state) {
        SoakScene soak;
        kxKernel* kernel = kxKernel::instance();
        if (soak.build() != 1 || kernel->configure() != 1) {
            state.SkipWithError("cannot build the scene");
            break;
        }
        LobeCounter counter;
        for (const auto& channel : soak.channels)
            channel->addSubscriber(ksChannel::EVENT_POST_DRAW, &counter);
        kernel->setThreadingMode(kxKernel::THREADING_PIPELINED);

        double rssAt1000 = 0, heapAt1000 = 0, rssMax = 0, early = 0;
        // Least-squares line through the blocks' times from frame 2,000 on: on a shared
        // machine one block against another is noisy, a trend over all of them much less.
        double n = 0, sumX = 0, sumY = 0, sumXX = 0, sumXY = 0;
        bool ok = true;
        const Clock::time_point start = Clock::now();
        Clock::time_point blockStart = start;
        for (long frame = 1; frame <= frames && ok; ++frame) {
            ok = kernel->runFrame() == 1;
            if (frame == 1) {
                kernel->finishFrames();
                if (!soak.window->getRenderWindow()) {
                    state.SkipWithError(
                        ("no OpenGL context: " + soak.window->getRenderError()).c_str());
                    ok = false;
                }
            }
            if (frame % BLOCK != 0)
                continue;
            // The last frame is drawn before its time counts.
            if (frame == frames)
                kernel->finishFrames();
            const Clock::time_point now = Clock::now();
            const double msPerFrame = 1000 * seconds(blockStart, now) / BLOCK;
            blockStart = now;
            if (frame == BLOCK) {
                kernel->finishFrames();
                for (const auto& channel : soak.channels)
                    ok = ok && kxLightMap::isMapCreated(channel.get());
                if (!ok)
                    state.SkipWithError("a channel has no light map");
                rssAt1000 = residentKiB();
                heapAt1000 = heapKiB();
                blockStart = Clock::now();
            }
            if (frame == 2 * BLOCK)
                early = msPerFrame;
            if (frame >= 2 * BLOCK) {
                const double x = static_cast<double>(frame);
                n += 1;
                sumX += x;
                sumY += msPerFrame;
                sumXX += x * x;
                sumXY += x * msPerFrame;
                rssMax = std::max(rssMax, residentKiB());
            }
            if (trace) {
                std::fprintf(trace, "%ld %.0f %.0f %.3f\n", frame, residentKiB(), heapKiB(),
                             msPerFrame);
                std::fflush(trace);
            }
            if (frame == frames) {
                const double rssAtEnd = residentKiB();
                const double heapAtEnd = heapKiB();
                state.counters["rss_kib_at_1000"] = rssAt1000;
                state.counters["rss_kib_at_end"] = rssAtEnd;
                state.counters["rss_change_percent"] = 100 * (rssAtEnd - rssAt1000) / rssAt1000;
                state.counters["heap_kib_at_1000"] = heapAt1000;
                state.counters["heap_kib_at_end"] = heapAtEnd;
                state.counters["ms_per_frame_early"] = early;
                state.counters["ms_per_frame_late"] = msPerFrame;
                state.counters["drift_percent"] = 100 * (msPerFrame - early) / early;
                double fit = 0;
                if (n > 1) {
                    const double slope = (n * sumXY - sumX * sumY) / (n * sumXX - sumX * sumX);
                    const double atEarly = (sumY - slope * sumX) / n + slope * 2 * BLOCK;
                    fit = 100 * slope * static_cast<double>(frames - 2 * BLOCK) / atEarly;
                }
                state.counters["drift_fit_percent"] = fit;
                state.counters["rss_kib_max"] = rssMax;
                state.counters["lobes_on_ground"] = soak.lobesOnGround();
                state.counters["lobe_records_per_frame"] =
                    static_cast<double>(counter.get()) / static_cast<double>(frames);
            }
        }
        state.SetIterationTime(seconds(start, Clock::now()));
        if (!ok && !state.error_occurred())
            state.SkipWithError("a frame failed");
        // The windows' threads stop before the scene they draw goes.
        kernel->setThreadingMode(kxKernel::THREADING_SERIAL);
        kernel->unconfigure();
        for (const auto& channel : soak.channels)
            channel->removeSubscriber(ksChannel::EVENT_POST_DRAW, &counter);
        state.SetItemsProcessed(frames);
    }
    if (trace)
        std::fclose(trace);
}

// Takes this program's own options out of argv, leaving Google Benchmark's.
bool readOptions(int& argc, char** argv) {
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--soak_frames=", 14) == 0) {
            char* end = nullptr;
            s_soakFrames = std::strtol(argv[i] + 14, &end, 10);
            if (end == argv[i] + 14 || *end != '\0' || s_soakFrames < 2 * BLOCK ||
                s_soakFrames % BLOCK != 0) {
                std::fprintf(stderr,
                             "bench_soak: --soak_frames needs a multiple of %d, at least %d\n",
                             BLOCK, 2 * BLOCK);
                return false;
            }
        } else if (std::strncmp(argv[i], "--soak_trace=", 13) == 0) {
            s_tracePath = argv[i] + 13;
        } else {
            argv[kept++] = argv[i];
        }
    }
    argc = kept;
    argv[argc] = nullptr;
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (!readOptions(argc, argv))
        return 1;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RegisterBenchmark("BM_Soak", BM_Soak)
        ->Arg(s_soakFrames)
        ->Iterations(1)
        ->UseManualTime()
        ->Unit(benchmark::kSecond);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (kxKernel::isInitialized())
        kxKernel::shutdown();
    return 0;
}
