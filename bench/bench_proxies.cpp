// Proxy requests: setter requests posted from 8 threads, then executed by the update thread
// (each rate on its own), against the same setters called directly on the application thread;
// and how long a sync from another thread waits within a 60 Hz frame loop.
#include <kxlightlobe.h>
#include <kxlightlobeproxies.h>

#include <ku/kuTime.h>
#include <kx/kxKernel.h>
#include <kx/kxModule.h>
#include <kx/kxProxyMgr.h>
#include <kx/kxScene.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int THREADS = 8;
constexpr int SETS_PER_THREAD = 100000;

std::vector<kxLightLobe*> s_lobes;

// Posts SETS_PER_THREAD setter requests from each of 8 threads at once (timed), then executes
// them all on this, the update thread (timed apart).
void BM_SetterRequests(benchmark::State& state) {
    double postSeconds = 0, executeSeconds = 0;
    long requests = 0;
    for (auto _ : state) {
        std::vector<kuRef<kxProxies::kxLightLobe>> proxies;
        for (int t = 0; t < THREADS; ++t)
            proxies.push_back(new kxProxies::kxLightLobe(s_lobes[t]->getName(), 0));
        std::atomic<int> ready{0};
        std::atomic<bool> go{false};
        std::vector<std::thread> threads;
        for (int t = 0; t < THREADS; ++t)
            threads.emplace_back([&, t] {
                kxProxies::kxLightLobe* proxy = proxies[t].get();
                ++ready;
                while (!go.load())
                    std::this_thread::yield();
                for (int n = 0; n < SETS_PER_THREAD; ++n)
                    proxy->setBrightness(static_cast<float>(n));
            });
        while (ready.load() < THREADS)
            std::this_thread::yield();
        const double start = kuTime::get();
        go = true;
        for (std::thread& thread : threads)
            thread.join();
        const double posted = kuTime::get();
        const unsigned long long before = kxProxyMgr::getNumExecuted();
        kxProxyMgr::processRequests();
        const double executed = kuTime::get();
        if (kxProxyMgr::getNumExecuted() - before !=
            static_cast<unsigned long long>(THREADS) * SETS_PER_THREAD)
            state.SkipWithError("requests lost");
        postSeconds += posted - start;
        executeSeconds += executed - posted;
        requests += static_cast<long>(THREADS) * SETS_PER_THREAD;
        state.SetIterationTime(executed - start);
    }
    state.SetItemsProcessed(requests);
    state.counters["posted_per_s"] = static_cast<double>(requests) / postSeconds;
    state.counters["executed_per_s"] = static_cast<double>(requests) / executeSeconds;
}

// Baseline: the same number of setter calls made directly on the application thread.
void BM_DirectSetters(benchmark::State& state) {
    long calls = 0;
    for (auto _ : state) {
        for (int t = 0; t < THREADS; ++t)
            for (int n = 0; n < SETS_PER_THREAD; ++n) {
                s_lobes[t]->setBrightness(static_cast<float>(n));
                benchmark::ClobberMemory();
            }
        calls += static_cast<long>(THREADS) * SETS_PER_THREAD;
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(calls);
}

// Frames paced at 60 Hz on this thread while another thread syncs at random moments.
void BM_SyncLatencyAt60Hz(benchmark::State& state) {
    const double period = 1.0 / 60.0;
    for (auto _ : state) {
        std::vector<double> waits;
        std::atomic<bool> done{false};
        std::thread syncer([&] {
            kuRef<kxProxies::kxLightLobe> proxy =
                new kxProxies::kxLightLobe(s_lobes[0]->getName(), 0);
            std::mt19937 random(7);
            std::uniform_int_distribution<int> pause(0, 17000);
            for (int i = 0; i < 150; ++i) {
                std::this_thread::sleep_for(std::chrono::microseconds(pause(random)));
                const double start = kuTime::get();
                if (proxy->sync(kxProxies::kxLightLobe::PROPERTY_BRIGHTNESS) != 1)
                    break;
                waits.push_back(kuTime::get() - start);
            }
            done = true;
        });
        const double start = kuTime::get();
        int frames = 0;
        int late = 0;
        while (!done.load()) {
            // A frame that starts more than a millisecond late: the machine was busy.
            late += kuTime::get() - (start + frames * period) > 0.001;
            kxKernel::instance()->runFrame();
            ++frames;
            const double next = start + frames * period;
            const double now = kuTime::get();
            if (next > now)
                std::this_thread::sleep_for(std::chrono::duration<double>(next - now));
        }
        syncer.join();
        state.SetIterationTime(kuTime::get() - start);
        std::sort(waits.begin(), waits.end());
        if (waits.empty()) {
            state.SkipWithError("no sync returned");
            break;
        }
        const auto at = [&](double q) {
            return waits[std::min(waits.size() - 1, static_cast<std::size_t>(q * waits.size()))];
        };
        state.counters["syncs"] = static_cast<double>(waits.size());
        state.counters["median_ms"] = at(0.5) * 1000;
        state.counters["p99_ms"] = at(0.99) * 1000;
        state.counters["max_ms"] = waits.back() * 1000;
        state.counters["frame_ms"] = period * 1000;
        state.counters["late_frames"] = late;
        state.counters["frames"] = frames;
    }
}

} // namespace

BENCHMARK(BM_SetterRequests)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_DirectSetters)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SyncLatencyAt60Hz)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    kxProxyMgr::start();
    if (kxKernel::initialize(0, nullptr) != 1 || kxModule::initializeModule("kxlightlobe") != 1 ||
        kxModule::find("kxlightlobe")->initialize(0, nullptr) != 1)
        return 1;
    {
        // A scene of 8 lobes over nothing: frames are cheap, so the latency is the loop's.
        kuRef<kxScene> scene = new kxScene;
        for (int t = 0; t < THREADS; ++t) {
            kuRef<kxLightLobe> lobe = kxLightLobe::create();
            lobe->setName(("lobe" + std::to_string(t)).c_str());
            scene->addChild(lobe.get());
            s_lobes.push_back(lobe.get());
        }
        kxKernel::instance()->configure();
        benchmark::RunSpecifiedBenchmarks();
        kxKernel::instance()->unconfigure();
        s_lobes.clear();
    }
    kxKernel::shutdown();
    benchmark::Shutdown();
    return 0;
}
