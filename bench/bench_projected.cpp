// Projected lobes on the GL renderer in use (Mesa's llvmpipe on the build machines):
// - BM_ProjectedNightFrame: a whole serial frame of kxrun's night scene at 1280x720 with the
//   shader infrastructure on, without projected lobes (the baseline) and with seven of them
//   (two on the vehicle, one on the tower, four around the road); ratio_vs_no_lobe is the time
//   per frame against the baseline measured earlier in the same run.
// - BM_ProjectedUpdate: the application thread's work per lobe and frame (the locate traversal,
//   the matrices, the fog look-up and the frame-data write), with the heap allocations it makes.
#include "defaultScene.h"

#include <kxlightlobeprojected.h>

#include <kr/krDrawContext.h>
#include <kr/krShaderInfrastructure.h>
#include <kr/krShaderProgramCache.h>
#include <kr/krWindow.h>
#include <ks/ksWindow.h>
#include <ku/kuParameter.h>
#include <ku/kuThread.h>
#include <kx/kxEnv.h>
#include <kx/kxKernel.h>
#include <kx/kxModule.h>
#include <kx/kxScene.h>
#include <kx/kxTransform.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace {
std::atomic<long> g_allocations{0};
thread_local bool t_counting = false;
} // namespace

// Out of line, so that the compiler does not see free() meet a pointer from new.
__attribute__((noinline)) void* operator new(std::size_t size) {
    if (t_counting)
        g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
__attribute__((noinline)) void operator delete(void* p) noexcept {
    std::free(p);
}
__attribute__((noinline)) void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace {

constexpr int WIDTH = 1280, HEIGHT = 720;
constexpr int NUM_LOBES = 7;

// The night scene with the shader infrastructure on and some projected lobes, in a runtime of
// its own (the kernel draws every window there is, so each world restarts the runtime).
struct World {
    kxRunDefaultScene scene;
    std::vector<kuRef<kxLightLobeProjected>> lobes;
    std::string error;

    explicit World(int numLobes) {
        kxModule* module = nullptr;
        if (kxKernel::initialize(0, nullptr) != 1 ||
            kxModule::initializeModule("kxlightlobe") != 1 ||
            !(module = kxModule::find("kxlightlobe")) || module->initialize(0, nullptr) != 1) {
            error = "the runtime or the kxlightlobe module did not start";
            return;
        }
        krShaderInfrastructure::instance()->setEnable(true);
        if (scene.build(WIDTH, HEIGHT) != 1) {
            error = "the night scene was not built";
            return;
        }
        auto* vehicle = static_cast<kxTransform*>(
            kxTransform::getStaticClassType()->findInstance("vehicle", true));
        auto* tower = static_cast<kxTransform*>(
            kxTransform::getStaticClassType()->findInstance("tower", true));
        ksNode* root = kxScene::get(0)->getRoot();
        for (int i = 0; i < numLobes; ++i) {
            kuRef<kxLightLobeProjected> lobe = kxLightLobeProjected::create();
            lobe->setSpreadAngle(25);
            lobe->setFadeRange(400);
            lobe->setFalloff(static_cast<kxLightLobeProjected::Falloff>(1 + i % 3));
            lobe->setColor(1, 0.9f - 0.1f * (i % 3), 0.8f, 1);
            lobe->setFogEffectEnable(true);
            if (i < 2 && vehicle) {
                lobe->setPosition(i == 0 ? -0.8 : 0.8, 2, 1, nullptr);
                lobe->setOrientation(0, -8, 0);
                vehicle->addChild(lobe.get());
            } else if (i == 2 && tower) {
                lobe->setPosition(0, 0, 5, nullptr);
                lobe->setOrientation(30, -35, 0);
                tower->addChild(lobe.get());
            } else {
                lobe->setPosition(60.0 * (i - 4), 80, 40, nullptr);
                lobe->setOrientation(45.0 * i, -50, 0);
                root->addChild(lobe.get());
            }
            lobes.push_back(lobe);
        }
        kxKernel::instance()->configure();
        for (const kuRef<kxLightLobeProjected>& lobe : lobes)
            if (!lobe->isConfigured())
                error = "a projected lobe was not configured";
        // The first frames build the programs.
        for (int i = 0; i < 10; ++i)
            kxKernel::instance()->runFrame();
    }
    ~World() {
        lobes.clear();
        scene.release();
        if (kxKernel::instance() && kxKernel::instance()->isConfigured())
            kxKernel::instance()->unconfigure();
        kxKernel::shutdown();
    }
};

std::unique_ptr<World> s_world;
int s_worldLobes = -1;
double s_baselineSeconds = 0;

World* useWorld(int numLobes) {
    if (s_worldLobes != numLobes) {
        s_world.reset();
        s_world.reset(new World(numLobes));
        s_worldLobes = numLobes;
    }
    return s_world.get();
}

void BM_ProjectedNightFrame(benchmark::State& state) {
    const int numLobes = static_cast<int>(state.range(0));
    World* world = useWorld(numLobes);
    if (!world->error.empty()) {
        state.SkipWithError(world->error.c_str());
        return;
    }
    ksWindow* window = ksWindow::get(0);
    if (!window->getRenderWindow()) {
        state.SkipWithError(("no OpenGL context: " + window->getRenderError()).c_str());
        return;
    }
    kxKernel* kernel = kxKernel::instance();
    const krShaderProgramCache& programs =
        window->getRenderWindow()->getDrawContext()->getShaderPrograms();
    const unsigned long long buildsBefore = programs.getNumBuilds();
    for (auto _ : state)
        kernel->runFrame();
    state.counters["program_builds_per_frame"] =
        static_cast<double>(programs.getNumBuilds() - buildsBefore) /
        static_cast<double>(state.iterations());
    state.counters["frames_per_second"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

// Called by the library after each run with its measured time, so that the seven-lobe run can
// report its ratio against the baseline.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        std::vector<Run> copy = runs;
        for (Run& run : copy) {
            if (run.run_name.function_name != "BM_ProjectedNightFrame" || run.error_occurred ||
                run.iterations == 0)
                continue;
            const double perFrame = run.real_accumulated_time / static_cast<double>(run.iterations);
            if (run.run_name.args == "lobes:0")
                s_baselineSeconds = perFrame;
            else if (s_baselineSeconds > 0)
                run.counters["ratio_vs_no_lobe"] = perFrame / s_baselineSeconds;
        }
        ConsoleReporter::ReportRuns(copy);
    }
};

// One lobe's update per iteration, the seven in turn, each frame number written once per lobe.
void BM_ProjectedUpdate(benchmark::State& state) {
    World* world = useWorld(NUM_LOBES);
    if (!world->error.empty()) {
        state.SkipWithError(world->error.c_str());
        return;
    }
    // A fog thick enough that the beams show, so that the fog branch runs.
    if (kuParameter* fog = kuParameter::find(kxEnv::FOG_PARAMETERS)) {
        float values[4];
        fog->getFloats(values);
        values[1] = 0.01f;
        fog->setFloats(values);
    }
    ksNode* root = kxScene::get(0)->getRoot();
    const int firstFrame = kuThread::resolveFrameNumber() + 1;
    int frame = firstFrame;
    const long allocationsBefore = g_allocations.load();
    t_counting = true;
    while (state.KeepRunningBatch(NUM_LOBES)) {
        kuThread::setFrameNumber(frame++);
        for (const kuRef<kxLightLobeProjected>& lobe : world->lobes)
            lobe->update(root, true);
    }
    t_counting = false;
    kuThread::setFrameNumber(firstFrame - 1);
    state.counters["allocs_per_update"] =
        static_cast<double>(g_allocations.load() - allocationsBefore) /
        static_cast<double>(state.iterations());
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

} // namespace

BENCHMARK(BM_ProjectedNightFrame)
    ->ArgName("lobes")
    ->Arg(0)
    ->Arg(1)
    ->Arg(3)
    ->Arg(NUM_LOBES)
    ->UseRealTime()
    ->MinTime(3.0)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ProjectedUpdate)->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    s_world.reset();
    return 0;
}
