// The kernel: start-up options, frames, subscribers, module phases; isectors, bins, proxies.
#include "kxTestSupport.h"

#include <ks/ksChannel.h>
#include <ks/ksChannelBin.h>
#include <ks/ksChannelProxy.h>
#include <ks/ksNode.h>
#include <ks/ksServiceMgr.h>
#include <kx/kxIsectorLOS.h>
#include <kx/kxIsectorServiceAsynchronous.h>
#include <kx/kxProxyMgr.h>

#include <string>
#include <vector>

namespace {

class KernelTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_level = kuNotify::getLevel();
        ASSERT_EQ(kxKernel::initialize(0, nullptr), 1);
        kernel = kxKernel::instance();
    }
    void TearDown() override {
        kxKernel::shutdown();
        kuNotify::setLevel(m_level);
    }
    kxKernel* kernel = nullptr;
    int m_level = 0;
};

TEST_F(KernelTest, SecondInitializeDoesNothing) {
    char arg0[] = "app", arg1[] = "--notify=2";
    char* argv[] = {arg0, arg1};
    EXPECT_EQ(kxKernel::initialize(2, argv), 1);
    EXPECT_EQ(kxKernel::instance(), kernel);
    EXPECT_EQ(kuNotify::getLevel(), m_level);
}

TEST(KernelOptionsTest, NotifyOptionSetsTheThresholdAndReportsBadLevels) {
    const int before = kuNotify::getLevel();
    struct Case {
        std::vector<std::string> args;
        int level; // -1: unchanged and reported
    };
    const Case cases[] = {{{"app", "--notify", "3"}, 3}, {{"app", "--other", "--notify=6"}, 6},
                          {{"app", "--notify=abc"}, -1}, {{"app", "--notify", "12"}, -1},
                          {{"app", "--notify=-1"}, -1},  {{"app", "--notify="}, -1}};
    for (const Case& c : cases) {
        kuNotify::setLevel(before);
        std::vector<std::string> storage = c.args;
        std::vector<char*> argv;
        for (std::string& arg : storage)
            argv.push_back(arg.data());
        kxMessageCapture capture;
        ASSERT_EQ(kxKernel::initialize(static_cast<int>(argv.size()), argv.data()), 1);
        EXPECT_EQ(kuNotify::getLevel(), c.level < 0 ? before : c.level) << c.args.back();
        EXPECT_EQ(capture.countContaining("bad --notify level"), c.level < 0 ? 1 : 0)
            << c.args.back();
        kxKernel::shutdown();
    }
    kuNotify::setLevel(before);
}

// Records every kernel event with the frame number the service manager gives.
class EventLog : public kxKernel::Subscriber {
public:
    std::vector<std::pair<int, int>> events;
    kxKernel* unsubscribeFrom = nullptr;
    void notify(int event, ksServiceMgr* serviceMgr) override {
        events.emplace_back(event, serviceMgr->getFrameNumber());
        if (unsubscribeFrom)
            unsubscribeFrom->removeSubscriber(event, this, true); // deletes this
    }
};

TEST_F(KernelTest, FramesCountFromOneAndSubscribersSeeEachEvent) {
    kxMessageCapture capture;
    EXPECT_EQ(kernel->runFrame(), -32767);
    EXPECT_EQ(capture.count(kuNotify::WARN, "kxKernel::runFrame - not configured"), 1);
    EXPECT_EQ(kernel->getFrameNumber(), 0);
    EXPECT_EQ(ksThread::resolveFrameNumber(), 0);

    EventLog log;
    for (int event = kxKernel::EVENT_CONFIGURE; event < kxKernel::NUM_EVENTS; ++event)
        ASSERT_EQ(kernel->addSubscriber(event, &log), 1);
    EXPECT_EQ(kernel->addSubscriber(kxKernel::NUM_EVENTS, &log), -32767);
    EXPECT_EQ(kernel->addSubscriber(kxKernel::EVENT_FRAME_UPDATE, nullptr), -32767);

    ASSERT_EQ(kernel->configure(), 1);
    for (int frame = 1; frame <= 3; ++frame) {
        ASSERT_EQ(kernel->runFrame(), 1);
        EXPECT_EQ(kernel->getFrameNumber(), frame);
        EXPECT_EQ(ksThread::resolveFrameNumber(), frame);
    }
    ASSERT_EQ(kernel->unconfigure(), 1);
    const std::vector<std::pair<int, int>> expected = {
        {kxKernel::EVENT_CONFIGURE, 0},    {kxKernel::EVENT_FIRST_FRAME, 1},
        {kxKernel::EVENT_FRAME_UPDATE, 1}, {kxKernel::EVENT_FRAME_UPDATE, 2},
        {kxKernel::EVENT_FRAME_UPDATE, 3}, {kxKernel::EVENT_LAST_FRAME, 3},
        {kxKernel::EVENT_UNCONFIGURE, 3}};
    EXPECT_EQ(log.events, expected);
    for (int event = kxKernel::EVENT_CONFIGURE; event < kxKernel::NUM_EVENTS; ++event)
        EXPECT_EQ(kernel->removeSubscriber(event, &log, false), 1);
    EXPECT_EQ(kernel->removeSubscriber(kxKernel::EVENT_CONFIGURE, &log, false), -32767);
}

