#ifndef KX_TEST_SUPPORT_H
#define KX_TEST_SUPPORT_H

// Helpers shared by the tests: message capture through the notification callback, a
// temporary folder, and a fixture that starts the runtime and the module like an application.

#include <ku/kuNotify.h>
#include <kx/kxKernel.h>
#include <kx/kxModule.h>
#include <kx/kxTerrain.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// Collects every message while alive. Captures nest: an inner one passes each message on to
// the one it was made within.
class kxMessageCapture {
public:
    struct Message {
        int level;
        std::string classType;
        std::string text;
    };

    kxMessageCapture() : m_outer(innermost()) {
        innermost() = this;
        kuNotify::setCallback(&kxMessageCapture::callback, this);
    }
    ~kxMessageCapture() {
        innermost() = m_outer;
        if (m_outer)
            kuNotify::setCallback(&kxMessageCapture::callback, m_outer);
        else
            kuNotify::setCallback(nullptr, nullptr);
    }
    kxMessageCapture(const kxMessageCapture&) = delete;
    kxMessageCapture& operator=(const kxMessageCapture&) = delete;

    std::vector<Message> messages() const {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_messages;
    }
    void clear() {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_messages.clear();
    }
    // Number of messages at level whose text equals text exactly.
    int count(int level, const std::string& text) const {
        int n = 0;
        for (const Message& m : messages())
            n += m.level == level && m.text == text;
        return n;
    }
    // Number of messages whose text contains part (any level).
    int countContaining(const std::string& part) const {
        int n = 0;
        for (const Message& m : messages())
            n += m.text.find(part) != std::string::npos;
        return n;
    }

private:
    static void callback(int level, const kuBase::ClassType* type, const char* message,
                         void* self) {
        auto* capture = static_cast<kxMessageCapture*>(self);
        {
            std::lock_guard<std::mutex> guard(capture->m_mutex);
            capture->m_messages.push_back({level, type ? type->getName() : "", message});
        }
        if (capture->m_outer)
            callback(level, type, message, capture->m_outer);
    }
    static kxMessageCapture*& innermost() {
        static kxMessageCapture* capture = nullptr;
        return capture;
    }

    kxMessageCapture* const m_outer;
    mutable std::mutex m_mutex;
    std::vector<Message> m_messages;
};

// A fresh folder under the system's temporary folder, removed at the end.
class kxTempDir {
public:
    kxTempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "kxtest-XXXXXX").string();
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (mkdtemp(buffer.data()))
            m_path = buffer.data();
    }
    ~kxTempDir() {
        std::error_code ignored;
        if (!m_path.empty())
            std::filesystem::remove_all(m_path, ignored);
    }
    std::string file(const std::string& name) const { return (m_path / name).string(); }
    const std::filesystem::path& path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

// Starts the runtime and loads the module by name; tears both down afterwards.
// Flat ground of the given side and cells per side, built (the build is checked).
inline kuRef<kxTerrain> kxFlatGround(double size, int resolution) {
    kuRef<kxTerrain> ground = new kxTerrain;
    ground->setSize(size);
    ground->setResolution(resolution);
    ground->setAmplitude(0);
    EXPECT_EQ(ground->build(), 1);
    return ground;
}

// Every channel drawn checks OpenGL's error flag and reports what it finds: the fixture fails
// a test that leaves an OpenGL error in any frame.
class kxModuleTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_glErrors.reset(new kxMessageCapture);
        ASSERT_EQ(kxKernel::initialize(0, nullptr), 1);
        ASSERT_EQ(kxModule::initializeModule("kxlightlobe"), 1);
        m_module = kxModule::find("kxlightlobe");
        ASSERT_NE(m_module, nullptr);
        ASSERT_EQ(m_module->initialize(0, nullptr), 1);
    }
    void TearDown() override {
        kxKernel::shutdown();
        expectNoGLError();
        m_glErrors.reset();
    }
    // One frame, with no OpenGL error reported by then (a pipelined frame's drawing is
    // checked by a later call or at the end of the test).
    int runFrame() {
        const int result = kxKernel::instance()->runFrame();
        expectNoGLError();
        return result;
    }
    void expectNoGLError() {
        if (!m_glErrors)
            return;
        for (const kxMessageCapture::Message& m : m_glErrors->messages())
            if (m.text.find("OpenGL error") != std::string::npos)
                ADD_FAILURE() << m.text;
        m_glErrors->clear();
    }

    kxModule* m_module = nullptr;
    std::unique_ptr<kxMessageCapture> m_glErrors;
};

#endif
