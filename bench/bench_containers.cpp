// The runtime's growing containers at scale: 100,000 cloud layers in an environment, probes in
// a line-of-sight service, children under one node and instances of one class type, each
// added and then removed. Only the phase named by the second argument is timed (0 adds, 1
// removes; manual time, so making the elements is not counted); items per second count the
// elements added or removed. Removal goes oldest first,
// except for children, which go newest first (see BM_Children).
#include <ks/ksNode.h>
#include <ks/ksThreadBuffer.h>
#include <kx/kxEnv.h>
#include <kx/kxIsectorLOS.h>
#include <kx/kxIsectorService.h>
#include <kx/kxKernel.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <vector>

namespace {

enum Phase { ADD = 0, REMOVE = 1 };

// Runs add over every element, then remove, timing the phase the benchmark asks for.
template <class Add, class Remove>
void timePhases(benchmark::State& state, Add add, Remove remove) {
    const int count = static_cast<int>(state.range(0));
    const auto phase = static_cast<Phase>(state.range(1));
    using Clock = std::chrono::steady_clock;
    bool ok = true;
    const auto run = [&](auto step, bool timed) {
        const Clock::time_point start = Clock::now();
        for (int i = 0; i < count; ++i)
            ok = step(i) && ok;
        if (timed)
            state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    };
    run(add, phase == ADD);
    run(remove, phase == REMOVE);
    if (!ok)
        state.SkipWithError("an add or a remove was refused");
}

void BM_CloudLayers(benchmark::State& state) {
    for (auto _ : state) {
        kuRef<kxEnv> env = new kxEnv;
        env->addEffect(new kxEnvSun);
        std::vector<kuRef<kxEnvCloudLayer>> layers;
        for (int i = 0; i < state.range(0); ++i)
            layers.emplace_back(new kxEnvCloudLayer);
        timePhases(
            state, [&](int i) { return env->addEffect(layers[i].get()) == 1; },
            [&](int i) { return env->removeEffect(layers[i].get()) == 1; });
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_Probes(benchmark::State& state) {
    for (auto _ : state) {
        kuRef<kxIsectorService> service = new kxIsectorService;
        std::vector<kuRef<kxIsectorLOS>> probes;
        for (int i = 0; i < state.range(0); ++i)
            probes.emplace_back(new kxIsectorLOS);
        timePhases(
            state,
            [&](int i) {
                return service->addIsector(probes[i].get(), kxIsectorService::MODE_CONTINUOUS) == 1;
            },
            [&](int i) { return service->removeIsector(probes[i].get()) == 1; });
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

// Children leave newest first: a node's children are a vector in order, so taking the oldest
// first would shift the rest at each removal.
void BM_Children(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    for (auto _ : state) {
        kuRef<ksNode> parent = new ksNode;
        std::vector<kuRef<ksNode>> children;
        for (int i = 0; i < count; ++i)
            children.emplace_back(new ksNode);
        ksThreadBuffer::synchronize(); // a frame boundary: the new nodes are settled
        timePhases(
            state, [&](int i) { return parent->addChild(children[i].get()) == 1; },
            [&](int i) { return parent->removeChild(children[count - 1 - i].get()) == 1; });
        ksThreadBuffer::synchronize();
        children.clear();
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

struct Thing : kuBase {};

void BM_ClassInstances(benchmark::State& state) {
    kuBase::ClassType type("BenchThing", kuBase::getStaticClassType(), nullptr, true, false);
    for (auto _ : state) {
        std::vector<kuRef<Thing>> things;
        for (int i = 0; i < state.range(0); ++i)
            things.emplace_back(new Thing);
        timePhases(
            state,
            [&](int i) {
                things[i]->registerInstance(&type);
                return true;
            },
            [&](int i) {
                things[i]->unregisterInstance(&type);
                return true;
            });
        if (!type.isEmpty(false))
            state.SkipWithError("instances left behind");
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

#define KX_CONTAINER_BENCHMARK(name)                                                               \
    BENCHMARK(name)                                                                                \
        ->ArgNames({"elements", "remove"})                                                         \
        ->ArgsProduct({{100000}, {ADD, REMOVE}})                                                   \
        ->UseManualTime()                                                                          \
        ->Unit(benchmark::kMillisecond)

KX_CONTAINER_BENCHMARK(BM_CloudLayers);
KX_CONTAINER_BENCHMARK(BM_Probes);
KX_CONTAINER_BENCHMARK(BM_Children);
KX_CONTAINER_BENCHMARK(BM_ClassInstances);

} // namespace

int main(int argc, char** argv) {
    if (kxKernel::initialize(0, nullptr) != 1) {
        std::fprintf(stderr, "bench_containers: the runtime did not start\n");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    kxKernel::shutdown();
    return 0;
}