TEST_F(KernelTest, SubscriberMayRemoveItselfWhileTold) {
    auto* leaving = new EventLog;
    leaving->unsubscribeFrom = kernel;
    EventLog staying;
    kernel->addSubscriber(kxKernel::EVENT_FRAME_UPDATE, leaving);
    kernel->addSubscriber(kxKernel::EVENT_FRAME_UPDATE, &staying);
    kernel->configure();
    kernel->runFrame();
    kernel->runFrame();
    EXPECT_EQ(kernel->getNumSubscribers(kxKernel::EVENT_FRAME_UPDATE), 1);
    EXPECT_EQ(staying.events.size(), 2u);
    kernel->removeSubscriber(kxKernel::EVENT_FRAME_UPDATE, &staying, false);
}

std::vector<std::string> g_phases;

// Records its phases; the constructor adds it to the module list.
class RecordingModule : public kxModule {
public:
    explicit RecordingModule(const char* name) : kxModule(name) {}
    void preConfigure() override { record("preConfigure"); }
    void configure() override {
        kxModule::configure();
        record("configure");
    }
    void unconfigure() override {
        kxModule::unconfigure();
        record("unconfigure");
    }
    void onFirstFrame() override { record("firstFrame"); }
    void onLastFrame() override { record("lastFrame"); }
    void shutdown() override { record("shutdown"); }

protected:
    ~RecordingModule() override { record("destroyed"); }

private:
    void record(const char* phase) { g_phases.push_back(std::string(getName()) + ":" + phase); }
};

TEST_F(KernelTest, ModulePhasesRunInLoadOrderAndTearDownInReverse) {
    g_phases.clear();
    auto* a = new RecordingModule("a");
    new RecordingModule("b");
    ASSERT_EQ(kxModule::getNumModules(), 2);
    EXPECT_EQ(kxModule::find("a"), a);
    EXPECT_STREQ(kxModule::getModule(1)->getName(), "b");

    kernel->configure();
    EXPECT_TRUE(a->isConfigured());
    kernel->runFrame();
    kernel->runFrame();
    kernel->unconfigure();
    EXPECT_FALSE(a->isConfigured());
    kxKernel::shutdown();
    const std::vector<std::string> expected = {
        "a:preConfigure", "b:preConfigure", "a:configure", "b:configure",   "a:firstFrame",
        "b:firstFrame",   "b:lastFrame",    "a:lastFrame", "b:unconfigure", "a:unconfigure",
        "b:shutdown",     "a:shutdown",     "b:destroyed", "a:destroyed"};
    EXPECT_EQ(g_phases, expected);

    // Shut down without unconfiguring: each phase still runs once.
    ASSERT_EQ(kxKernel::initialize(0, nullptr), 1);
    g_phases.clear();
    new RecordingModule("c");
    kxKernel::instance()->configure();
    kxKernel::shutdown();
    EXPECT_EQ(g_phases, (std::vector<std::string>{"c:preConfigure", "c:configure", "c:unconfigure",
                                                  "c:shutdown", "c:destroyed"}));

    ASSERT_EQ(kxKernel::initialize(0, nullptr), 1);
    g_phases.clear();
    new RecordingModule("d");
    kxKernel::shutdown();
    EXPECT_EQ(g_phases, (std::vector<std::string>{"d:shutdown", "d:destroyed"}));
}

