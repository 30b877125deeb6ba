#include <kx/kxKernel.h>

#include "kx/detail/runtimeClasses.h"

#include <kr/krShaderAtomRegistry.h>
#include <kr/krWindow.h>
#include <ks/ksChannel.h>
#include <ks/ksServiceMgr.h>
#include <ks/ksThreadBuffer.h>
#include <ks/ksWindow.h>
#include <ks/ksgu.h>
#include <ku/kuNotify.h>
#include <ku/kuParameter.h>
#include <ku/kuStat.h>
#include <kx/kxEnv.h>
#include <kx/kxIsectorService.h>
#include <kx/kxModule.h>
#include <kx/kxObserver.h>
#include <kx/kxPagingMgr.h>
#include <kx/kxPositionable.h>
#include <kx/kxProxyMgr.h>
#include <kx/kxScene.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <cstdlib>
#include <cstring>

namespace {
kxKernel* s_kernel = nullptr;
struct LayerHooks {
    kxKernel::LayerHook start;
    kxKernel::LayerHook stop;
};
// Zero before any static initialiser runs, so a registrar in any unit may fill it.
LayerHooks s_layerHooks[kxKernel::MAX_LAYER_HOOKS];
int s_numLayerHooks = 0;

// Reads "--notify LEVEL" or "--notify=LEVEL"; other arguments belong to the application.
void readOptions(int argc, char** argv) {
    for (int i = 1; argv && i < argc; ++i) {
        const char* arg = argv[i];
        if (!arg)
            continue;
        const char* value = nullptr;
        if (std::strcmp(arg, "--notify") == 0 && i + 1 < argc)
            value = argv[++i];
        else if (std::strncmp(arg, "--notify=", 9) == 0)
            value = arg + 9;
        if (!value)
            continue;
        char* end = nullptr;
        const long level = std::strtol(value, &end, 10);
        if (end != value && *end == '\0' && level >= 0 && level <= 10)
            kuNotify::setLevel(static_cast<int>(level));
        else
            kuNotify::print(kuNotify::WARN, nullptr, "kxKernel: ignoring bad --notify level \"%s\"",
                            value);
    }
}
} // namespace

int kxKernel::initialize(int argc, char** argv) {
    if (s_kernel)
        return KU_SUCCESS;
    readOptions(argc, argv);
    ksgu::initializeClassSessionBegin("kxKernel");
    const int status = kxRuntimeClasses::initialize();
    ksgu::initializeClassSessionEnd();
    if (status != KU_SUCCESS) {
        kuNotify::print(kuNotify::FAIL, nullptr, "kxKernel::initialize - unable to initialize");
        kxRuntimeClasses::shutdown();
        return KU_FAILURE;
    }
    ksThreadBuffer::setCurrent(ksThreadBuffer::getMaster());
    s_kernel = new kxKernel;
    s_kernel->ref();
    // Configuration files may use the runtime's keywords as soon as the runtime is up.
    for (int i = 0; i < s_numLayerHooks; ++i)
        if (s_layerHooks[i].start)
            s_layerHooks[i].start();
    return KU_SUCCESS;
}

int kxKernel::addLayerHooks(LayerHook start, LayerHook stop) {
    for (int i = 0; i < s_numLayerHooks; ++i)
        if (s_layerHooks[i].start == start && s_layerHooks[i].stop == stop)
            return KU_SUCCESS;
    if (s_numLayerHooks == MAX_LAYER_HOOKS)
        return KU_FAILURE;
    s_layerHooks[s_numLayerHooks++] = {start, stop};
    return KU_SUCCESS;
}

