#include <kx/kxIsectorService.h>

#include <kx/kxIsectorLOS.h>

#include <algorithm>

namespace {
kuBase::ClassType* s_classType = nullptr;
}

kxIsectorService::kxIsectorService() {
    registerInstance(s_classType);
}
kxIsectorService::~kxIsectorService() {
    unregisterInstance(s_classType);
}

int kxIsectorService::addIsector(kxIsectorLOS* isector, int mode) {
    if (!isector || (mode != MODE_ONCE && mode != MODE_CONTINUOUS))
        return KU_FAILURE;
    std::lock_guard<std::mutex> guard(m_mutex);
    for (Entry& entry : m_entries)
        if (entry.isector.get() == isector) {
            entry.mode = mode;
            return KU_SUCCESS;
        }
    m_entries.push_back({isector, mode});
    return KU_SUCCESS;
}

int kxIsectorService::removeIsector(kxIsectorLOS* isector) {
    std::lock_guard<std::mutex> guard(m_mutex);
    auto it = std::find_if(m_entries.begin(), m_entries.end(),
                           [isector](const Entry& e) { return e.isector.get() == isector; });
    if (it == m_entries.end())
        return KU_FAILURE;
    m_entries.erase(it);
    return KU_SUCCESS;
}

bool kxIsectorService::hasIsector(const kxIsectorLOS* isector) const {
    return getIsectorMode(isector) != 0;
}

int kxIsectorService::getIsectorMode(const kxIsectorLOS* isector) const {
    std::lock_guard<std::mutex> guard(m_mutex);
    for (const Entry& entry : m_entries)
        if (entry.isector.get() == isector)
            return entry.mode;
    return 0;
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
    delete s_classType;
    s_classType = nullptr;
    return KU_SUCCESS;
}
