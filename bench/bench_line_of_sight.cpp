// Line-of-sight probes on a terrain of a million triangles: the asynchronous service (startAll
// and finishAll, as the kernel drives it each frame) against a bare loop of single-ray queries
// over the same triangles and the same rays, built here with the ray tracer directly. Rates are
// probes per CPU second of the whole process; ratio_vs_bare is the service's rate over the bare
// loop's, measured interleaved or back to back (see compareWithBaseline).
#include <kr/krGeometry.h>
#include <ks/ksNode.h>
#include <kx/kxIsectorLOS.h>
#include <kx/kxIsectorService.h>
#include <kx/kxIsectorServiceAsynchronous.h>
#include <kx/kxKernel.h>
#include <kx/kxTerrain.h>

#include <benchmark/benchmark.h>
#include <embree3/rtcore.h>
#include <pmmintrin.h>
#include <xmmintrin.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <time.h>
#include <vector>

namespace {

constexpr int RESOLUTION = 708; // 2 * 708^2 = 1,002,528 triangles
constexpr double SIZE = 2000;
constexpr double RANGE = 5000;
constexpr int MAX_PROBES = 30000;

struct Ray {
    double x, y, z, heading, pitch;
};

// Everything both sides share, made once.
struct World {
    kuRef<ksNode> root;
    kuRef<kxTerrain> terrain;
    std::vector<Ray> rays;
    std::vector<float> bareRays; // origin and direction of each ray, as the service casts it
    RTCDevice device = nullptr;
    RTCScene bareScene = nullptr;

    World() {
        root = new ksNode;
        terrain = new kxTerrain;
        terrain->setResolution(RESOLUTION);
        terrain->setSize(SIZE);
        terrain->setAmplitude(40);
        terrain->build();
        root->addChild(terrain.get());

        std::mt19937 random(2024);
        std::uniform_real_distribution<double> across(-0.45 * SIZE, 0.45 * SIZE), above(2, 200),
            heading(-180, 180), pitch(-90, -15);
        for (int i = 0; i < MAX_PROBES; ++i) {
            Ray ray;
            ray.x = across(random), ray.y = across(random);
            ray.z = terrain->getHeightAt(ray.x, ray.y) + above(random);
            ray.heading = heading(random), ray.pitch = pitch(random);
            rays.push_back(ray);
            // The service's direction for the same heading and pitch, in single precision.
            const double d = M_PI / 180.0;
            const double ch = std::cos(ray.heading * d), sh = std::sin(ray.heading * d);
            const double cp = std::cos(ray.pitch * d), sp = std::sin(ray.pitch * d);
            bareRays.insert(bareRays.end(), {float(ray.x), float(ray.y), float(ray.z),
                                             float(-sh * cp), float(ch * cp), float(sp)});
        }

        // The baseline: the terrain's triangles in one scene, queried directly.
        device = rtcNewDevice(nullptr);
        bareScene = makeScene();
    }

    RTCScene makeScene() const {
        const krGeometry& geometry = *terrain->getGeometry(0);
        const std::vector<kuVec3f>& vertices = geometry.getVertices();
        const std::vector<unsigned int> indices = geometry.getTriangleIndices();
        RTCGeometry mesh = rtcNewGeometry(device, RTC_GEOMETRY_TYPE_TRIANGLE);
        std::memcpy(rtcSetNewGeometryBuffer(mesh, RTC_BUFFER_TYPE_VERTEX, 0, RTC_FORMAT_FLOAT3,
                                            sizeof(kuVec3f), vertices.size()),
                    vertices.data(), vertices.size() * sizeof(kuVec3f));
        std::memcpy(rtcSetNewGeometryBuffer(mesh, RTC_BUFFER_TYPE_INDEX, 0, RTC_FORMAT_UINT3,
                                            3 * sizeof(unsigned int), indices.size() / 3),
                    indices.data(), indices.size() * sizeof(unsigned int));
        rtcCommitGeometry(mesh);
        RTCScene scene = rtcNewScene(device);
        rtcAttachGeometry(scene, mesh);
        rtcReleaseGeometry(mesh);
        rtcCommitScene(scene);
        return scene;
    }

