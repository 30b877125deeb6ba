// Light lobes at scale: per lobe, the application thread's update, the delivery of its tokens to
// a pipeline's clones, the cull into two channels and the line-of-sight casts, from 100 to
// 100,000 lobes over a terrain of a million triangles; with and without a message callback
// (kxrun's: problems only); allocations counted. Then the set-up, resident memory and
// destruction of 100,000 lobes.

#include <kxlightlobe.h>
#include <kxlightmap.h>

#include <ks/ksChannel.h>
#include <ks/ksChannelBin.h>
#include <ks/ksServiceMgr.h>
#include <ks/ksThreadBuffer.h>
#include <ks/ksTraversal.h>
#include <ks/ksWindow.h>
#include <ku/kuNotify.h>
#include <kx/kxIsectorLOS.h>
#include <kx/kxIsectorService.h>
#include <kx/kxIsectorServiceAsynchronous.h>
#include <kx/kxKernel.h>
#include <kx/kxModule.h>
#include <kx/kxObserver.h>
#include <kx/kxScene.h>
#include <kx/kxTerrain.h>

#include <benchmark/benchmark.h>

#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

namespace {
std::atomic<long> s_allocations{0};
}

// Counts every allocation of the process, so a benchmark can report those of its loop.
void* operator new(std::size_t size) {
    s_allocations.fetch_add(1, std::memory_order_relaxed);
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

const int COUNTS[] = {100, 1000, 10000, 100000};

void startRuntime() {
    static bool started = false;
    if (started)
        return;
    started = true;
    kxKernel::initialize(0, nullptr);
    kxModule::initializeModule("kxlightlobe");
    kxModule::find("kxlightlobe")->initialize(0, nullptr);
}

// kxrun's callback: it takes problems only.
void problemsOnly(int, const kuBase::ClassType*, const char*, void*) {}

struct MessageCallback {
    explicit MessageCallback(bool install) {
        if (!install)
            return;
        kuNotify::setCallbackLevel(kuNotify::WARN);
        kuNotify::setCallback(&problemsOnly, nullptr);
    }
    ~MessageCallback() {
        kuNotify::setCallback(nullptr, nullptr);
        kuNotify::setCallbackLevel(kuNotify::DEBUG);
    }
};

double residentMiB() {
    long pages = 0, resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(f);
    }
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) /
           (1024.0 * 1024.0);
}

// The part of the scene every count shares: a terrain of 1,036,800 triangles, one observer, a
// window (one pipeline) with two channels.
struct World {
    kuRef<kxScene> scene = new kxScene;
    kuRef<kxTerrain> terrain = new kxTerrain;
    kuRef<ksWindow> window = new ksWindow;
    kuRef<kxObserver> observer = new kxObserver;
    kuRef<ksChannel> channels[2] = {new ksChannel, new ksChannel};

    World() {
        terrain->setSize(20000);
        terrain->setResolution(720);
        terrain->build();
        scene->addChild(terrain.get());
        observer->setScene(scene.get());
        for (auto& channel : channels) {
            channel->setProjection(90, 60, 1, 40000);
            window->addChannel(channel.get());
            observer->addChannel(channel.get());
        }
        // From high above every lobe is in view.
        observer->setPosition(0, 0, 30000);
        observer->setOrientation(0, -90, 0);
        observer->updateChannelViews();
        ksThreadBuffer::synchronize();
    }
    static World& get() {
        startRuntime();
        static World* s_world = new World;
        return *s_world;
    }
};

// count lobes on a grid over the terrain, 50 units up, pitched down and turned every way.
struct Lobes {
    std::vector<kuRef<kxLightLobe>> lobes;
    explicit Lobes(int count) {
        World& world = World::get();
        const int side = static_cast<int>(std::ceil(std::sqrt(static_cast<double>(count))));
        const double spacing = 18000.0 / side;
        lobes.reserve(static_cast<std::size_t>(count));
        for (int i = 0; i < count; ++i) {
            kuRef<kxLightLobe> lobe = kxLightLobe::create();
            const double x = -9000 + spacing * (i % side), y = -9000 + spacing * (i / side);
            lobe->setPosition(x, y, world.terrain->getHeightAt(x, y) + 50);
            lobe->setOrientation(i % 360, -20, 0);
            world.scene->addChild(lobe.get());
            lobes.push_back(lobe);
        }
        ksThreadBuffer::synchronize();
    }
    ~Lobes() {
        World& world = World::get();
        for (auto it = lobes.rbegin(); it != lobes.rend(); ++it)
            world.scene->removeChild(it->get());
        lobes.clear();
        ksThreadBuffer::synchronize();
    }
    // Hits as a cast would leave them on gently sloping ground (three points that make a
    // plane), so the update takes the whole footprint path.
    void setHits() {
        for (auto& lobe : lobes) {
            const kuVec3d ground = lobe->getPosition() + kuVec3d(0, 0, -50);
            for (int k = 0; k < kxLightLobe::NUM_ISECTORS; ++k) {
                const double x = 10 * std::cos(2.1 * k), y = 10 * std::sin(2.1 * k);
                lobe->getIsector(k)->setHit(ground + kuVec3d(x, y, 0.05 * x), kuVec3f(0, 0, 1));
            }
        }
    }
};

