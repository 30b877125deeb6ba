#include <ku/kuBase.h>

#include <ku/kuNotify.h>

#include <algorithm>
#include <cstring>
#include <mutex>

namespace {

// Class types in creation order. Created and deleted on the application thread, but looked up
// from any thread, hence the lock.
struct Registry {
    std::mutex mutex;
    std::vector<kuBase::ClassType*> types;
};

Registry& registry() {
    static Registry s_registry;
    return s_registry;
}

bool sameName(const char* a, const char* b) {
    return a == b || (a && b && std::strcmp(a, b) == 0);
}

kuBase::ClassType* s_classType = nullptr;

} // namespace

// ---- kuBase ----

kuBase::kuBase() = default;

kuBase::kuBase(const kuBase& other) : kuMemBase(other), m_name(other.m_name) {}

kuBase& kuBase::operator=(const kuBase& other) {
    m_name = other.m_name;
    return *this;
}

kuBase::~kuBase() {
    delete m_userData;
}

void kuBase::setName(const char* name) {
    m_name = name;
}

kuUserDataList* kuBase::getUserDataList(bool create) {
    if (!m_userData && create)
        m_userData = new kuUserDataList;
    return m_userData;
}

const kuUserDataList* kuBase::getUserDataList() const {
    return m_userData;
}

void kuBase::deleteUserDataList() {
    delete m_userData;
    m_userData = nullptr;
}

const kuBase::ClassType* kuBase::getClassType() const {
    return s_classType;
}

bool kuBase::isOfClassType(const ClassType* type) const {
    const ClassType* own = getClassType();
    return own && own->isOfType(type);
}

bool kuBase::isExactClassType(const ClassType* type) const {
    return getClassType() == type;
}

kuBase* kuBase::makeCopy(int) const {
    return nullptr;
}

bool kuBase::compare(const kuBase* other, int options) const {
    if (other == this)
        return true;
    if (!other || other->getClassType() != getClassType())
        return false;
    if (options & COPY_EXCLUDE_BASE)
        return true;
    return m_name == other->m_name;
}

int kuBase::copy(const kuBase* source, int options) {
    if (source == this)
        return KU_SUCCESS;
    if (!source)
        return KU_FAILURE;
    if (!(options & COPY_EXCLUDE_BASE))
        m_name = source->m_name;
    return KU_SUCCESS;
}

void kuBase::registerInstance(ClassType* type) {
    if (type)
        type->addInstance(this);
}

void kuBase::unregisterInstance(ClassType* type) {
    if (type)
        type->removeInstance(this);
}

kuBase::ClassType* kuBase::getStaticClassType() {
    return s_classType;
}

int kuBase::initializeClass() {
    if (!s_classType)
        s_classType = new ClassType("kuBase", nullptr, nullptr, true, false);
    return KU_SUCCESS;
}

int kuBase::shutdownClass() {
    delete s_classType;
    s_classType = nullptr;
    return KU_SUCCESS;
}

// ---- kuBase::ClassType ----

kuBase::ClassType::ClassType(const char* name, ClassType* parent, CreateFunc create,
                             bool trackInstances, bool reportLiveInstances)
    : m_name(name), m_parent(parent), m_create(create), m_trackInstances(trackInstances),
      m_reportLiveInstances(reportLiveInstances) {
    bool duplicate = false;
    {
        Registry& r = registry();
        std::lock_guard<std::mutex> guard(r.mutex);
        for (ClassType* type : r.types)
            duplicate = duplicate || sameName(type->getName(), getName());
        r.types.push_back(this);
    }
    // find() keeps returning the first one; a second type of the same name is a start-up bug.
    if (duplicate)
        kuNotify::print(kuNotify::FAIL, this, "class type \"%s\" already exists", getName());
}

kuBase::ClassType::~ClassType() {
    {
        Registry& r = registry();
        std::lock_guard<std::mutex> guard(r.mutex);
        r.types.erase(std::remove(r.types.begin(), r.types.end(), this), r.types.end());
        // Children keep a parent pointer: cut it rather than leave it dangling.
        for (ClassType* type : r.types)
            if (type->m_parent == this)
                type->m_parent = nullptr;
    }
    std::lock_guard<kuLock> guard(m_instanceLock);
    if (m_reportLiveInstances && m_instances.size() > m_holes)
        kuNotify::print(kuNotify::NOTICE, nullptr,
                        "class type \"%s\" deleted with %zu instance(s) still registered",
                        getName(), m_instances.size() - m_holes);
}

