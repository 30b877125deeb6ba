#include <kx/kxIsectorServiceAsynchronous.h>

#include "kx/detail/kxLineOfSightScene.h"

#include <kx/kxIsectorLOS.h>

#include <condition_variable>
#include <thread>

namespace {
kuBase::ClassType* s_classType = nullptr;
kuRef<kxIsectorServiceAsynchronous> s_default;
} // namespace

// The worker thread and the run it is handed. The batch is prepared, stored and cleared by the
// application thread while no run is pending; the worker casts from it only between PENDING and
// DONE, and the application thread may cast with it meanwhile (the batch shares its probes
// out). It keeps its probes from one run to the next (see kxLineOfSightBatch::prepare).
struct kxIsectorServiceAsynchronous::Worker {
    enum State { IDLE, PREPARED, PENDING, RUNNING, DONE };

    std::mutex mutex;
    std::condition_variable changed;
    State state = IDLE;
    bool stop = false;
    std::atomic<bool> cancel{false};
    std::thread thread;
    kxLineOfSightBatch batch;
    std::vector<kxIsectorLOS*> probes;
    std::vector<kuRef<kxIsectorLOS>> once; // the run's MODE_ONCE probes, retired at its end

    void loop() {
        // The ray tracer wants denormals flushed on every thread that casts.
        kxLineOfSightScene::FloatModeGuard floatMode;
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            changed.wait(lock, [this] { return stop || state == PENDING; });
            if (stop)
                return;
            state = RUNNING;
            lock.unlock();
            batch.castAll(&cancel);
            lock.lock();
            state = DONE;
            changed.notify_all();
        }
    }
};

kxIsectorServiceAsynchronous::kxIsectorServiceAsynchronous() : m_worker(new Worker) {
    registerInstance(s_classType);
}

kxIsectorServiceAsynchronous::~kxIsectorServiceAsynchronous() {
    // Out of the registry first, so that no hook reaches a half-destroyed service.
    unregisterService();
    {
        std::lock_guard<std::mutex> guard(m_worker->mutex);
        m_worker->stop = true;
        m_worker->cancel.store(true);
    }
    m_worker->changed.notify_all();
    if (m_worker->thread.joinable())
        m_worker->thread.join();
    m_worker->batch.clear();
    unregisterInstance(s_classType);
}

int kxIsectorServiceAsynchronous::run() {
    completeRun();
    return kxIsectorService::run();
}

void kxIsectorServiceAsynchronous::prepareRun() {
    completeRun();
    Worker& w = *m_worker;
    snapshotProbes(&w.probes, &w.once);
    w.batch.prepare(w.probes);
    std::lock_guard<std::mutex> guard(w.mutex);
    w.state = Worker::PREPARED;
}

void kxIsectorServiceAsynchronous::launchRun() {
    Worker& w = *m_worker;
    {
        std::lock_guard<std::mutex> guard(w.mutex);
        if (w.state != Worker::PREPARED)
            return;
        if (w.batch.empty()) {
            // Nothing to cast: the run is complete as it stands.
            w.state = Worker::DONE;
            return;
        }
        if (!w.thread.joinable())
            w.thread = std::thread(&Worker::loop, &w);
        w.state = Worker::PENDING;
    }
    w.changed.notify_all();
}

void kxIsectorServiceAsynchronous::completeRun() {
    Worker& w = *m_worker;
    {
        std::unique_lock<std::mutex> lock(w.mutex);
        if (w.state == Worker::IDLE)
            return;
        if (w.state == Worker::PREPARED) {
            // Prepared but never launched: nothing to deliver.
            w.state = Worker::IDLE;
            w.once.clear();
            return;
        }
        if (w.state != Worker::DONE) {
            // Rather than sleep until the worker is through, cast what it has not taken yet:
            // the run ends sooner and this thread's warm caches do part of it.
            lock.unlock();
            w.batch.castAll(&w.cancel);
            lock.lock();
        }
        w.changed.wait(lock, [&w] { return w.state == Worker::DONE; });
        w.state = Worker::IDLE;
    }
    w.batch.store();
    retireOnce(w.once);
    w.once.clear();
}

void kxIsectorServiceAsynchronous::releaseRun() {
    completeRun();
    m_worker->batch.clear();
    kxIsectorService::releaseRun();
}

kxIsectorServiceAsynchronous* kxIsectorServiceAsynchronous::obtainDefault() {
    if (!s_default)
        s_default = new kxIsectorServiceAsynchronous;
    return s_default.get();
}

void kxIsectorServiceAsynchronous::releaseDefault() {
    s_default.reset();
}

const kuBase::ClassType* kxIsectorServiceAsynchronous::getClassType() const {
    return s_classType;
}
kuBase::ClassType* kxIsectorServiceAsynchronous::getStaticClassType() {
    return s_classType;
}

int kxIsectorServiceAsynchronous::initializeClass() {
    if (!s_classType)
        s_classType = new ClassType("kxIsectorServiceAsynchronous",
                                    kxIsectorService::getStaticClassType(), nullptr, true, false);
    return KU_SUCCESS;
}

int kxIsectorServiceAsynchronous::shutdownClass() {
    releaseDefault();
    delete s_classType;
    s_classType = nullptr;
    return KU_SUCCESS;
}