TEST_F(KernelTest, IsectorTargetAndHits) {
    kuRef<kxIsectorLOS> probe = new kxIsectorLOS;
    kuRef<ksNode> target = new ksNode;
    probe->setTarget(target.get());
    // The probe does not keep its target alive (a lobe's probes target the scene holding the
    // lobe), but forgets it when it goes.
    EXPECT_EQ(target->getRef(), 1);
    EXPECT_EQ(probe->getTarget(), target.get());
    target.reset();
    EXPECT_EQ(probe->getTarget(), nullptr);

    // No hit until one is set, and none once cleared.
    kuVec3d point;
    kuVec3f normal;
    EXPECT_EQ(probe->getHitPoint(&point), -32767);
    EXPECT_EQ(probe->getHitNormal(&normal), -32767);
    probe->setHit(kuVec3d(1, 2, 3), kuVec3f(0, 0, 1));
    ASSERT_EQ(probe->getHitPoint(&point), 1);
    EXPECT_EQ(point, kuVec3d(1, 2, 3));
    probe->clearHit();
    EXPECT_EQ(probe->getHitPoint(nullptr), -32767);
    EXPECT_EQ(probe->getHitNormal(nullptr), -32767);
}

TEST_F(KernelTest, IsectorServiceAddsRemovesAndValidates) {
    kuRef<kxIsectorService> service = new kxIsectorService;
    kuRef<kxIsectorLOS> probe = new kxIsectorLOS, other = new kxIsectorLOS;
    EXPECT_EQ(service->addIsector(nullptr, kxIsectorService::MODE_ONCE), -32767);
    for (int mode : {0, 3, -1})
        EXPECT_EQ(service->addIsector(probe.get(), mode), -32767) << mode;
    EXPECT_EQ(service->getNumIsectors(), 0);

    EXPECT_EQ(service->addIsector(probe.get(), kxIsectorService::MODE_ONCE), 1);
    EXPECT_EQ(service->addIsector(probe.get(), kxIsectorService::MODE_CONTINUOUS), 1);
    EXPECT_EQ(service->addIsector(other.get(), kxIsectorService::MODE_ONCE), 1);
    EXPECT_EQ(service->getNumIsectors(), 2);
    EXPECT_EQ(service->getIsectorMode(probe.get()), kxIsectorService::MODE_CONTINUOUS);
    EXPECT_EQ(service->getIsectorMode(other.get()), kxIsectorService::MODE_ONCE);
    EXPECT_EQ(probe->getRef(), 2);

    EXPECT_EQ(service->removeIsector(probe.get()), 1);
    EXPECT_EQ(service->removeIsector(probe.get()), -32767);
    EXPECT_FALSE(service->hasIsector(probe.get()));
    EXPECT_TRUE(service->hasIsector(other.get()));
    EXPECT_EQ(probe->getRef(), 1);

    kxIsectorServiceAsynchronous* shared = kxIsectorServiceAsynchronous::obtainDefault();
    ASSERT_NE(shared, nullptr);
    EXPECT_EQ(kxIsectorServiceAsynchronous::obtainDefault(), shared);
    EXPECT_TRUE(shared->isOfClassType(kxIsectorService::getStaticClassType()));
    shared->addIsector(probe.get(), kxIsectorService::MODE_CONTINUOUS);
    kxIsectorServiceAsynchronous::releaseDefault();
    EXPECT_EQ(probe->getRef(), 1);
    EXPECT_EQ(kxIsectorServiceAsynchronous::obtainDefault()->getNumIsectors(), 0);
}

class NullProcessor : public ksChannelProxy::CullProcessor {};

