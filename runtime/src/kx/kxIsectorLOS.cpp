#include <kx/kxIsectorLOS.h>

#include "kx/detail/kxLineOfSightScene.h"

#include <ks/ksNode.h>

namespace {
kuBase::ClassType* s_classType = nullptr;
}

// Forgets the probe's target when the target is deleted.
class kxIsectorLOS::TargetWatch : public ksNode::Subscriber {
public:
    explicit TargetWatch(kxIsectorLOS* owner) : m_owner(owner) {}
    void notify(int event, ksNode*, void*, int*) override {
        if (event == ksNode::EVENT_DELETE && m_owner)
            m_owner->m_target = nullptr;
    }
    kxIsectorLOS* m_owner;
};

kxIsectorLOS::kxIsectorLOS() {
    registerInstance(s_classType);
}

kxIsectorLOS::~kxIsectorLOS() {
    setTarget(nullptr);
    unregisterInstance(s_classType);
}

void kxIsectorLOS::setTarget(const ksNode* target) {
    if (target == m_target)
        return;
    if (!m_watch)
        m_watch = new TargetWatch(this);
    auto* watch = static_cast<TargetWatch*>(m_watch.get());
    // The subscriber list is bookkeeping of the node, not part of its value.
    if (m_target)
        const_cast<ksNode*>(m_target)->removeSubscriber(ksNode::EVENT_DELETE, watch);
    m_target = target;
    if (m_target)
        const_cast<ksNode*>(m_target)->addSubscriber(ksNode::EVENT_DELETE, watch);
}

const ksNode* kxIsectorLOS::getTarget() const {
    return m_target;
}

int kxIsectorLOS::cast() {
    if (!(m_mode & MODE_ENABLED) || !m_target) {
        clearHit();
        return KU_FAILURE;
    }
    const std::shared_ptr<kxLineOfSightScene> scene = kxLineOfSightScene::obtain(m_target);
    if (!scene) {
        clearHit();
        return KU_FAILURE;
    }
    const kxLineOfSightScene::Query query = kxLineOfSightScene::makeQuery(*this);
    kxLineOfSightScene::Result result;
    {
        kxLineOfSightScene::FloatModeGuard floatMode;
        const auto lock = scene->lockForCasting();
        scene->cast(query, kxLineOfSightScene::directionOf(query.heading, query.pitch), &result);
    }
    if (!result.hit) {
        clearHit();
        return KU_FAILURE;
    }
    setHit(result.point, result.normal);
    return KU_SUCCESS;
}

int kxIsectorLOS::getHitPoint(kuVec3d* point) const {
    std::lock_guard<std::mutex> guard(m_hitMutex);
    if (!m_hit)
        return KU_FAILURE;
    if (point)
        *point = m_hitPoint;
    return KU_SUCCESS;
}

int kxIsectorLOS::getHitNormal(kuVec3f* normal) const {
    std::lock_guard<std::mutex> guard(m_hitMutex);
    if (!m_hit)
        return KU_FAILURE;
    if (normal)
        *normal = m_hitNormal;
    return KU_SUCCESS;
}

int kxIsectorLOS::getHit(kuVec3d* point, kuVec3f* normal) const {
    std::lock_guard<std::mutex> guard(m_hitMutex);
    if (!m_hit)
        return KU_FAILURE;
    if (point)
        *point = m_hitPoint;
    if (normal)
        *normal = m_hitNormal;
    return KU_SUCCESS;
}

void kxIsectorLOS::setHit(const kuVec3d& point, const kuVec3f& normal) {
    std::lock_guard<std::mutex> guard(m_hitMutex);
    m_hit = true;
    m_hitPoint = point;
    m_hitNormal = normal;
}

void kxIsectorLOS::clearHit() {
    std::lock_guard<std::mutex> guard(m_hitMutex);
    m_hit = false;
}

const kuBase::ClassType* kxIsectorLOS::getClassType() const {
    return s_classType;
}
kuBase::ClassType* kxIsectorLOS::getStaticClassType() {
    return s_classType;
}

int kxIsectorLOS::initializeClass() {
    if (!s_classType)
        s_classType =
            new ClassType("kxIsectorLOS", kuBase::getStaticClassType(), nullptr, true, false);
    return KU_SUCCESS;
}

int kxIsectorLOS::shutdownClass() {
    delete s_classType;
    s_classType = nullptr;
    return KU_SUCCESS;
}
