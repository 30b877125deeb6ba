// Statistics definitions, publications, recording and the summary; kuTime, which times them.
#include <ku/kuBase.h>
#include <ku/kuNotify.h>
#include <ku/kuStat.h>
#include <ku/kuTime.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

// An object of whatever class type the test gives it.
class Owner : public kuBase {
public:
    Owner(const ClassType* type, const char* name) : m_type(type) { setName(name); }
    const ClassType* getClassType() const override { return m_type; }

protected:
    ~Owner() override = default;

private:
    const ClassType* m_type;
};

class kuStatTest : public ::testing::Test {
protected:
    void SetUp() override {
        kuBase::initializeClass();
        kuStat::clear();
        m_vehicle = new kuBase::ClassType("StatTestVehicle", kuBase::getStaticClassType(), nullptr,
                                          true, false);
        m_light = new kuBase::ClassType("StatTestLight", m_vehicle, nullptr, true, false);
        m_other = new kuBase::ClassType("StatTestOther", kuBase::getStaticClassType(), nullptr,
                                        true, false);
    }
    void TearDown() override {
        kuStat::clear();
        delete m_light;
        delete m_vehicle;
        delete m_other;
    }

    kuBase::ClassType* m_vehicle = nullptr;
    kuBase::ClassType* m_light = nullptr; // derived from m_vehicle
    kuBase::ClassType* m_other = nullptr;
};

TEST_F(kuStatTest, DefineRules) {
    struct Case {
        kuBase::ClassType* type;
        const char* name;
        int statType;
        int expected;
    };
    const Case cases[] = {
        {m_vehicle, "frame time", kuStat::TYPE_TIME, KU_SUCCESS},
        {m_vehicle, "probes", kuStat::TYPE_COUNT, KU_SUCCESS},
        {m_vehicle, "frame time", kuStat::TYPE_COUNT, KU_FAILURE}, // already on this class
        {m_light, "frame time", kuStat::TYPE_TIME, KU_SUCCESS},    // another class may reuse it
        {nullptr, "x", kuStat::TYPE_TIME, KU_FAILURE},
        {m_vehicle, nullptr, kuStat::TYPE_TIME, KU_FAILURE},
        {m_vehicle, "", kuStat::TYPE_TIME, KU_FAILURE},
        {m_vehicle, "x", 0, KU_FAILURE},
        {m_vehicle, "x", 3, KU_FAILURE},
    };
    for (const Case& c : cases)
        EXPECT_EQ(kuStat::define(c.type, c.name, c.statType), c.expected)
            << (c.name ? c.name : "(null)") << " type " << c.statType;
    EXPECT_EQ(kuStat::getNumDefinitions(), 3);
}

TEST_F(kuStatTest, PublishRules) {
    ASSERT_EQ(kuStat::define(m_vehicle, "frame time", kuStat::TYPE_TIME), KU_SUCCESS);
    ASSERT_EQ(kuStat::define(m_light, "probes", kuStat::TYPE_COUNT), KU_SUCCESS);
    ASSERT_EQ(kuStat::define(m_other, "other", kuStat::TYPE_COUNT), KU_SUCCESS);
    kuRef<Owner> light = new Owner(m_light, "headlight");
    kuRef<Owner> vehicle = new Owner(m_vehicle, "car");
    kuStat::Containers lightStats(2);
    kuStat::Containers vehicleStats(1);

    struct Case {
        const char* what;
        kuBase* owner;
        const char* name;
        kuStat::Containers* containers;
        int index;
        int expected;
    };
    const Case cases[] = {
        {"null owner", nullptr, "probes", &lightStats, 0, KU_FAILURE},
        {"undefined name", light.get(), "unknown", &lightStats, 0, KU_FAILURE},
        {"null name", light.get(), nullptr, &lightStats, 0, KU_FAILURE},
        {"unrelated class", light.get(), "other", &lightStats, 0, KU_FAILURE},
        {"derived class only", vehicle.get(), "probes", &vehicleStats, 0, KU_FAILURE},
        {"negative index", light.get(), "probes", &lightStats, -1, KU_FAILURE},
        {"index past end", light.get(), "probes", &lightStats, 2, KU_FAILURE},
        {"null containers", light.get(), "probes", nullptr, 0, KU_FAILURE},
        {"own class", light.get(), "probes", &lightStats, 0, KU_SUCCESS},
        {"published twice", light.get(), "probes", &lightStats, 1, KU_FAILURE},
        {"parent class", light.get(), "frame time", &lightStats, 1, KU_SUCCESS},
        {"second owner", vehicle.get(), "frame time", &vehicleStats, 0, KU_SUCCESS},
    };
    for (const Case& c : cases)
        EXPECT_EQ(kuStat::push_back(c.owner, c.name, c.containers, c.index), c.expected) << c.what;
    EXPECT_EQ(kuStat::getNumPublications(), 3);

    // The containers take the published name and type.
    EXPECT_STREQ(lightStats.get(0)->getName(), "probes");
    EXPECT_EQ(lightStats.get(0)->getType(), kuStat::TYPE_COUNT);
    EXPECT_STREQ(lightStats.get(1)->getName(), "frame time");
    EXPECT_EQ(lightStats.get(1)->getType(), kuStat::TYPE_TIME);
    EXPECT_EQ(lightStats.get(2), nullptr);
    kuStat::erase(light.get());
    kuStat::erase(vehicle.get());
}