kuBase::ClassType* kuBase::ClassType::find(const char* name) {
    Registry& r = registry();
    std::lock_guard<std::mutex> guard(r.mutex);
    for (ClassType* type : r.types)
        if (sameName(type->getName(), name))
            return type;
    return nullptr;
}

std::vector<kuBase::ClassType*> kuBase::ClassType::getAll() {
    Registry& r = registry();
    std::lock_guard<std::mutex> guard(r.mutex);
    return r.types;
}

bool kuBase::ClassType::isOfType(const ClassType* type) const {
    if (!type)
        return false;
    for (const ClassType* t = this; t; t = t->m_parent)
        if (t == type)
            return true;
    return false;
}

kuBase* kuBase::ClassType::create() const {
    return m_create ? m_create() : nullptr;
}

std::vector<const kuBase::ClassType*> kuBase::ClassType::getDerived() const {
    std::vector<const ClassType*> derived;
    Registry& r = registry();
    std::lock_guard<std::mutex> guard(r.mutex);
    for (ClassType* type : r.types)
        if (type != this && type->isOfType(this))
            derived.push_back(type);
    return derived;
}

void kuBase::ClassType::addInstance(kuBase* instance) {
    if (!m_trackInstances)
        return;
    std::lock_guard<kuLock> guard(m_instanceLock);
    if (!m_positions.emplace(instance, m_instances.size()).second)
        return;
    m_instances.push_back(instance);
}

void kuBase::ClassType::removeInstance(kuBase* instance) {
    std::lock_guard<kuLock> guard(m_instanceLock);
    auto it = m_positions.find(instance);
    if (it == m_positions.end())
        return;
    m_instances[it->second] = nullptr;
    ++m_holes;
    m_positions.erase(it);
    // The newest instances often go first: no hole is left at the end.
    while (!m_instances.empty() && !m_instances.back()) {
        m_instances.pop_back();
        --m_holes;
    }
}

void kuBase::ClassType::compact() const {
    if (!m_holes)
        return;
    std::size_t kept = 0;
    for (kuBase* instance : m_instances)
        if (instance) {
            m_positions[instance] = kept;
            m_instances[kept++] = instance;
        }
    m_instances.resize(kept);
    m_holes = 0;
}

const kuBase::ClassType::InstanceList& kuBase::ClassType::getInstances() const {
    std::lock_guard<kuLock> guard(m_instanceLock);
    compact();
    return m_instances;
}

std::size_t kuBase::ClassType::getInstanceCount(bool includeDerived) const {
    std::size_t count = 0;
    {
        std::lock_guard<kuLock> guard(m_instanceLock);
        count = m_instances.size() - m_holes;
    }
    if (includeDerived)
        for (const ClassType* type : getDerived())
            count += type->getInstanceCount(false);
    return count;
}

bool kuBase::ClassType::isEmpty(bool includeDerived) const {
    return getInstanceCount(includeDerived) == 0;
}

kuBase* kuBase::ClassType::findInstance(const char* name, bool includeDerived) const {
    {
        std::lock_guard<kuLock> guard(m_instanceLock);
        for (kuBase* instance : m_instances)
            if (instance && sameName(instance->getName(), name))
                return instance;
    }
    if (includeDerived)
        for (const ClassType* type : getDerived())
            if (kuBase* found = type->findInstance(name, false))
                return found;
    return nullptr;
}

void kuBase::ClassType::lock_instance(bool includeDerived) const {
    m_instanceLock.lock();
    if (includeDerived)
        for (const ClassType* type : getDerived())
            type->m_instanceLock.lock();
}

void kuBase::ClassType::unlock_instance(bool includeDerived) const {
    if (includeDerived) {
        std::vector<const ClassType*> derived = getDerived();
        for (auto it = derived.rbegin(); it != derived.rend(); ++it)
            (*it)->m_instanceLock.unlock();
    }
    m_instanceLock.unlock();
}

// ---- kuUserDataList ----

void kuUserDataList::add(kuMemBase* data) {
    m_items.emplace_back(data);
}

kuMemBase* kuUserDataList::get(std::size_t index) const {
    return index < m_items.size() ? m_items[index].get() : nullptr;
}