void kxKernel::shutdown() {
    if (!s_kernel)
        return;
    s_kernel->stopPipelines();
    kxProxyMgr::stop();
    if (s_kernel->m_configured)
        s_kernel->unconfigure();
    else if (!s_kernel->m_modulesShutDown)
        // Modules that were initialized but never configured still release their classes.
        for (int i = kxModule::getNumModules() - 1; i >= 0; --i)
            kxModule::getModule(i)->shutdown();
    // The objects a configuration file made go while their classes and buffers still exist.
    for (int i = s_numLayerHooks - 1; i >= 0; --i)
        if (s_layerHooks[i].stop)
            s_layerHooks[i].stop();
    kxModule::releaseAll();
    ksThreadBuffer::synchronize();
    ksThreadBuffer::shutdown();
    ksThread::releaseServiceMgr();
    ksThread::setFrameNumber(0);
    kxKernel* kernel = s_kernel;
    s_kernel = nullptr;
    kernel->unref();
    kuStat::clear();
    kuParameter::clear();
    kxEnvGlobals::destroy();
    // Kept textures go while their class types still exist.
    kxPagingMgr::destroy();
    kxRuntimeClasses::shutdown();
    // The fixed-function atoms go with the registry; a later start registers them afresh.
    krShaderAtomRegistry::destroy();
}

kxKernel* kxKernel::instance() {
    return s_kernel;
}
bool kxKernel::isInitialized() {
    return s_kernel != nullptr;
}

kxKernel::~kxKernel() = default;

int kxKernel::configure() {
    if (m_configured)
        return KU_SUCCESS;
    const int count = kxModule::getNumModules();
    for (int i = 0; i < count; ++i)
        kxModule::getModule(i)->preConfigure();
    for (int i = 0; i < count; ++i)
        kxModule::getModule(i)->configure();
    m_configured = true;
    m_modulesShutDown = false;
    notify(EVENT_CONFIGURE);
    return KU_SUCCESS;
}

int kxKernel::unconfigure() {
    stopPipelines();
    // Frames end: threads blocked on proxy requests are released and what proxies created
    // goes while its classes still exist.
    kxProxyMgr::stop();
    if (!m_configured)
        return KU_SUCCESS;
    if (m_firstFrameDone) {
        for (int i = kxModule::getNumModules() - 1; i >= 0; --i)
            kxModule::getModule(i)->onLastFrame();
        notify(EVENT_LAST_FRAME);
        m_firstFrameDone = false;
    }
    notify(EVENT_UNCONFIGURE);
    for (int i = kxModule::getNumModules() - 1; i >= 0; --i)
        kxModule::getModule(i)->unconfigure();
    for (int i = kxModule::getNumModules() - 1; i >= 0; --i)
        kxModule::getModule(i)->shutdown();
    m_configured = false;
    m_modulesShutDown = true;
    return KU_SUCCESS;
}

// A window's two threads in pipelined mode. The cull thread culls the frames the application
// thread gives it; each culled frame goes to the draw thread as soon as that one has finished
// the frame before, so the cull of frame N overlaps the draw of frame N-1. The draw thread owns
// the window's GL context while it draws, and recycles every frame it is given, drawn or not.
struct kxKernel::WindowWorker {
    // One thread and the frame it is given.
    struct Stage {
        std::thread thread;
        std::mutex mutex;
        std::condition_variable changed;
        int pending = 0;
        bool busy = false;
        bool stop = false;

        void start(int frame) {
            std::unique_lock<std::mutex> lock(mutex);
            // One frame at a time: the previous one is taken and finished first.
            changed.wait(lock, [this] { return pending == 0 && !busy; });
            pending = frame;
            changed.notify_all();
        }
        void wait() {
            std::unique_lock<std::mutex> lock(mutex);
            changed.wait(lock, [this] { return pending == 0 && !busy; });
        }
        void stopAndJoin() {
            {
                std::lock_guard<std::mutex> guard(mutex);
                stop = true;
            }
            changed.notify_all();
            if (thread.joinable())
                thread.join();
        }
        // Runs work on each frame given, until stopped (a frame given before the stop is done).
        template <class Work>
        void loop(Work work) {
            for (;;) {
                int frame = 0;
                {
                    std::unique_lock<std::mutex> lock(mutex);
                    changed.wait(lock, [this] { return stop || pending != 0; });
                    if (pending == 0)
                        return;
                    frame = pending;
                    pending = 0;
                    busy = true;
                }
                ksThread::setFrameNumber(frame);
                work(frame);
                {
                    std::lock_guard<std::mutex> guard(mutex);
                    busy = false;
                }
                changed.notify_all();
            }
        }
    };