    ~World() {
        rtcReleaseScene(bareScene);
        rtcReleaseDevice(device);
    }
};

World* s_world = nullptr;
// Probes per second of BM_BareLoop (back to back) by probe count, for the services' runs that
// are back to back too.
std::map<int, double> s_bareRate;

// CPU seconds of the whole process (every thread, the service's worker included): machines
// that others share preempt the benchmark, which wall-clock rates would count against it.
double processSeconds() {
    timespec now;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + 1e-9 * double(now.tv_nsec);
}
double wallSeconds() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec) + 1e-9 * double(now.tv_nsec);
}

// One pass of the baseline over the first count rays: process CPU seconds (wall-clock seconds
// in *wall); hits counted.
double barePass(RTCScene scene, int count, long* hits, double* wall = nullptr) {
    const unsigned int floatMode = _mm_getcsr();
    _MM_SET_FLUSH_ZERO_MODE(_MM_FLUSH_ZERO_ON);
    _MM_SET_DENORMALS_ZERO_MODE(_MM_DENORMALS_ZERO_ON);
    const double start = processSeconds(), wallStart = wallSeconds();
    RTCIntersectContext context;
    rtcInitIntersectContext(&context);
    *hits = 0;
    for (int i = 0; i < count; ++i) {
        const float* r = &s_world->bareRays[static_cast<std::size_t>(i) * 6];
        RTCRayHit rayHit;
        rayHit.ray.org_x = r[0], rayHit.ray.org_y = r[1], rayHit.ray.org_z = r[2];
        rayHit.ray.dir_x = r[3], rayHit.ray.dir_y = r[4], rayHit.ray.dir_z = r[5];
        rayHit.ray.tnear = 0, rayHit.ray.tfar = float(RANGE), rayHit.ray.time = 0;
        rayHit.ray.mask = 0xffffffffu, rayHit.ray.id = 0, rayHit.ray.flags = 0;
        rayHit.hit.geomID = RTC_INVALID_GEOMETRY_ID;
        rayHit.hit.instID[0] = RTC_INVALID_GEOMETRY_ID;
        rtcIntersect1(scene, &context, &rayHit);
        *hits += rayHit.hit.geomID != RTC_INVALID_GEOMETRY_ID;
    }
    const double elapsed = processSeconds() - start;
    if (wall)
        *wall = wallSeconds() - wallStart;
    _mm_setcsr(floatMode);
    return elapsed;
}

void BM_BareLoop(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    long hits = 0;
    double seconds = 0;
    for (auto _ : state) {
        const double elapsed = barePass(s_world->bareScene, count, &hits);
        seconds += elapsed;
        state.SetIterationTime(elapsed);
    }
    s_bareRate[count] = double(state.iterations()) * count / seconds;
    state.SetItemsProcessed(state.iterations() * count);
    state.counters["hits"] = double(hits);
    state.counters["triangles"] = s_world->terrain->getNumTriangles();
}

std::vector<kuRef<kxIsectorLOS>> makeProbes(int count) {
    std::vector<kuRef<kxIsectorLOS>> probes;
    for (int i = 0; i < count; ++i) {
        const Ray& r = s_world->rays[static_cast<std::size_t>(i)];
        kuRef<kxIsectorLOS> probe = new kxIsectorLOS;
        probe->setTarget(s_world->root.get());
        probe->setPosition(r.x, r.y, r.z);
        probe->setOrientation(r.heading, r.pitch, 0);
        probe->setSegmentRange(RANGE);
        // Nearest hits, as the baseline finds.
        probe->setMode(kxIsectorLOS::MODE_DEFAULT | kxIsectorLOS::MODE_NEAREST);
        probes.push_back(probe);
    }
    return probes;
}

