#ifndef KU_STAT_H
#define KU_STAT_H

#include <ku/kuBase.h>
#include <ku/kuLock.h>

#include <string>
#include <vector>

// Statistics. A class type defines the names of its statistics; an object of that class (or of
// a derived class) publishes one of its containers under a defined name, records values into it,
// and the application prints a summary of every publication.
// Publications point into the owner's Containers: an owner erases its publications (erase)
// before it deletes its containers. Deleting published containers still removes their
// publications, so a forgotten erase cannot leave a dangling entry.
// Threads: the static functions may be called from any thread (one lock guards the registry).
// Values are recorded with the Containers lock held; never call a static function of kuStat while
// holding a Containers lock, since summary() takes the registry lock first, then each Containers
// lock.
class KX_API kuStat {
public:
    enum Type {
        TYPE_TIME = 1, // seconds, printed in milliseconds
        TYPE_COUNT = 2
    };

    class Container;
    class Containers;

    // Defines a statistic on a class type. -32767 for a null class, a null or empty name, an
    // unknown type or a name already defined on that class.
    static int define(kuBase::ClassType* ownerClass, const char* name, int type);

    // Publishes container 'index' of containers under name for owner; the container takes the
    // name and type. -32767 when owner or containers is null, the name is not defined on the
    // owner's class type or one of its parents, index is out of range, or owner already
    // published that name. The summary labels it with the owner's name at this point (its class
    // type's name when it has none).
    static int push_back(kuBase* owner, const char* name, Containers* containers, int index);

    // Removes every publication of owner.
    static int erase(kuBase* owner);
    // Removes the definitions of a class type and the publications whose owner is exactly of
    // that class type (at the time it published).
    static int erase_class(kuBase::ClassType* type);

    // One line per publication, in publication order:
    // "owner-name STATISTIC_NAME: count N mean X min Y max Z" (times in milliseconds).
    static std::string summary();

    static int getNumDefinitions();
    static int getNumPublications();
    // Drops every definition and publication (at shutdown).
    static void clear();

private:
    static void eraseContainers(const Containers* containers);
};

// Running count, sum, minimum, maximum and last value of one statistic.
// Threads: guarded by the lock of the Containers that holds it.
class KX_API kuStat::Container {
public:
    void record(double value);
    void reset();

    long long getCount() const { return m_count; }
    double getSum() const { return m_sum; }
    // 0 while nothing is recorded.
    double getMean() const { return m_count ? m_sum / static_cast<double>(m_count) : 0.0; }
    double getMin() const { return m_min; }
    double getMax() const { return m_max; }
    double getLast() const { return m_last; }

    // The name and type it was published under ("" and 0 before).
    const char* getName() const { return m_name.c_str(); }
    int getType() const { return m_type; }

private:
    friend class kuStat;
    std::string m_name;
    int m_type = 0;
    long long m_count = 0;
    double m_sum = 0.0;
    double m_min = 0.0;
    double m_max = 0.0;
    double m_last = 0.0;
};

// A fixed set of containers with one lock, owned by the object that records into them.
// Threads: lock() around recording and reading; the summary takes the same lock.
class KX_API kuStat::Containers {
public:
    explicit Containers(int numContainers);
    // Removes any publication still pointing here (the owner should have erased them).
    ~Containers();
    Containers(const Containers&) = delete;
    Containers& operator=(const Containers&) = delete;

    int getNumContainers() const { return static_cast<int>(m_containers.size()); }
    // Null when index is out of range.
    Container* get(int index);
    const Container* get(int index) const;

    void lock() { m_lock.lock(); }
    void unlock() { m_lock.unlock(); }

private:
    std::vector<Container> m_containers;
    kuLock m_lock;
};

#endif