    WindowWorker(kxKernel* kernel, ksWindow* w) : window(w) {
        draw.thread = std::thread([this, kernel] {
            draw.loop([this, kernel](int frame) {
                kernel->drawAndRecycle(window.get(), frame);
                // The application thread may read the window's image between frames.
                if (krWindow* renderWindow = window->getRenderWindow())
                    renderWindow->doneCurrent();
            });
        });
        cull.thread = std::thread([this, kernel] {
            cull.loop([this, kernel](int frame) {
                kernel->cullWindow(window.get(), frame);
                draw.start(frame);
            });
        });
    }
    ~WindowWorker() {
        // The cull thread first: it may still hand a frame to the draw thread.
        cull.stopAndJoin();
        draw.stopAndJoin();
    }
    // Gives the cull thread a frame, holding what that frame reads beyond the window.
    void start(int frame) {
        Hold hold{frame, {}};
        for (int c = 0; c < window->getNumChannels(); ++c) {
            ksChannel* channel = window->getChannel(c);
            hold.objects.emplace_back(channel);
            for (int o = 0; o < kxObserver::getNum(); ++o) {
                kxObserver* observer = kxObserver::get(o);
                if (!observer->hasChannel(channel))
                    continue;
                hold.objects.emplace_back(observer);
                if (kxScene* scene = observer->getScene())
                    hold.objects.emplace_back(scene);
                for (int a = 0; a < observer->getNumAttachments(); ++a)
                    hold.objects.emplace_back(observer->getAttachment(a));
            }
        }
        holds.push_back(std::move(hold));
        cull.start(frame);
    }
    void waitForCull() { cull.wait(); }
    void waitForAll() {
        cull.wait();
        draw.wait();
        holds.clear();
    }
    // Drops the holds of frames up to frame, whose draws have finished.
    void releaseUpTo(int frame) {
        while (!holds.empty() && holds.front().frame <= frame)
            holds.pop_front();
    }

    kuRef<ksWindow> window;
    Stage cull;
    Stage draw;
    // The channels, observers, scenes and observer attachments of each frame in flight, so
    // that an application releasing them mid-frame drops only its own references: the last
    // one goes on the application thread, once the frame is drawn. Application thread only.
    struct Hold {
        int frame;
        std::vector<kuRef<kuBase>> objects;
    };
    std::deque<Hold> holds;
};

int kxKernel::runFrame() {
    if (!m_configured) {
        kuNotify::print(kuNotify::WARN, nullptr, "kxKernel::runFrame - not configured");
        return KU_FAILURE;
    }
    ++m_frame;
    ksThread::setFrameNumber(m_frame);
    ksThread::resolveServiceMgr()->setFrameNumber(m_frame);
    if (!m_firstFrameDone) {
        m_firstFrameDone = true;
        for (int i = 0; i < kxModule::getNumModules(); ++i)
            kxModule::getModule(i)->onFirstFrame();
        notify(EVENT_FIRST_FRAME);
    }
    updateStep();
    // The rendezvous: the windows have culled the previous frame, so the frame's changes can
    // reach every pipeline's clones and the channels' views can be set (kept per frame: the
    // draw threads may still be drawing the previous frame).
    waitForCulls();
    ksThreadBuffer::synchronize();
    for (int o = 0; o < kxObserver::getNum(); ++o)
        if (kxObserver::get(o)->getScene())
            kxObserver::get(o)->updateChannelViews();
    if (m_threadingMode == THREADING_PIPELINED) {
        std::vector<ksWindow*> windows;
        for (int w = 0; w < ksWindow::getNum(); ++w)
            windows.push_back(ksWindow::get(w));
        // Workers of windows gone since the last frame (only the worker still holds them).
        for (auto it = m_workers.begin(); it != m_workers.end();)
            it = (*it)->window->getRef() == 1 ? m_workers.erase(it) : it + 1;
        for (ksWindow* window : windows) {
            WindowWorker* worker = nullptr;
            for (auto& candidate : m_workers)
                if (candidate->window.get() == window)
                    worker = candidate.get();
            if (!worker) {
                m_workers.emplace_back(new WindowWorker(this, window));
                worker = m_workers.back().get();
            }
            // The cull of the previous frame handed it to the draw thread once the draw of
            // the frame before had finished.
            worker->releaseUpTo(m_frame - 2);
            worker->start(m_frame);
        }
    } else {
        for (int w = 0; w < ksWindow::getNum(); ++w)
            processWindow(ksWindow::get(w), m_frame);
    }
    return KU_SUCCESS;
}