TEST_F(kuStatTest, EraseAndEraseClass) {
    ASSERT_EQ(kuStat::define(m_vehicle, "frame time", kuStat::TYPE_TIME), KU_SUCCESS);
    ASSERT_EQ(kuStat::define(m_light, "probes", kuStat::TYPE_COUNT), KU_SUCCESS);
    kuRef<Owner> light1 = new Owner(m_light, "light1");
    kuRef<Owner> light2 = new Owner(m_light, "light2");
    kuRef<Owner> vehicle = new Owner(m_vehicle, "car");
    kuStat::Containers stats(2);
    ASSERT_EQ(kuStat::push_back(light1.get(), "probes", &stats, 0), KU_SUCCESS);
    ASSERT_EQ(kuStat::push_back(light1.get(), "frame time", &stats, 1), KU_SUCCESS);
    ASSERT_EQ(kuStat::push_back(light2.get(), "probes", &stats, 0), KU_SUCCESS);
    ASSERT_EQ(kuStat::push_back(vehicle.get(), "frame time", &stats, 1), KU_SUCCESS);

    EXPECT_EQ(kuStat::erase(light2.get()), KU_SUCCESS);
    EXPECT_EQ(kuStat::getNumPublications(), 3);
    EXPECT_EQ(kuStat::erase(nullptr), KU_FAILURE);

    // Takes light1's publications, including the one defined on the parent; the vehicle's stay.
    EXPECT_EQ(kuStat::erase_class(m_light), KU_SUCCESS);
    EXPECT_EQ(kuStat::getNumPublications(), 1);
    EXPECT_EQ(kuStat::getNumDefinitions(), 1);
    EXPECT_EQ(kuStat::summary().rfind("car frame time:", 0), 0u);
    EXPECT_EQ(kuStat::push_back(light1.get(), "probes", &stats, 0), KU_FAILURE);
    EXPECT_EQ(kuStat::push_back(light1.get(), "frame time", &stats, 1), KU_SUCCESS);
    EXPECT_EQ(kuStat::erase_class(nullptr), KU_FAILURE);

    kuStat::clear();
    EXPECT_EQ(kuStat::getNumPublications(), 0);
    EXPECT_EQ(kuStat::getNumDefinitions(), 0);
}

TEST_F(kuStatTest, RecordAndSummary) {
    kuStat::Container values;
    for (double value : {0.002, 0.001, 0.003})
        values.record(value);
    EXPECT_EQ(values.getCount(), 3);
    EXPECT_DOUBLE_EQ(values.getSum(), 0.006);
    EXPECT_DOUBLE_EQ(values.getMean(), 0.002);
    EXPECT_DOUBLE_EQ(values.getMin(), 0.001);
    EXPECT_DOUBLE_EQ(values.getMax(), 0.003);
    EXPECT_DOUBLE_EQ(values.getLast(), 0.003);
    values.reset();
    values.record(-5.0); // the first value after a reset sets both bounds
    EXPECT_EQ(values.getCount(), 1);
    EXPECT_DOUBLE_EQ(values.getMin(), -5.0);
    EXPECT_DOUBLE_EQ(values.getMax(), -5.0);

    ASSERT_EQ(kuStat::define(m_vehicle, "frame time", kuStat::TYPE_TIME), KU_SUCCESS);
    ASSERT_EQ(kuStat::define(m_vehicle, "probes", kuStat::TYPE_COUNT), KU_SUCCESS);
    kuRef<Owner> car = new Owner(m_vehicle, "car");
    kuRef<Owner> unnamed = new Owner(m_vehicle, "");
    kuStat::Containers carStats(2);
    kuStat::Containers otherStats(1);
    ASSERT_EQ(kuStat::push_back(car.get(), "frame time", &carStats, 0), KU_SUCCESS);
    ASSERT_EQ(kuStat::push_back(car.get(), "probes", &carStats, 1), KU_SUCCESS);
    ASSERT_EQ(kuStat::push_back(unnamed.get(), "probes", &otherStats, 0), KU_SUCCESS);
    for (double seconds : {0.002, 0.001, 0.003})
        carStats.get(0)->record(seconds);
    for (double count : {4.0, 6.0})
        carStats.get(1)->record(count);

    // Times in milliseconds; an unnamed owner goes by its class name.
    EXPECT_EQ(kuStat::summary(),
              "car frame time: count 3 mean 2.000 ms min 1.000 ms max 3.000 ms\n"
              "car probes: count 2 mean 5.000 min 4.000 max 6.000\n"
              "StatTestVehicle probes: count 0 mean 0.000 min 0.000 max 0.000\n");
    carStats.get(1)->reset();
    EXPECT_NE(kuStat::summary().find("car probes: count 0 mean 0.000"), std::string::npos);
    kuStat::erase(car.get());
    kuStat::erase(unnamed.get());
}