TEST_F(KernelTest, ChannelBinsInOrderValue) {
    ksChannelProxy* proxy = ksThread::resolveServiceMgr()->getChannelProxy();
    ASSERT_NE(proxy, nullptr);
    const auto reserve = [proxy](int order, const char* name) {
        return proxy->reserveBin(false, order, true, name, nullptr, nullptr, nullptr, nullptr,
                                 nullptr, nullptr, 0, -1, 0, -1);
    };
    const int before = reserve(-1600, "before");
    const int tieFirst = reserve(1, "tie first");
    const int after = reserve(100, "after");
    const int tieSecond = reserve(1, "tie second");
    for (int id : {before, tieFirst, after, tieSecond})
        EXPECT_TRUE(id > 0 && id != 10) << id;
    std::vector<std::string> names;
    for (const ksChannelProxy::Bin& bin : proxy->getBins())
        names.emplace_back(bin.name.c_str());
    EXPECT_EQ(names, (std::vector<std::string>{"before", "Opaque", "tie first", "tie second",
                                               "Transparent", "after"}));

    kuRef<NullProcessor> processor = new NullProcessor;
    EXPECT_EQ(proxy->setCullBinProcessor(0, processor.get()), 1);
    EXPECT_EQ(proxy->setCullBinProcessor(12345, processor.get()), -32767);
    ksChannelProxy::Bin bin;
    ASSERT_TRUE(proxy->getBin(0, &bin));
    EXPECT_EQ(bin.cullProcessor.get(), processor.get());

    EXPECT_EQ(proxy->releaseBin(tieFirst), 1);
    EXPECT_EQ(proxy->releaseBin(tieFirst), -32767);
    EXPECT_FALSE(proxy->getBin(tieFirst, nullptr));
    EXPECT_EQ(proxy->releaseBin(0), -32767);
    EXPECT_EQ(proxy->releaseBin(10), -32767);
    EXPECT_EQ(proxy->getBins().size(), 5u);
    EXPECT_TRUE(proxy->getBin(after, nullptr) && proxy->getBin(tieSecond, nullptr));
}

// A channel keeps the views and bin sets of the frames in flight: a thread working on frame N
// sees frame N's view (or the latest one before it) and N's bins, whatever later frames did.
TEST_F(KernelTest, ChannelViewsAndBinSetsArePerFrame) {
    kuRef<ksChannel> channel = new ksChannel;
    const auto viewAt = [&channel](int frame) {
        ksThread::setFrameNumber(frame);
        return channel->getViewMatrix()(3, 0);
    };
    const auto setViewAt = [&channel](int frame, double x) {
        ksThread::setFrameNumber(frame);
        kuMatrixd view;
        view.setTrans(kuVec3d(x, 0, 0));
        channel->setViewMatrix(view);
    };
    EXPECT_EQ(viewAt(3), 0.0); // none given yet: identity
    setViewAt(0, 1);           // set up before the first frame
    setViewAt(5, 5);
    setViewAt(6, 6);
    const std::pair<int, double> expected[] = {{0, 1}, {3, 1}, {5, 5}, {6, 6}, {9, 6}};
    for (const auto& [frame, x] : expected)
        EXPECT_EQ(viewAt(frame), x) << "frame " << frame;
    for (int frame = 7; frame <= 10; ++frame)
        setViewAt(frame, frame);
    EXPECT_EQ(viewAt(8), 8.0);
    EXPECT_EQ(viewAt(2), 7.0); // older than every view kept: the oldest one

    ksChannelBinMgr* bins = channel->getChannelBinMgr();
    bins->beginFrame(11);
    bins->beginFrame(12); // 11 is still being drawn while 12 is culled
    EXPECT_TRUE(bins->hasFrame(11) && bins->hasFrame(12));
    EXPECT_EQ(bins->getCurrentFrame(), 12);
    bins->recycleFrame(11);
    EXPECT_FALSE(bins->hasFrame(11));
    EXPECT_TRUE(bins->hasFrame(12));
    EXPECT_FALSE(bins->getBins(12).empty());
    ksThread::setFrameNumber(0);
}

TEST(KernelProxyMgrTest, ValidOnlyWhileStarted) {
    EXPECT_FALSE(kxProxyMgr::isValid());
    EXPECT_EQ(kxProxyMgr::start(), 1);
    EXPECT_TRUE(kxProxyMgr::isValid());
    kxProxyMgr::stop();
    EXPECT_FALSE(kxProxyMgr::isValid());
}

} // namespace
