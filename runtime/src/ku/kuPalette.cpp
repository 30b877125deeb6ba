#include <ku/kuPalette.h>

#include <mutex>

kuPalette::kuPalette() = default;

kuPalette::~kuPalette() = default;

int kuPalette::insert(kuBase* object, const kuBase::ClassType* type, bool replace,
                      bool requireName) {
    if (!object)
        return -32767;
    const kuBase::ClassType* own = object->getClassType();
    if (!type)
        type = own;
    else if (!object->isOfClassType(type))
        return -32767;
    if (requireName && !object->hasName())
        return -32767;
    std::lock_guard<kuLock> guard(m_lock);
    std::vector<Entry>& entries = m_entries[object->getName()];
    for (Entry& entry : entries)
        if (entry.type == type) {
            if (!replace && entry.object != object)
                return -32767;
            entry.object = object;
            return 1;
        }
    entries.push_back(Entry{type, object});
    return 1;
}

kuBase* kuPalette::find(const char* name, const kuBase::ClassType* type) const {
    if (!name)
        return nullptr;
    std::lock_guard<kuLock> guard(m_lock);
    auto it = m_entries.find(name);
    if (it == m_entries.end())
        return nullptr;
    for (auto entry = it->second.rbegin(); entry != it->second.rend(); ++entry)
        if (!type || entry->object->isOfClassType(type))
            return entry->object.get();
    return nullptr;
}

int kuPalette::remove(const kuBase* object) {
    if (!object)
        return -32767;
    // Released after the lock: a destructor may use the palette.
    std::vector<kuRef<kuBase>> dropped;
    {
        std::lock_guard<kuLock> guard(m_lock);
        for (auto it = m_entries.begin(); it != m_entries.end();) {
            std::vector<Entry>& entries = it->second;
            for (auto entry = entries.begin(); entry != entries.end();)
                if (entry->object == object) {
                    dropped.push_back(entry->object);
                    entry = entries.erase(entry);
                } else {
                    ++entry;
                }
            it = entries.empty() ? m_entries.erase(it) : std::next(it);
        }
    }
    return dropped.empty() ? -32767 : 1;
}

void kuPalette::clear() {
    std::map<std::string, std::vector<Entry>> dropped;
    {
        std::lock_guard<kuLock> guard(m_lock);
        dropped.swap(m_entries);
    }
}

int kuPalette::getNum() const {
    std::lock_guard<kuLock> guard(m_lock);
    int count = 0;
    for (const auto& entries : m_entries)
        count += static_cast<int>(entries.second.size());
    return count;
}
