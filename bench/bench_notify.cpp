// The cost of a debug message nobody wants, as a lobe's update prints dozens per frame: no
// callback, a callback whose level filters it out, and (the baseline of what a filtered message
// cost while any callback took every level) a callback that receives it.
#include <ku/kuNotify.h>

#include <benchmark/benchmark.h>

namespace {

void receive(int, const kuBase::ClassType*, const char*, void* count) {
    ++*static_cast<long*>(count);
}

// Prints one lobe-like debug message per iteration with the callback (if any) at callbackLevel.
void printDebug(benchmark::State& state, bool callback, int callbackLevel) {
    long received = 0;
    kuNotify::setCallbackLevel(callbackLevel);
    kuNotify::setCallback(callback ? &receive : nullptr, &received);
    const double position[3] = {12.5, -40.25, 3.0};
    int vertex = 0;
    for (auto _ : state) {
        kuNotify::print(kuNotify::DEBUG, nullptr, "kxLightLobe %s: vertex %d at (%f, %f, %f)",
                        "lamp", vertex, position[0], position[1], position[2]);
        vertex = (vertex + 1) & 15;
    }
    kuNotify::setCallback(nullptr, nullptr);
    kuNotify::setCallbackLevel(kuNotify::DEBUG);
    state.SetItemsProcessed(state.iterations());
    state.counters["received"] = static_cast<double>(received);
}

void BM_FilteredNoCallback(benchmark::State& state) {
    printDebug(state, false, kuNotify::DEBUG);
}
void BM_FilteredByCallbackLevel(benchmark::State& state) {
    printDebug(state, true, kuNotify::WARN);
}
void BM_DeliveredToCallback(benchmark::State& state) {
    printDebug(state, true, kuNotify::DEBUG);
}

} // namespace

BENCHMARK(BM_FilteredNoCallback);
BENCHMARK(BM_FilteredByCallbackLevel);
BENCHMARK(BM_DeliveredToCallback);

BENCHMARK_MAIN();
