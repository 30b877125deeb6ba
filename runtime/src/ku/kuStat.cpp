#include <ku/kuStat.h>

#include <ku/kuNotify.h>

#include <algorithm>
#include <cstdio>
#include <mutex>

namespace {

struct Definition {
    const kuBase::ClassType* classType;
    std::string name;
    int type;
};

struct Publication {
    const kuBase* owner;
    // Taken when publishing so that neither erase_class nor summary has to ask an owner that
    // might already be gone.
    const kuBase::ClassType* ownerClass;
    std::string label;
    std::string name;
    kuStat::Containers* containers;
    int index;
    int type;
};

struct Registry {
    std::mutex mutex;
    std::vector<Definition> definitions;
    std::vector<Publication> publications;
};

// Never destroyed: Containers with static storage may still unpublish themselves at exit.
Registry& registry() {
    static Registry* s_registry = new Registry;
    return *s_registry;
}

const Definition* findDefinition(const Registry& r, const kuBase::ClassType* type,
                                 const char* name) {
    for (const Definition& definition : r.definitions)
        if (definition.classType == type && definition.name == name)
            return &definition;
    return nullptr;
}

} // namespace

// ---- kuStat ----

int kuStat::define(kuBase::ClassType* ownerClass, const char* name, int type) {
    if (!ownerClass || !name || !*name || (type != TYPE_TIME && type != TYPE_COUNT))
        return KU_FAILURE;
    Registry& r = registry();
    std::lock_guard<std::mutex> guard(r.mutex);
    if (findDefinition(r, ownerClass, name))
        return KU_FAILURE;
    r.definitions.push_back({ownerClass, name, type});
    return KU_SUCCESS;
}

int kuStat::push_back(kuBase* owner, const char* name, Containers* containers, int index) {
    if (!owner || !name || !containers || index < 0 || index >= containers->getNumContainers())
        return KU_FAILURE;
    const kuBase::ClassType* ownerClass = owner->getClassType();
    Registry& r = registry();
    std::lock_guard<std::mutex> guard(r.mutex);
    // The nearest definition wins, so a derived class may redefine a parent's statistic.
    const Definition* definition = nullptr;
    for (const kuBase::ClassType* type = ownerClass; type && !definition; type = type->getParent())
        definition = findDefinition(r, type, name);
    if (!definition)
        return KU_FAILURE;
    for (const Publication& publication : r.publications)
        if (publication.owner == owner && publication.name == name)
            return KU_FAILURE;

    std::string label = owner->getName();
    if (label.empty())
        label = ownerClass ? ownerClass->getName() : "?";
    r.publications.push_back({owner, ownerClass, label, name, containers, index, definition->type});

    std::lock_guard<Containers> containersGuard(*containers);
    Container* container = containers->get(index);
    container->m_name = name;
    container->m_type = definition->type;
    return KU_SUCCESS;
}

int kuStat::erase(kuBase* owner) {
    if (!owner)
        return KU_FAILURE;
    Registry& r = registry();
    std::lock_guard<std::mutex> guard(r.mutex);
    r.publications.erase(std::remove_if(r.publications.begin(), r.publications.end(),
                                        [owner](const Publication& publication) {
                                            return publication.owner == owner;
                                        }),
                         r.publications.end());
    return KU_SUCCESS;
}

int kuStat::erase_class(kuBase::ClassType* type) {
    if (!type)
        return KU_FAILURE;
    Registry& r = registry();
    std::lock_guard<std::mutex> guard(r.mutex);
    r.definitions.erase(std::remove_if(r.definitions.begin(), r.definitions.end(),
                                       [type](const Definition& definition) {
                                           return definition.classType == type;
                                       }),
                        r.definitions.end());
    r.publications.erase(std::remove_if(r.publications.begin(), r.publications.end(),
                                        [type](const Publication& publication) {
                                            return publication.ownerClass == type;
                                        }),
                         r.publications.end());
    return KU_SUCCESS;
}

std::string kuStat::summary() {
    std::string text;
    Registry& r = registry();
    std::lock_guard<std::mutex> guard(r.mutex);
    for (const Publication& publication : r.publications) {
        Container values;
        {
            std::lock_guard<Containers> containersGuard(*publication.containers);
            values = *publication.containers->get(publication.index);
        }
        // Times are kept in seconds and shown in milliseconds; counts have no unit.
        const bool time = publication.type == TYPE_TIME;
        const double scale = time ? 1000.0 : 1.0;
        const char* unit = time ? " ms" : "";
        char numbers[192];
        std::snprintf(numbers, sizeof(numbers), ": count %lld mean %.3f%s min %.3f%s max %.3f%s\n",
                      values.getCount(), values.getMean() * scale, unit, values.getMin() * scale,
                      unit, values.getMax() * scale, unit);
        text += publication.label;
        text += ' ';
        text += publication.name;
        text += numbers;
    }
    return text;
}

int kuStat::getNumDefinitions() {
    Registry& r = registry();
    std::lock_guard<std::mutex> guard(r.mutex);
    return static_cast<int>(r.definitions.size());
}

int kuStat::getNumPublications() {
    Registry& r = registry();
    std::lock_guard<std::mutex> guard(r.mutex);
    return static_cast<int>(r.publications.size());
}

void kuStat::clear() {
    Registry& r = registry();
    std::lock_guard<std::mutex> guard(r.mutex);
    r.definitions.clear();
    r.publications.clear();
}

void kuStat::eraseContainers(const Containers* containers) {
    std::string names;
    {
        Registry& r = registry();
        std::lock_guard<std::mutex> guard(r.mutex);
        for (const Publication& publication : r.publications)
            if (publication.containers == containers)
                names += (names.empty() ? "" : ", ") + publication.label + " " + publication.name;
        r.publications.erase(std::remove_if(r.publications.begin(), r.publications.end(),
                                            [containers](const Publication& publication) {
                                                return publication.containers == containers;
                                            }),
                             r.publications.end());
    }
    // Outside the registry lock: a notify callback may call back into kuStat.
    if (!names.empty())
        kuNotify::print(kuNotify::NOTICE, nullptr,
                        "statistics containers deleted while still published (%s)", names.c_str());
}

// ---- kuStat::Container ----

void kuStat::Container::record(double value) {
    if (m_count == 0) {
        m_min = value;
        m_max = value;
    } else {
        m_min = std::min(m_min, value);
        m_max = std::max(m_max, value);
    }
    ++m_count;
    m_sum += value;
    m_last = value;
}

void kuStat::Container::reset() {
    m_count = 0;
    m_sum = 0.0;
    m_min = 0.0;
    m_max = 0.0;
    m_last = 0.0;
}

// ---- kuStat::Containers ----

kuStat::Containers::Containers(int numContainers)
    : m_containers(numContainers > 0 ? static_cast<std::size_t>(numContainers) : 0) {}

kuStat::Containers::~Containers() {
    kuStat::eraseContainers(this);
}

kuStat::Container* kuStat::Containers::get(int index) {
    return index >= 0 && index < getNumContainers() ? &m_containers[static_cast<std::size_t>(index)]
                                                    : nullptr;
}

const kuStat::Container* kuStat::Containers::get(int index) const {
    return index >= 0 && index < getNumContainers() ? &m_containers[static_cast<std::size_t>(index)]
                                                    : nullptr;
}
