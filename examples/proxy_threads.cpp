// Steering lobes from other threads through proxies while the night scene runs its frames.
//
//   proxy_threads [CONFIG.xml] [--frames N] [--out DIR]
//
// The application thread reads the night scene (examples/night_drive.xml by default) and runs
// the frames. Three threads work beside it:
//   - the driver switches the vehicle's headlights between low and high beam;
//   - the tower thread creates a beacon under the searchlight, then keeps switching the tower's
//     projected lamp on and off and changing its colour;
//   - the watcher watches "Enable" of the searchlight and the lamp and prints each change.
// The application thread adds the projected lamp to the scene before it configures: projected
// lobes take their shader slot at configuration, so one made later would stay dark.
// No thread but the application thread touches a lobe: the proxies queue their requests, and
// the kernel executes them at the start of each frame.

#include <kxlightlobeproxies.h>

#include <kc/kcConfigParser.h>
#include <kr/krShaderInfrastructure.h>
#include <ks/ksWindow.h>
#include <kx/kxKernel.h>
#include <kx/kxModule.h>
#include <kx/kxProxyMgr.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#ifndef KX_EXAMPLES_DIR
#define KX_EXAMPLES_DIR "examples"
#endif

namespace {

typedef kxProxies::kxLightLobe LobeProxy;
typedef kxProxies::kxLightLobeProjected ProjectedProxy;

// Lines handed from the update thread (where watchers are told) to the watcher thread.
class Mailbox {
public:
    void post(std::string line) {
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            m_lines.push_back(std::move(line));
        }
        m_changed.notify_one();
    }
    // Waits a while for a line: 1 with a line, 0 without, -1 once closed and empty.
    int take(std::string& line) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait_for(lock, std::chrono::milliseconds(20),
                           [this] { return m_closed || !m_lines.empty(); });
        if (m_lines.empty())
            return m_closed ? -1 : 0;
        line = std::move(m_lines.front());
        m_lines.pop_front();
        return 1;
    }
    void close() {
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            m_closed = true;
        }
        m_changed.notify_one();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<std::string> m_lines;
    bool m_closed = false;
};

// Told on the update thread; keeps the work there short and leaves the printing to the watcher
// thread.
class EnableWatcher : public kxProxyMgr::PropertyWatcher {
public:
    // The id of "Enable" in the lobe's proxy class.
    EnableWatcher(int propertyId, std::string lobe, Mailbox* mailbox)
        : PropertyWatcher(propertyId), m_lobe(std::move(lobe)), m_mailbox(mailbox) {}
    void propertyChanged(const kxProxyMgr::PropertyCheckerBase& checker) override {
        const bool on =
            static_cast<const kxProxyMgr::PropertyValueChecker<bool>&>(checker).getValue();
        m_mailbox->post("frame " + std::to_string(kxKernel::instance()->getFrameNumber()) + ": " +
                        m_lobe + " Enable -> " + (on ? "on" : "off"));
    }

private:
    std::string m_lobe;
    Mailbox* m_mailbox;
};

std::atomic<bool> s_stop{false};

void drive() {
    kuRef<LobeProxy> left = new LobeProxy("headlight_left", 0);
    kuRef<LobeProxy> right = new LobeProxy("headlight_right", 0);
    for (bool high = true; !s_stop; high = !high) {
        for (LobeProxy* lamp : {left.get(), right.get()}) {
            lamp->setOrientation(0, high ? -3 : -8, 0);
            lamp->setSpreadAngle(high ? 18.0f : 30.0f);
            lamp->setFadeRange(high ? 450.0f : 250.0f);
        }
        // Waits for the frame that applies the beam, then holds it a while.
        left->sync(LobeProxy::PROPERTY_ORIENTATION);
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
    }
}

void tower() {
    kuRef<LobeProxy> searchlight = new LobeProxy("searchlight", 0);
    kuRef<ProjectedProxy> lamp = new ProjectedProxy("tower_lamp", 0);
    // Option 1 creates the lobe on the update thread; the constructor returns once it exists.
    kuRef<LobeProxy> beacon = new LobeProxy("beacon", 1);
    beacon->setPosition(0, 0, 2);
    beacon->setOrientation(90, -60, 0);
    beacon->setSpreadAngle(25);
    beacon->setFadeRange(200);
    searchlight->addChild(beacon.get());
    static const float COLOURS[][3] = {
        {1, 1, 1}, {1, 0.6f, 0.2f}, {0.6f, 0.75f, 1}, {1, 0.3f, 0.3f}};
    bool on = true;
    for (int step = 0; !s_stop; ++step) {
        on = !on;
        const float* colour = COLOURS[step % 4];
        lamp->setEnable(on);
        lamp->setColor(colour[0], colour[1], colour[2], 1);
        beacon->setBrightness(0.4f + 0.2f * static_cast<float>(step % 4));
        if (step % 3 == 0)
            searchlight->setEnable(!on);
        // A few frames per state, so that each change lasts and the watcher sees it.
        for (int frame = 0; frame < 4 && !s_stop; ++frame)
            lamp->sync(ProjectedProxy::PROPERTY_ENABLE);
    }
}

