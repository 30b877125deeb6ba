#include <kx/kxIsectorService.h>

#include "kx/detail/kxLineOfSightScene.h"

#include <kx/kxIsectorLOS.h>

#include <algorithm>

namespace {
kuBase::ClassType* s_classType = nullptr;

// Live services, for the kernel's per-frame hooks. Recursive: a service may be destroyed by
// something a run releases (a probe holding the last reference to a node with subscribers).
struct Registry {
    std::recursive_mutex mutex;
    std::vector<kxIsectorService*> services;
};
Registry& registry() {
    static Registry* r = new Registry;
    return *r;
}

bool isLive(const Registry& r, const kxIsectorService* service) {
    return std::find(r.services.begin(), r.services.end(), service) != r.services.end();
}
} // namespace

struct kxIsectorService::RunState {
    kxLineOfSightBatch batch;
    std::vector<kxIsectorLOS*> probes;
    std::vector<kuRef<kxIsectorLOS>> once;
};

kxIsectorService::kxIsectorService() : m_run(new RunState) {
    registerInstance(s_classType);
    Registry& r = registry();
    std::lock_guard<std::recursive_mutex> guard(r.mutex);
    r.services.push_back(this);
}
kxIsectorService::~kxIsectorService() {
    unregisterService();
    unregisterInstance(s_classType);
}

void kxIsectorService::unregisterService() {
    Registry& r = registry();
    std::lock_guard<std::recursive_mutex> guard(r.mutex);
    r.services.erase(std::remove(r.services.begin(), r.services.end(), this), r.services.end());
}

void kxIsectorService::snapshotProbes(std::vector<kxIsectorLOS*>* probes,
                                      std::vector<kuRef<kxIsectorLOS>>* once) const {
    std::lock_guard<std::mutex> guard(m_mutex);
    probes->clear();
    for (const Entry& entry : m_entries) {
        probes->push_back(entry.isector.get());
        if (entry.mode == MODE_ONCE)
            once->push_back(entry.isector);
    }
}

int kxIsectorService::run() {
    RunState& r = *m_run;
    snapshotProbes(&r.probes, &r.once);
    r.batch.prepare(r.probes);
    r.batch.castAll();
    r.batch.store();
    retireOnce(r.once);
    r.once.clear();
    return KU_SUCCESS;
}

void kxIsectorService::releaseRun() {
    m_run->batch.clear();
}

void kxIsectorService::prepareRun() {
    run();
}

void kxIsectorService::retireOnce(const std::vector<kuRef<kxIsectorLOS>>& once) {
    if (once.empty())
        return;
    std::lock_guard<std::mutex> guard(m_mutex);
    for (const kuRef<kxIsectorLOS>& probe : once) {
        auto it = m_places.find(probe.get());
        if (it != m_places.end() && m_entries[it->second].mode == MODE_ONCE)
            eraseAt(it->second);
    }
}

void kxIsectorService::eraseAt(std::size_t place) {
    m_places.erase(m_entries[place].isector.get());
    if (place + 1 != m_entries.size()) {
        m_entries[place] = std::move(m_entries.back());
        m_places[m_entries[place].isector.get()] = place;
    }
    m_entries.pop_back();
}

void kxIsectorService::startAll() {
    // Every asynchronous run of the previous frame is complete before any scene is updated.
    finishAll();
    Registry& r = registry();
    std::lock_guard<std::recursive_mutex> guard(r.mutex);
    // Prepare everything before launching anything, so that no worker is casting while a scene
    // is being brought up to date.
    const std::vector<kxIsectorService*> services = r.services;
    for (kxIsectorService* service : services)
        if (isLive(r, service))
            service->prepareRun();
    for (kxIsectorService* service : services)
        if (isLive(r, service))
            service->launchRun();
}

void kxIsectorService::finishAll() {
    Registry& r = registry();
    std::lock_guard<std::recursive_mutex> guard(r.mutex);
    const std::vector<kxIsectorService*> services = r.services;
    for (kxIsectorService* service : services)
        if (isLive(r, service))
            service->completeRun();
}

void kxIsectorService::releaseAll() {
    {
        Registry& r = registry();
        std::lock_guard<std::recursive_mutex> guard(r.mutex);
        const std::vector<kxIsectorService*> services = r.services;
        for (kxIsectorService* service : services)
            if (isLive(r, service))
                service->releaseRun();
    }
    kxLineOfSightScene::releaseAll();
}

int kxIsectorService::addIsector(kxIsectorLOS* isector, int mode) {
    if (!isector || (mode != MODE_ONCE && mode != MODE_CONTINUOUS))
        return KU_FAILURE;
    std::lock_guard<std::mutex> guard(m_mutex);
    auto found = m_places.emplace(isector, m_entries.size());
    if (!found.second) {
        m_entries[found.first->second].mode = mode;
        return KU_SUCCESS;
    }
    m_entries.push_back({isector, mode});
    return KU_SUCCESS;
}

int kxIsectorService::removeIsector(kxIsectorLOS* isector) {
    std::lock_guard<std::mutex> guard(m_mutex);
    auto it = m_places.find(isector);
    if (it == m_places.end())
        return KU_FAILURE;
    eraseAt(it->second);
    return KU_SUCCESS;
}

bool kxIsectorService::hasIsector(const kxIsectorLOS* isector) const {
    return getIsectorMode(isector) != 0;
}

int kxIsectorService::getIsectorMode(const kxIsectorLOS* isector) const {
    std::lock_guard<std::mutex> guard(m_mutex);
    auto it = m_places.find(isector);
    return it == m_places.end() ? 0 : m_entries[it->second].mode;
}

int kxIsectorService::getNumIsectors() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return static_cast<int>(m_entries.size());
}

std::vector<kxIsectorService::Entry> kxIsectorService::snapshot() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_entries;
}

const kuBase::ClassType* kxIsectorService::getClassType() const {
    return s_classType;
}
kuBase::ClassType* kxIsectorService::getStaticClassType() {
    return s_classType;
}

int kxIsectorService::initializeClass() {
    if (!s_classType)
        s_classType =
            new ClassType("kxIsectorService", kuBase::getStaticClassType(), nullptr, true, false);
    return KU_SUCCESS;
}

int kxIsectorService::shutdownClass() {
    releaseAll();
    delete s_classType;
    s_classType = nullptr;
    return KU_SUCCESS;
}