void kxKernel::setThreadingMode(int mode) {
    if (mode != THREADING_SERIAL && mode != THREADING_PIPELINED)
        return;
    finishFrames();
    if (mode == THREADING_SERIAL)
        stopPipelines();
    else if (m_threadingMode != mode)
        // Serial frames leave the windows' contexts current on this thread; the draw threads
        // could not take them.
        for (int w = 0; w < ksWindow::getNum(); ++w)
            if (krWindow* renderWindow = ksWindow::get(w)->getRenderWindow())
                if (renderWindow->isCurrent())
                    renderWindow->doneCurrent();
    m_threadingMode = mode;
}

void kxKernel::finishFrames() {
    for (auto& worker : m_workers)
        worker->waitForAll();
}

void kxKernel::waitForCulls() {
    for (auto& worker : m_workers)
        worker->waitForCull();
}

void kxKernel::stopPipelines() {
    finishFrames();
    m_workers.clear();
}

void kxKernel::processWindow(ksWindow* window, int frame) {
    cullWindow(window, frame);
    drawAndRecycle(window, frame);
}

void kxKernel::drawAndRecycle(ksWindow* window, int frame) {
    drawWindow(window, frame);
    window->recycleFrame(frame);
}

void kxKernel::setFrameRate(double framesPerSecond) {
    if (framesPerSecond > 0)
        m_frameRate = framesPerSecond;
}

double kxKernel::getFrameTime() const {
    return m_frame > 0 ? (m_frame - 1) / m_frameRate : 0;
}

void kxKernel::updateStep() {
    // Probes posed in the previous frame have been cast by now.
    kxIsectorService::finishAll();
    // Other threads' requests land before the frame's own work sees the objects.
    kxProxyMgr::processRequests();
    kxPositionable::runAllStrategies(getFrameTime(), m_frame > 1 ? 1.0 / m_frameRate : 0.0);
    notify(EVENT_FRAME_UPDATE);
    kxIsectorService::startAll();
}

void kxKernel::cullWindow(ksWindow* window, int frame) {
    // The observers gave each channel its scene for the frame at the rendezvous.
    if (ksThreadBuffer* buffer = window->getThreadBuffer())
        for (int c = 0; c < window->getNumChannels(); ++c)
            window->getChannel(c)->cull(buffer->getIndex(), frame);
}

void kxKernel::drawWindow(ksWindow* window, int frame) {
    if (m_drawEnable)
        window->draw(frame);
}

int kxKernel::addSubscriber(int event, Subscriber* subscriber) {
    if (event < 0 || event >= NUM_EVENTS || !subscriber)
        return KU_FAILURE;
    m_subscribers[event].push_back(subscriber);
    return KU_SUCCESS;
}

int kxKernel::removeSubscriber(int event, Subscriber* subscriber, bool destroy) {
    if (event < 0 || event >= NUM_EVENTS)
        return KU_FAILURE;
    auto& list = m_subscribers[event];
    auto it = std::find(list.begin(), list.end(), subscriber);
    if (it == list.end())
        return KU_FAILURE;
    list.erase(it);
    if (destroy)
        delete subscriber;
    return KU_SUCCESS;
}

int kxKernel::getNumSubscribers(int event) const {
    return event >= 0 && event < NUM_EVENTS ? static_cast<int>(m_subscribers[event].size()) : 0;
}

void kxKernel::notify(int event) {
    // A subscriber may unsubscribe while being told: walk a copy.
    const std::vector<Subscriber*> subscribers = m_subscribers[event];
    ksServiceMgr* serviceMgr = ksThread::resolveServiceMgr();
    for (Subscriber* subscriber : subscribers)
        if (std::find(m_subscribers[event].begin(), m_subscribers[event].end(), subscriber) !=
            m_subscribers[event].end())
            subscriber->notify(event, serviceMgr);
}
