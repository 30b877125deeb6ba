#include <kx/kxIsectorLOS.h>

#include "kx/detail/kxLineOfSightScene.h"

#include <ks/ksNode.h>

#include <mutex>
#include <unordered_map>
#include <unordered_set>

namespace {
kuBase::ClassType* s_classType = nullptr;
}

// One watch per target, however many probes aim at it (100,000 lobes aim 300,000 probes at one
// scene root): it forgets the target in all of them when the target is deleted, and aiming a
// probe elsewhere costs constant time.
class kxIsectorLOS::TargetWatch : public ksNode::Subscriber {
public:
    explicit TargetWatch(const ksNode* target) : target(target) {}
    void notify(int event, ksNode* node, void*, int*) override;
    const ksNode* target; // as the probes hold it (a clone tells through its master)
    std::unordered_set<kxIsectorLOS*> probes;
};

namespace {
std::mutex s_watchMutex;
std::unordered_map<const ksNode*, kuRef<kxIsectorLOS::TargetWatch>>& watches() {
    static auto* s_watches =
        new std::unordered_map<const ksNode*, kuRef<kxIsectorLOS::TargetWatch>>;
    return *s_watches;
}
} // namespace

void kxIsectorLOS::TargetWatch::notify(int event, ksNode*, void*, int*) {
    if (event != ksNode::EVENT_DELETE)
        return;
    std::lock_guard<std::mutex> guard(s_watchMutex);
    for (kxIsectorLOS* probe : probes)
        probe->m_target = nullptr;
    probes.clear();
    // The node's destructor holds this watch while it tells it.
    watches().erase(target);
}

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
    std::lock_guard<std::mutex> guard(s_watchMutex);
    auto& all = watches();
    // The subscriber list is bookkeeping of the node, not part of its value.
    if (m_target) {
        auto it = all.find(m_target);
        if (it != all.end()) {
            it->second->probes.erase(this);
            if (it->second->probes.empty()) {
                const_cast<ksNode*>(m_target)->removeSubscriber(ksNode::EVENT_DELETE,
                                                                it->second.get());
                all.erase(it);
            }
        }
    }
    m_target = target;
    if (m_target) {
        kuRef<TargetWatch>& watch = all[m_target];
        if (!watch) {
            watch = new TargetWatch(m_target);
            const_cast<ksNode*>(m_target)->addSubscriber(ksNode::EVENT_DELETE, watch.get());
        }
        watch->probes.insert(this);
    }
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