// Interleaved (second argument 1): each iteration runs one pass of the baseline and then one
// run of the service, so that both meet the same load from other processes and the same cold
// caches, as a frame's casts do; ratio_vs_bare is then the median of the iterations' ratios,
// which a burst of load on this shared machine moves less than a ratio of sums, and
// wall_ratio_vs_bare the same in wall-clock time (the rate a frame sees: an asynchronous run
// is cast by two threads when the application thread waits for it). Back to back
// (0): the service runs alone with its caches warm, compared with BM_BareLoop, which ran the
// same way. The iteration time is the service's alone.
double median(std::vector<double> values) {
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
}

template <class Run>
void compareWithBaseline(benchmark::State& state, const std::vector<kuRef<kxIsectorLOS>>& probes,
                         Run run) {
    const int count = static_cast<int>(probes.size());
    const bool interleaved = state.range(1) != 0;
    double bare = 0, service = 0;
    std::vector<double> ratios, wallRatios;
    long hits = 0;
    for (auto _ : state) {
        double bareWall = 0;
        const double barePassSeconds =
            interleaved ? barePass(s_world->bareScene, count, &hits, &bareWall) : 0.0;
        const double start = processSeconds(), wallStart = wallSeconds();
        run();
        const double elapsed = processSeconds() - start, wall = wallSeconds() - wallStart;
        bare += barePassSeconds;
        service += elapsed;
        if (interleaved) {
            ratios.push_back(barePassSeconds / elapsed);
            wallRatios.push_back(bareWall / wall);
        }
        state.SetIterationTime(elapsed);
    }
    double serviceHits = 0;
    for (const auto& probe : probes)
        serviceHits += probe->getHitPoint(nullptr) == 1;
    const double n = double(state.iterations()) * count;
    state.SetItemsProcessed(state.iterations() * count);
    state.counters["hits"] = serviceHits;
    const double bareRate = interleaved ? n / bare : s_bareRate[count];
    state.counters["bare_per_second"] = bareRate;
    if (interleaved) {
        state.counters["ratio_vs_bare"] = median(ratios);
        state.counters["wall_ratio_vs_bare"] = median(wallRatios);
    } else {
        state.counters["ratio_vs_bare"] = n / service / bareRate;
    }
}

// One frame's worth: startAll hands the probes to the worker, finishAll stores the results.
void BM_AsynchronousService(benchmark::State& state) {
    const std::vector<kuRef<kxIsectorLOS>> probes = makeProbes(static_cast<int>(state.range(0)));
    kuRef<kxIsectorServiceAsynchronous> service = new kxIsectorServiceAsynchronous;
    for (const auto& probe : probes)
        service->addIsector(probe.get(), kxIsectorService::MODE_CONTINUOUS);
    // The first run builds the ray-tracing scene; frames after it only cast.
    kxIsectorService::startAll();
    kxIsectorService::finishAll();
    compareWithBaseline(state, probes, [] {
        kxIsectorService::startAll();
        kxIsectorService::finishAll();
    });
}

// The same probes cast on the calling thread by a synchronous service's run().
void BM_SynchronousRun(benchmark::State& state) {
    const std::vector<kuRef<kxIsectorLOS>> probes = makeProbes(static_cast<int>(state.range(0)));
    kuRef<kxIsectorService> service = new kxIsectorService;
    for (const auto& probe : probes)
        service->addIsector(probe.get(), kxIsectorService::MODE_CONTINUOUS);
    service->run();
    compareWithBaseline(state, probes, [&service] { service->run(); });
}

// Times are process CPU seconds, handed over as manual times. The baseline runs first, so that
// the back-to-back runs of the services find its rate.
BENCHMARK(BM_BareLoop)->Arg(3000)->Arg(30000)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AsynchronousService)
    ->ArgNames({"probes", "interleaved"})
    ->ArgsProduct({{3000, 30000}, {1, 0}})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SynchronousRun)
    ->ArgNames({"probes", "interleaved"})
    ->ArgsProduct({{3000, 30000}, {1, 0}})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    if (kxKernel::initialize(0, nullptr) != 1) {
        std::fprintf(stderr, "bench_line_of_sight: the runtime did not start\n");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    s_world = new World;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    delete s_world;
    s_world = nullptr;
    kxKernel::shutdown();
    return 0;
}
