// The light map's per-frame cost: the application thread's update of every lobe (probe casting
// excluded) and the cull of every lobe into two channels, with the allocations it makes.

#include <kxlightlobe.h>
#include <kxlightmap.h>

#include <ks/ksChannel.h>
#include <ks/ksChannelBin.h>
#include <ks/ksServiceMgr.h>
#include <ks/ksThreadBuffer.h>
#include <ks/ksTraversal.h>
#include <ks/ksWindow.h>
#include <kx/kxIsectorLOS.h>
#include <kx/kxKernel.h>
#include <kx/kxModule.h>
#include <kx/kxObserver.h>
#include <kx/kxScene.h>
#include <kx/kxTerrain.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <vector>

namespace {
std::atomic<long> s_allocations{0};
}
volatile bool g_traceAllocations = false;
__attribute__((noinline)) void allocationTraced() {
    asm volatile("");
}

// Counts every allocation of the process, so a benchmark can report those of its loop.
void* operator new(std::size_t size) {
    s_allocations.fetch_add(1, std::memory_order_relaxed);
    if (g_traceAllocations)
        allocationTraced();
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace {

// A scene of lobes over a terrain of more than a million triangles, seen by one observer
// through two channels of one window.
struct LobeScene {
    kuRef<kxScene> scene = new kxScene;
    kuRef<kxTerrain> terrain = new kxTerrain;
    kuRef<ksWindow> window = new ksWindow;
    kuRef<kxObserver> observer = new kxObserver;
    kuRef<ksChannel> channels[2] = {new ksChannel, new ksChannel};
    std::vector<kuRef<kxLightLobe>> lobes;

    explicit LobeScene(int count) {
        terrain->setSize(20000);
        terrain->setResolution(720); // 1,036,800 triangles
        terrain->build();
        scene->addChild(terrain.get());
        observer->setScene(scene.get());
        observer->setPosition(0, -12000, 500);
        for (auto& channel : channels) {
            channel->setProjection(90, 60, 1, 40000);
            window->addChannel(channel.get());
            observer->addChannel(channel.get());
        }
        for (int i = 0; i < count; ++i) {
            kuRef<kxLightLobe> lobe = kxLightLobe::create();
            lobe->setPosition(-9000 + 180.0 * (i % 100), -9000 + 180.0 * (i / 100 % 100), 50);
            lobe->setOrientation(i % 360, -20, 0);
            // Hits as a cast would leave them, so the update takes the footprint path.
            const kuVec3d ground = lobe->getPosition() + kuVec3d(0, 0, -50);
            for (int k = 0; k < kxLightLobe::NUM_ISECTORS; ++k)
                lobe->getIsector(k)->setHit(ground + kuVec3d(k, 2 * k, 0), kuVec3f(0, 0, 1));
            scene->addChild(lobe.get());
            lobes.push_back(lobe);
        }
        ksThreadBuffer::synchronize();
    }
};

void startRuntime() {
    static bool started = false;
    if (started)
        return;
    started = true;
    kxKernel::initialize(0, nullptr);
    kxModule::initializeModule("kxlightlobe");
    kxModule::find("kxlightlobe")->initialize(0, nullptr);
}

void BM_LightMapUpdate(benchmark::State& state) {
    startRuntime();
    const int count = static_cast<int>(state.range(0));
    LobeScene lobes(count);
    kxLightMap* map = kxLightMap::instance();
    map->setIsectorService(nullptr); // probes are not cast: the update alone is measured
    // The first update makes every lobe's texture; the steady state is what is measured.
    int frame = 1;
    ksThread::setFrameNumber(frame);
    map->update(frame);
    ksThreadBuffer::synchronize();
    for (auto _ : state) {
        ksThread::setFrameNumber(++frame);
        map->update(frame);
        // Delivering the queued footprints to the clones is the kernel's step, not the update.
        state.PauseTiming();
        ksThreadBuffer::synchronize();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * count);
    state.counters["ns_per_lobe"] = benchmark::Counter(
        static_cast<double>(count),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_CullTwoChannels(benchmark::State& state) {
    startRuntime();
    const int count = static_cast<int>(state.range(0));
    LobeScene lobes(count);
    // A view from high above that sees every lobe.
    lobes.observer->setPosition(0, 0, 30000);
    lobes.observer->setOrientation(0, -90, 0);
    lobes.observer->updateChannelViews();
    const int pipeline = lobes.window->getThreadBuffer()->getIndex();
    ksNode* root = lobes.scene->getRoot()->getClone(pipeline);
    int frame = 1;
    auto cullFrame = [&]() {
        std::size_t records = 0;
        for (auto& channel : lobes.channels) {
            ksChannelBinMgr* bins = channel->getChannelBinMgr();
            bins->beginFrame(frame);
            ksTraversalCull traversal(channel.get(), bins, channel->getId(), pipeline, frame);
            traversal.traverse(root);
            records += bins->getBin(kxLightMap::getMapCreateBinID())->size();
        }
        for (auto& channel : lobes.channels)
            channel->getChannelBinMgr()->recycleFrame(frame);
        ++frame;
        return records;
    };
    cullFrame(); // the first frame fills the pools
    g_traceAllocations = true;
    const long before = s_allocations.load();
    std::size_t records = 0;
    for (auto _ : state)
        records += cullFrame();
    state.counters["allocations_after_first_frame"] =
        static_cast<double>(s_allocations.load() - before);
    state.counters["records_per_frame"] =
        static_cast<double>(records) / static_cast<double>(state.iterations());
    state.SetItemsProcessed(static_cast<long>(records));
}

} // namespace

BENCHMARK(BM_LightMapUpdate)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CullTwoChannels)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
