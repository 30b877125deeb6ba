#include <ks/ksWindow.h>

#include <ks/ksChannel.h>
#include <ks/ksChannelBin.h>
#include <ks/ksThreadBuffer.h>
#include <kr/krDrawContext.h>
#include <kr/krRenderElements.h>
#include <kr/krWindow.h>
#include <ku/kuImageFactory.h>
#include <ku/kuNotify.h>

#include <algorithm>

namespace {
kuBase::ClassType* s_classType = nullptr;
}

ksWindow::ksWindow() : m_threadBuffer(ksThreadBuffer::create()) {
    registerInstance(s_classType);
}

ksWindow::~ksWindow() {
    unregisterInstance(s_classType);
    for (auto& channel : m_channels)
        channel->setWindow(nullptr);
    ksThreadBuffer::destroy(m_threadBuffer);
}

void ksWindow::setOrigin(int x, int y) {
    m_x = x, m_y = y;
}
void ksWindow::getOrigin(int& x, int& y) const {
    x = m_x, y = m_y;
}

int ksWindow::setSize(int width, int height) {
    if (width <= 0 || height <= 0)
        return KU_FAILURE;
    m_width = width, m_height = height;
    return KU_SUCCESS;
}

void ksWindow::getSize(int& width, int& height) const {
    width = m_width, height = m_height;
}

int ksWindow::addChannel(ksChannel* channel) {
    if (!channel || hasChannel(channel))
        return KU_FAILURE;
    if (ksWindow* previous = channel->getWindow())
        previous->removeChannel(channel);
    m_channels.emplace_back(channel);
    channel->setWindow(this);
    return KU_SUCCESS;
}

int ksWindow::removeChannel(ksChannel* channel) {
    auto it = std::find(m_channels.begin(), m_channels.end(), channel);
    if (it == m_channels.end())
        return KU_FAILURE;
    channel->setWindow(nullptr);
    m_channels.erase(it);
    return KU_SUCCESS;
}

ksChannel* ksWindow::getChannel(int index) const {
    return index >= 0 && index < getNumChannels()
               ? m_channels[static_cast<std::size_t>(index)].get()
               : nullptr;
}

bool ksWindow::hasChannel(const ksChannel* channel) const {
    return std::find(m_channels.begin(), m_channels.end(), channel) != m_channels.end();
}

void ksWindow::draw(int frame) {
    // Only windows with a channel culled in this frame are drawn.
    bool culled = false;
    for (const auto& channel : m_channels)
        culled = culled || channel->getChannelBinMgr()->hasFrame(frame);
    if (!culled)
        return;
    krWindow* renderWindow = getRenderWindow();
    if (!renderWindow)
        return;
    if (!renderWindow->isCurrent() && !renderWindow->makeCurrent()) {
        kuNotify::print(kuNotify::WARN, nullptr,
                        "ksWindow: window %s: its OpenGL context is current on another thread "
                        "-- frame %d not drawn",
                        getName(), frame);
        return;
    }
    const std::unique_lock<std::mutex> drawing = renderWindow->lockDrawing();
    krDrawContext* context = renderWindow->getDrawContext();
    context->reset();
    context->setElement(krViewport::Element(), false);
    const float black[4] = {0, 0, 0, 1};
    context->clear(black, true);
    for (const auto& channel : m_channels)
        channel->draw(context, frame);
    renderWindow->finish();
}

void ksWindow::recycleFrame(int frame) {
    for (const auto& channel : m_channels)
        channel->getChannelBinMgr()->recycleFrame(frame);
}

krWindow* ksWindow::getRenderWindow() {
    if (!m_renderWindow && m_renderError.empty()) {
        m_renderWindow.reset(new krWindow(m_width, m_height));
        if (!m_renderWindow->isValid()) {
            m_renderError = m_renderWindow->getError();
            m_renderWindow.reset();
            kuNotify::print(kuNotify::WARN, s_classType, "Window %s: no OpenGL context: %s",
                            getName(), m_renderError.c_str());
        }
    }
    return m_renderWindow.get();
}

int ksWindow::writeImage(const char* fileName) {
    if (!m_renderWindow) {
        kuNotify::print(kuNotify::WARN, s_classType, "Window %s has drawn nothing to write",
                        getName());
        return KU_FAILURE;
    }
    if (!kuImage::isValidSize(m_width, m_height, 3)) {
        kuNotify::print(kuNotify::WARN, s_classType,
                        "Window %s: a %dx%d image cannot be read back (at most %d pixels a side "
                        "and %zu MiB)",
                        getName(), m_width, m_height, kuImage::MAX_DIMENSION,
                        kuImage::MAX_BYTES >> 20);
        return KU_FAILURE;
    }
    kuRef<kuImage> image = m_renderWindow->readPixels();
    if (!image) {
        kuNotify::print(kuNotify::WARN, s_classType,
                        "Window %s: its OpenGL context cannot be made current to read it back",
                        getName());
        return KU_FAILURE;
    }
    return kuImageFactory::writePNG(fileName, image.get());
}

const kuBase::ClassType* ksWindow::getClassType() const {
    return s_classType;
}
kuBase::ClassType* ksWindow::getStaticClassType() {
    return s_classType;
}

int ksWindow::getNum() {
    return kuGetInstanceCount(s_classType);
}

ksWindow* ksWindow::get(int index) {
    return kuGetInstance<ksWindow>(s_classType, index);
}

int ksWindow::initializeClass() {
    if (!s_classType)
        s_classType = new ClassType("ksWindow", kuBase::getStaticClassType(), nullptr, true, false);
    return KU_SUCCESS;
}

int ksWindow::shutdownClass() {
    delete s_classType;
    s_classType = nullptr;
    return KU_SUCCESS;
}