// Watches the searchlight and the lamp; prints what the watchers post until the mailbox closes.
void watch(Mailbox* mailbox) {
    kuRef<LobeProxy> searchlight = new LobeProxy("searchlight", 0);
    kuRef<ProjectedProxy> lamp = new ProjectedProxy("tower_lamp", 0);
    kuRef<EnableWatcher> searchlightWatcher =
        new EnableWatcher(LobeProxy::PROPERTY_ENABLE, "searchlight", mailbox);
    kuRef<EnableWatcher> lampWatcher =
        new EnableWatcher(ProjectedProxy::PROPERTY_ENABLE, "tower_lamp", mailbox);
    // The cache seeds the checker: read the real values first.
    searchlight->sync();
    searchlight->addPropertyWatcher(searchlightWatcher.get());
    lamp->sync();
    lamp->addPropertyWatcher(lampWatcher.get());
    std::string line;
    for (int got; (got = mailbox->take(line)) >= 0;)
        if (got > 0)
            std::printf("%s\n", line.c_str());
    searchlight->removePropertyWatcher(searchlightWatcher.get());
    lamp->removePropertyWatcher(lampWatcher.get());
}

// A projected lamp on the searchlight's mount, turning with it and looking the other way.
void addTowerLamp() {
    kxLightLobe* searchlight = kxLightLobe::find("searchlight");
    if (!searchlight)
        return;
    krShaderInfrastructure::instance()->setEnable(true);
    kuRef<kxLightLobeProjected> lamp = kxLightLobeProjected::create();
    lamp->setName("tower_lamp");
    lamp->setOrientation(180, -40, 0);
    lamp->setSpreadAngle(14);
    lamp->setFadeRange(900);
    lamp->setBrightness(1);
    searchlight->addChild(lamp.get());
}

int fail(const char* what) {
    std::fprintf(stderr, "proxy_threads: %s\n", what);
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    std::string config = KX_EXAMPLES_DIR "/night_drive.xml";
    std::string outDir;
    int frames = 240;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--frames") == 0 && i + 1 < argc)
            frames = std::atoi(argv[++i]);
        else if (std::strcmp(argv[i], "--out") == 0 && i + 1 < argc)
            outDir = argv[++i];
        else if (argv[i][0] != '-')
            config = argv[i];
        else
            return fail("usage: proxy_threads [CONFIG.xml] [--frames N] [--out DIR]");
    }
    if (frames < 1)
        return fail("--frames needs a positive number");

    // The manager first: the module registers its proxy factories only with a running manager.
    kxProxyMgr::start();
    if (kxKernel::initialize(argc, argv) != 1 || kxModule::initializeModule("kxlightlobe") != 1 ||
        kxModule::find("kxlightlobe")->initialize(argc, argv) != 1)
        return fail("cannot start the runtime and the module");
    if (kcConfigParser::getTheConfigParser()->parseFile(config.c_str()) != 1)
        return fail(("cannot read " + config).c_str());
    addTowerLamp();
    kxKernel* kernel = kxKernel::instance();
    kernel->configure();

    Mailbox mailbox;
    std::atomic<int> workers{3};
    auto worker = [&workers](auto work) {
        return std::thread([&workers, work] {
            work();
            --workers;
        });
    };
    std::thread threads[] = {worker(drive), worker(tower), worker([&mailbox] { watch(&mailbox); })};
    for (int frame = 1; frame <= frames; ++frame)
        kernel->runFrame();
    // The workers may be waiting for a frame: frames go on until all three are done.
    s_stop = true;
    mailbox.close();
    while (workers.load() > 0)
        kernel->runFrame();
    for (std::thread& thread : threads)
        thread.join();
    kernel->runFrame();

    std::printf("%d frames, %llu requests executed\n", kernel->getFrameNumber(),
                kxProxyMgr::getNumExecuted());
    if (!outDir.empty() && ksWindow::getNum() > 0) {
        kernel->finishFrames();
        const std::string file = outDir + "/proxy_threads.png";
        if (ksWindow::get(0)->writeImage(file.c_str()) != 1)
            return fail(("cannot write " + file).c_str());
    }

    kernel->unconfigure();
    kxKernel::shutdown();
    return 0;
}