// One set of lobes at a time (the light map updates every lobe there is): made anew when the
// count changes; a count of 0 drops them.
Lobes* lobesFor(int count) {
    static std::unique_ptr<Lobes> s_lobes;
    static int s_count = 0;
    if (s_count != count) {
        s_lobes.reset();
        s_count = count;
        if (count > 0)
            s_lobes.reset(new Lobes(count));
    }
    return s_lobes.get();
}

int s_frame = 1;

void perLobe(benchmark::State& state, int count) {
    state.SetItemsProcessed(state.iterations() * count);
    state.counters["ns_per_lobe"] = benchmark::Counter(
        static_cast<double>(count),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_Update(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    Lobes& lobes = *lobesFor(count);
    lobes.setHits();
    kxLightMap* map = kxLightMap::instance();
    map->setIsectorService(nullptr); // probes are not cast: the update alone is measured
    MessageCallback callback(state.range(1) != 0);
    ksThread::setFrameNumber(++s_frame);
    map->update(s_frame); // the first makes the textures
    ksThreadBuffer::synchronize();
    long allocations = 0;
    for (auto _ : state) {
        ksThread::setFrameNumber(++s_frame);
        const long before = s_allocations.load();
        map->update(s_frame);
        allocations += s_allocations.load() - before;
        state.PauseTiming();
        ksThreadBuffer::synchronize();
        state.ResumeTiming();
    }
    perLobe(state, count);
    state.counters["allocations_per_frame"] =
        static_cast<double>(allocations) / static_cast<double>(state.iterations());
}

// Delivering one frame's update tokens to the pipeline's clones.
void BM_TokenDelivery(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    Lobes& lobes = *lobesFor(count);
    lobes.setHits();
    kxLightMap* map = kxLightMap::instance();
    map->setIsectorService(nullptr);
    ksThread::setFrameNumber(++s_frame);
    map->update(s_frame);
    ksThreadBuffer::synchronize();
    long allocations = 0;
    for (auto _ : state) {
        state.PauseTiming();
        ksThread::setFrameNumber(++s_frame);
        map->update(s_frame);
        state.ResumeTiming();
        const long before = s_allocations.load();
        ksThreadBuffer::synchronize();
        allocations += s_allocations.load() - before;
    }
    perLobe(state, count);
    state.counters["allocations_per_frame"] =
        static_cast<double>(allocations) / static_cast<double>(state.iterations());
}

void BM_CullTwoChannels(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    Lobes& lobes = *lobesFor(count);
    World& world = World::get();
    MessageCallback callback(state.range(1) != 0);
    const int pipeline = world.window->getThreadBuffer()->getIndex();
    ksNode* root = world.scene->getRoot()->getClone(pipeline);
    auto cullFrame = [&]() {
        std::size_t records = 0;
        ++s_frame;
        for (auto& channel : world.channels) {
            ksChannelBinMgr* bins = channel->getChannelBinMgr();
            bins->beginFrame(s_frame);
            ksTraversalCull traversal(channel.get(), bins, channel->getId(), pipeline, s_frame);
            traversal.traverse(root);
            records += bins->getBin(kxLightMap::getMapCreateBinID())->size();
        }
        for (auto& channel : world.channels)
            channel->getChannelBinMgr()->recycleFrame(s_frame);
        return records;
    };
    cullFrame(); // the first frame fills the pools
    const long before = s_allocations.load();
    std::size_t records = 0;
    for (auto _ : state)
        records += cullFrame();
    state.counters["allocations_after_first_frame"] =
        static_cast<double>(s_allocations.load() - before);
    state.counters["ns_per_record"] = benchmark::Counter(
        static_cast<double>(records), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["records_per_frame"] =
        static_cast<double>(records) / static_cast<double>(state.iterations());
    state.SetItemsProcessed(static_cast<long>(records));
    (void)lobes;
}

// The lobes' three probes each, cast by a service: synchronously (CPU time per lobe) or by the
// asynchronous service's worker between frames (wall time per lobe, both cores).
void BM_LineOfSight(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    const bool asynchronous = state.range(1) != 0;
    Lobes& lobes = *lobesFor(count);
    kxLightMap* map = kxLightMap::instance();
    map->setIsectorService(nullptr);
    ksThread::setFrameNumber(++s_frame);
    map->update(s_frame); // aims the probes at the scene
    ksThreadBuffer::synchronize();
    kuRef<kxIsectorService> service =
        asynchronous ? new kxIsectorServiceAsynchronous : new kxIsectorService;
    for (auto& lobe : lobes.lobes)
        for (int k = 0; k < kxLightLobe::NUM_ISECTORS; ++k)
            service->addIsector(lobe->getIsector(k), kxIsectorService::MODE_CONTINUOUS);
    service->run(); // builds the ray-tracing scene
    long hits = 0;
    for (auto _ : state) {
        if (asynchronous) {
            kxIsectorService::startAll();
            kxIsectorService::finishAll();
        } else {
            service->run();
        }
    }
    for (auto& lobe : lobes.lobes)
        hits += lobe->getIsector(0)->getHit(nullptr, nullptr) == 1;
    for (auto& lobe : lobes.lobes)
        for (int k = 0; k < kxLightLobe::NUM_ISECTORS; ++k)
            service->removeIsector(lobe->getIsector(k));
    perLobe(state, count);
    state.counters["first_probe_hits"] = static_cast<double>(hits);
}

// Set-up (made, placed, added to the scene, cloned for the pipeline, first update), resident
// memory and destruction of 100,000 lobes.
void BM_HundredThousandLobes(benchmark::State& state) {
    World::get();
    lobesFor(0); // no other lobes alive
    kxLightMap* map = kxLightMap::instance();
    map->setIsectorService(nullptr);
    using Clock = std::chrono::steady_clock;
    // The machine is shared: CPU time beside wall time.
    auto cpu = [] {
        timespec t{};
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
        return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
    };
    for (auto _ : state) {
        const double residentBefore = residentMiB();
        const auto start = Clock::now();
        const double cpuStart = cpu();
        auto lobes = std::make_unique<Lobes>(100000);
        ksThread::setFrameNumber(++s_frame);
        map->update(s_frame);
        ksThreadBuffer::synchronize();
        const auto made = Clock::now();
        const double cpuMade = cpu();
        const double resident = residentMiB();
        lobes.reset();
        const auto gone = Clock::now();
        state.counters["setup_s"] = std::chrono::duration<double>(made - start).count();
        state.counters["setup_cpu_s"] = cpuMade - cpuStart;
        state.counters["destroy_s"] = std::chrono::duration<double>(gone - made).count();
        state.counters["destroy_cpu_s"] = cpu() - cpuMade;
        state.counters["resident_MiB"] = resident;
        state.counters["resident_added_MiB"] = resident - residentBefore;
    }
}

void registerAll() {
    benchmark::RegisterBenchmark("BM_HundredThousandLobes", BM_HundredThousandLobes)
        ->Iterations(1)
        ->Unit(benchmark::kMillisecond);
    for (int count : COUNTS) {
        for (int callback : {0, 1})
            benchmark::RegisterBenchmark("BM_Update", BM_Update)
                ->Args({count, callback})
                ->ArgNames({"lobes", "callback"})
                ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("BM_TokenDelivery", BM_TokenDelivery)
            ->Args({count})
            ->ArgNames({"lobes"})
            ->Unit(benchmark::kMillisecond);
        for (int callback : {0, 1})
            benchmark::RegisterBenchmark("BM_CullTwoChannels", BM_CullTwoChannels)
                ->Args({count, callback})
                ->ArgNames({"lobes", "callback"})
                ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("BM_LineOfSight", BM_LineOfSight)
            ->Args({count, 0})
            ->ArgNames({"lobes", "asynchronous"})
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("BM_LineOfSight", BM_LineOfSight)
            ->Args({count, 1})
            ->ArgNames({"lobes", "asynchronous"})
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
    }
}

} // namespace

int main(int argc, char** argv) {
    registerAll();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