// Messages handed to the notify callback while a capture is alive.
struct NotifyCapture {
    NotifyCapture() { kuNotify::setCallback(&NotifyCapture::receive, this); }
    ~NotifyCapture() { kuNotify::setCallback(nullptr, nullptr); }
    static void receive(int level, const kuBase::ClassType*, const char* text, void* self) {
        static_cast<NotifyCapture*>(self)->messages.push_back(std::to_string(level) + " " + text);
    }
    std::vector<std::string> messages;
};

TEST_F(kuStatTest, DeletedContainersUnpublishThemselves) {
    ASSERT_EQ(kuStat::define(m_vehicle, "probes", kuStat::TYPE_COUNT), KU_SUCCESS);
    kuRef<Owner> forgetful = new Owner(m_vehicle, "forgetful");
    kuRef<Owner> tidy = new Owner(m_vehicle, "tidy");
    kuStat::Containers tidyStats(1);
    auto* forgottenStats = new kuStat::Containers(1);
    ASSERT_EQ(kuStat::push_back(forgetful.get(), "probes", forgottenStats, 0), KU_SUCCESS);
    ASSERT_EQ(kuStat::push_back(tidy.get(), "probes", &tidyStats, 0), KU_SUCCESS);

    NotifyCapture capture;
    delete forgottenStats;
    EXPECT_EQ(kuStat::getNumPublications(), 1);
    EXPECT_EQ(kuStat::summary(), "tidy probes: count 0 mean 0.000 min 0.000 max 0.000\n");
    ASSERT_EQ(capture.messages.size(), 1u);
    EXPECT_EQ(capture.messages[0].rfind("4 ", 0), 0u);
    EXPECT_NE(capture.messages[0].find("forgetful probes"), std::string::npos);

    // Unpublished containers leave quietly.
    kuStat::erase(tidy.get());
    { kuStat::Containers unpublished(3); }
    EXPECT_EQ(capture.messages.size(), 1u);
}

TEST_F(kuStatTest, ConcurrentRecordingUnderTheLock) {
    constexpr int RECORDS = 20000;
    ASSERT_EQ(kuStat::define(m_vehicle, "probes", kuStat::TYPE_COUNT), KU_SUCCESS);
    kuRef<Owner> car = new Owner(m_vehicle, "car");
    kuStat::Containers stats(1);
    ASSERT_EQ(kuStat::push_back(car.get(), "probes", &stats, 0), KU_SUCCESS);

    std::atomic<bool> done{false};
    auto recordLoop = [&](double value) {
        for (int i = 0; i < RECORDS; ++i) {
            stats.lock();
            stats.get(0)->record(value);
            stats.unlock();
        }
    };
    // The summary reads the container under the same lock while it is being recorded into.
    std::thread summaries([&] {
        while (!done)
            kuStat::summary();
    });
    std::thread first(recordLoop, 1.0);
    std::thread second(recordLoop, 2.0);
    first.join();
    second.join();
    done = true;
    summaries.join();

    stats.lock();
    EXPECT_EQ(stats.get(0)->getCount(), 2 * RECORDS);
    EXPECT_DOUBLE_EQ(stats.get(0)->getSum(), 3.0 * RECORDS);
    EXPECT_DOUBLE_EQ(stats.get(0)->getMin(), 1.0);
    EXPECT_DOUBLE_EQ(stats.get(0)->getMax(), 2.0);
    stats.unlock();
    kuStat::erase(car.get());
}

TEST(kuStatTime, SteadySeconds) {
    const auto before = std::chrono::steady_clock::now();
    const double start = kuTime::get();
    const double sinceStart = kuTime::getSinceStart();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const double end = kuTime::get();
    const double sinceStartEnd = kuTime::getSinceStart();
    const double outer =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - before).count();

    EXPECT_GE(sinceStart, 0.0);
    // Seconds: at least the sleep, at most what the clock measured around it.
    for (double elapsed : {end - start, sinceStartEnd - sinceStart}) {
        EXPECT_GE(elapsed, 0.020);
        EXPECT_LE(elapsed, outer);
    }
}

} // namespace
