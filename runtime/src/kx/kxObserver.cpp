#include <kx/kxObserver.h>

#include <ks/ksChannel.h>
#include <kx/kxEnv.h>
#include <kx/kxScene.h>

#include <algorithm>

namespace {
kuBase::ClassType* s_classType = nullptr;

template <class T>
int addUnique(std::vector<kuRef<T>>& list, T* item) {
    if (!item || std::find(list.begin(), list.end(), item) != list.end())
        return KU_FAILURE;
    list.emplace_back(item);
    return KU_SUCCESS;
}

template <class T>
int removeItem(std::vector<kuRef<T>>& list, T* item) {
    auto it = std::find(list.begin(), list.end(), item);
    if (it == list.end())
        return KU_FAILURE;
    list.erase(it);
    return KU_SUCCESS;
}
} // namespace

kxObserver::kxObserver() {
    registerInstance(s_classType);
}
kxObserver::~kxObserver() {
    unregisterInstance(s_classType);
}

void kxObserver::setScene(kxScene* scene) {
    m_scene = scene;
}
kxScene* kxObserver::getScene() const {
    return m_scene.get();
}

int kxObserver::addChannel(ksChannel* channel) {
    return addUnique(m_channels, channel);
}
int kxObserver::removeChannel(ksChannel* channel) {
    return removeItem(m_channels, channel);
}

ksChannel* kxObserver::getChannel(int index) const {
    return index >= 0 && index < getNumChannels()
               ? m_channels[static_cast<std::size_t>(index)].get()
               : nullptr;
}

bool kxObserver::hasChannel(const ksChannel* channel) const {
    return std::find(m_channels.begin(), m_channels.end(), channel) != m_channels.end();
}

int kxObserver::addAttachment(kuBase* attachment) {
    return addUnique(m_attachments, attachment);
}
int kxObserver::removeAttachment(kuBase* attachment) {
    return removeItem(m_attachments, attachment);
}

kuBase* kxObserver::getAttachment(int index) const {
    return index >= 0 && index < getNumAttachments()
               ? m_attachments[static_cast<std::size_t>(index)].get()
               : nullptr;
}

kuMatrixd kxObserver::getWorldMatrix() const {
    const kuVec3d& p = getPosition();
    const kuVec3d& o = getOrientation();
    kuMatrixd rotate, translate;
    rotate.makeRotate(o.x, o.y, o.z);
    translate.makeTranslate(p.x, p.y, p.z);
    return rotate * translate;
}

void kxObserver::updateChannelViews() {
    const kuMatrixd world = getWorldMatrix();
    for (auto& channel : m_channels) {
        channel->setViewMatrix(ksChannel::makeViewMatrix(channel->getOffsetMatrix() * world));
        channel->setFrameScene(m_scene ? m_scene->getRoot() : nullptr);
        // The last environment attached lights the channel; without one, the default light.
        kxEnv* env = nullptr;
        for (int i = 0; i < getNumAttachments(); ++i)
            if (auto* attached = dynamic_cast<kxEnv*>(getAttachment(i)))
                env = attached;
        if (env)
            env->applyToChannel(channel.get(), this);
        else
            channel->setFrameEnvironment(ksChannel::Lighting(), false, nullptr);
    }
}

const kuBase::ClassType* kxObserver::getClassType() const {
    return s_classType;
}
kuBase::ClassType* kxObserver::getStaticClassType() {
    return s_classType;
}
int kxObserver::getNum() {
    return kuGetInstanceCount(s_classType);
}
kxObserver* kxObserver::get(int index) {
    return kuGetInstance<kxObserver>(s_classType, index);
}

int kxObserver::initializeClass() {
    if (!s_classType)
        s_classType =
            new ClassType("kxObserver", kuBase::getStaticClassType(), nullptr, true, false);
    return KU_SUCCESS;
}

int kxObserver::shutdownClass() {
    delete s_classType;
    s_classType = nullptr;
    return KU_SUCCESS;
}
