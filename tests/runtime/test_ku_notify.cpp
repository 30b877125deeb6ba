// Diagnostics: the print threshold, the callback and message formatting.
#include <ku/kuNotify.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

struct Message {
    int level;
    const kuBase::ClassType* type;
    std::string text;
};

// Restores the threshold and removes the callback after each test; collects what the callback
// receives (the notify lock serializes the callback, so the list needs no lock of its own).
class KuNotifyTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_level = kuNotify::getLevel();
        m_callbackLevel = kuNotify::getCallbackLevel();
    }
    void TearDown() override {
        kuNotify::setCallback(nullptr, nullptr);
        kuNotify::setLevel(m_level);
        kuNotify::setCallbackLevel(m_callbackLevel);
    }
    void capture() { kuNotify::setCallback(&KuNotifyTest::receive, &messages); }
    static void receive(int level, const kuBase::ClassType* type, const char* text, void* out) {
        static_cast<std::vector<Message>*>(out)->push_back({level, type, text});
    }

    std::vector<Message> messages;

private:
    int m_level = 0;
    int m_callbackLevel = 0;
};

TEST_F(KuNotifyTest, DefaultThresholdIsWarn) {
    EXPECT_EQ(kuNotify::getLevel(), kuNotify::WARN);
}

TEST_F(KuNotifyTest, PrintsLevelsAtOrAboveTheThreshold) {
    struct Case {
        int threshold;
        int level;
        bool printed;
    };
    const Case cases[] = {{5, 4, false}, {5, 5, true}, {5, 7, true},  {3, 2, false},
                          {3, 3, true},  {1, 1, true}, {7, 6, false}, {7, 7, true}};
    for (const Case& k : cases) {
        kuNotify::setLevel(k.threshold);
        EXPECT_EQ(kuNotify::getLevel(), k.threshold);
        ::testing::internal::CaptureStderr();
        kuNotify::print(k.level, nullptr, "message");
        const std::string printed = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(printed.empty(), !k.printed)
            << "threshold " << k.threshold << ", level " << k.level << ": \"" << printed << "\"";
    }
}

TEST_F(KuNotifyTest, CallbackReceivesEveryLevel) {
    kuNotify::setLevel(kuNotify::FATAL + 1);
    capture();
    ::testing::internal::CaptureStderr();
    for (int level = kuNotify::DEBUG; level <= kuNotify::FATAL; ++level)
        kuNotify::print(level, nullptr, "level %d", level);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    ASSERT_EQ(messages.size(), 7u);
    for (int level = kuNotify::DEBUG; level <= kuNotify::FATAL; ++level) {
        EXPECT_EQ(messages[level - 1].level, level);
        EXPECT_EQ(messages[level - 1].text, "level " + std::to_string(level));
    }

    kuNotify::setCallback(nullptr, nullptr);
    kuNotify::print(kuNotify::FATAL, nullptr, "after");
    EXPECT_EQ(messages.size(), 7u);
}

TEST_F(KuNotifyTest, CallbackLevelAndThresholdFilterApart) {
    using N = kuNotify;
    struct Case {
        int threshold;
        int callbackLevel;
        int level;
        bool printed;
        bool received;
    };
    const Case cases[] = {{N::WARN, N::DEBUG, N::DEBUG, false, true},
                          {N::WARN, N::WARN, N::NOTICE, false, false},
                          {N::WARN, N::WARN, N::WARN, true, true},
                          {N::DEBUG, N::FAIL, N::INFO, true, false},
                          {N::FATAL + 1, N::FAIL, N::FATAL, false, true}};
    capture();
    for (const Case& k : cases) {
        kuNotify::setLevel(k.threshold);
        kuNotify::setCallbackLevel(k.callbackLevel);
        messages.clear();
        ::testing::internal::CaptureStderr();
        kuNotify::print(k.level, nullptr, "level %d", k.level);
        const std::string printed = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(!printed.empty(), k.printed) << k.threshold << " " << k.callbackLevel;
        EXPECT_EQ(messages.size(), k.received ? 1u : 0u) << k.threshold << " " << k.callbackLevel;
    }

    // The level outlives the callback it was set for.
    kuNotify::setCallback(nullptr, nullptr);
    capture();
    messages.clear();
    kuNotify::print(kuNotify::WARN, nullptr, "below the callback level");
    EXPECT_TRUE(messages.empty());
}

TEST_F(KuNotifyTest, MessagesAreFormattedWithTheClassName) {
    kuBase::ClassType type("KuNotifyTest.Type", nullptr, nullptr, false, false);
    kuNotify::setLevel(kuNotify::WARN);
    capture();
    const std::string longText(5000, 'x');

    struct Case {
        const kuBase::ClassType* type;
        std::string expectedText;
        std::string expectedLine;
    };
    const Case cases[] = {
        {&type, "x=42 1.50 ok", "[5] KuNotifyTest.Type: x=42 1.50 ok\n"},
        {nullptr, "x=42 1.50 ok", "[5] x=42 1.50 ok\n"},
    };
    for (const Case& k : cases) {
        messages.clear();
        ::testing::internal::CaptureStderr();
        kuNotify::print(kuNotify::WARN, k.type, "%s=%d %.2f %s", "x", 42, 1.5, "ok");
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), k.expectedLine);
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_EQ(messages[0].type, k.type);
        EXPECT_EQ(messages[0].text, k.expectedText);
    }

    messages.clear();
    ::testing::internal::CaptureStderr();
    kuNotify::print(kuNotify::FAIL, nullptr, "%s|%s", longText.c_str(), longText.c_str());
    kuNotify::print(kuNotify::FAIL, nullptr, "%s", "");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "[6] " + longText + "|" + longText + "\n[6] \n");
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].text, longText + "|" + longText);
    EXPECT_EQ(messages[1].text, "");
}

// A callback that reports through kuNotify itself (once) must not deadlock on the notify lock.
void printAgain(int level, const kuBase::ClassType*, const char* text, void* out) {
    auto* messages = static_cast<std::vector<Message>*>(out);
    messages->push_back({level, nullptr, text});
    if (messages->size() == 1)
        kuNotify::print(kuNotify::DEBUG, nullptr, "nested after \"%s\"", text);
}

TEST_F(KuNotifyTest, CallbackMayPrintInTurn) {
    kuNotify::setCallback(&printAgain, &messages);
    kuNotify::print(kuNotify::INFO, nullptr, "outer");
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].text, "outer");
    EXPECT_EQ(messages[1].level, kuNotify::DEBUG);
    EXPECT_EQ(messages[1].text, "nested after \"outer\"");
}

TEST_F(KuNotifyTest, PrintsFromSeveralThreadsAllArrive) {
    constexpr int PER_THREAD = 1000;
    capture();
    auto printMany = [](int id) {
        for (int i = 0; i < PER_THREAD; ++i)
            kuNotify::print(kuNotify::DEBUG, nullptr, "thread %d message %d", id, i);
    };
    std::thread first(printMany, 1);
    std::thread second(printMany, 2);
    first.join();
    second.join();
    ASSERT_EQ(messages.size(), std::size_t(2 * PER_THREAD));
    int fromFirst = 0;
    for (const Message& m : messages)
        fromFirst += m.text.rfind("thread 1 ", 0) == 0;
    EXPECT_EQ(fromFirst, PER_THREAD);
}

} // namespace
