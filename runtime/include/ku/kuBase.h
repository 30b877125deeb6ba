#ifndef KU_BASE_H
#define KU_BASE_H

#include <ku/kuLock.h>
#include <ku/kuMemBase.h>
#include <ku/kuString.h>

#include <cstddef>
#include <iterator>
#include <unordered_map>
#include <vector>

class kuUserDataList;

// Root of the runtime's named, typed objects. Each class registered with the runtime has a
// ClassType; instances register with it so they can be counted, found by name and iterated.
// Threads: class types are created and deleted on the application thread inside a class
// initialization session; instance queries take the class type's instance lock.
class KX_API kuBase : public kuMemBase {
public:
    class ClassType;
    typedef kuBase* (*CreateFunc)();

    // Option bits of makeCopy() and compare().
    enum CopyOption {
        // Leave out the base-class part (copy or compare only what the most derived class adds).
        COPY_EXCLUDE_BASE = 1
    };

    kuBase();
    kuBase(const kuBase& other);
    kuBase& operator=(const kuBase& other);

    virtual void setName(const char* name);
    const char* getName() const { return m_name.c_str(); }
    // True when a name was set (an object named "" has no name).
    bool hasName() const { return !m_name.empty(); }

    // The list is made on first use when create is true.
    virtual kuUserDataList* getUserDataList(bool create = false);
    virtual const kuUserDataList* getUserDataList() const;
    virtual void deleteUserDataList();

    virtual const ClassType* getClassType() const;
    virtual bool isOfClassType(const ClassType* type) const;
    virtual bool isExactClassType(const ClassType* type) const;

    // A new object of the same class with the same values, or null when the class cannot copy.
    virtual kuBase* makeCopy(int options = 0) const;
    // True when other holds the same values (the name, for the kuBase part).
    virtual bool compare(const kuBase* other, int options = 0) const;

    // Copies the kuBase part (the name). 1 on success, -32767 for a null source.
    int copy(const kuBase* source, int options = 0);

    // Adds this object to (or removes it from) a class type's instance list; null is ignored,
    // so objects that outlive their class type unregister safely.
    void registerInstance(ClassType* type);
    void unregisterInstance(ClassType* type);

    static ClassType* getStaticClassType();
    static int initializeClass();
    static int shutdownClass();

protected:
    ~kuBase() override;

private:
    kuString m_name;
    kuUserDataList* m_userData = nullptr;
};

// A class registered with the runtime: name, parent, creation functor and its instances.
class KX_API kuBase::ClassType {
public:
    typedef std::vector<kuBase*> InstanceList;

    // trackInstances: keep a list of the instances that register (otherwise registration is
    // ignored). reportLiveInstances: when the class type is deleted while instances are still
    // registered, report them at level 4 (a leak check for classes whose objects should be gone).
    ClassType(const char* name, ClassType* parent, CreateFunc create, bool trackInstances,
              bool reportLiveInstances);
    ~ClassType();
    ClassType(const ClassType&) = delete;
    ClassType& operator=(const ClassType&) = delete;

    // The registered class type of that name, or null.
    static ClassType* find(const char* name);
    // Every registered class type, in creation order.
    static std::vector<ClassType*> getAll();

    const char* getName() const { return m_name.c_str(); }
    ClassType* getParent() const { return m_parent; }
    bool isOfType(const ClassType* type) const;
    // Calls the creation functor; null when there is none.
    kuBase* create() const;
    bool getTrackInstances() const { return m_trackInstances; }
    bool getReportLiveInstances() const { return m_reportLiveInstances; }

    // Instance queries. includeDerived adds the instances of every class type derived from
    // this one (after this type's own).
    std::size_t getInstanceCount(bool includeDerived) const;
    bool isEmpty(bool includeDerived) const;
    kuBase* findInstance(const char* name, bool includeDerived) const;

    // Holds the instance lock (of the derived types too when includeDerived) so that a caller
    // can walk getInstances() safely. Recursive.
    void lock_instance(bool includeDerived) const;
    void unlock_instance(bool includeDerived) const;
    // This type's own instances in registration order; walk it with the instance lock held.
    const InstanceList& getInstances() const;

private:
    friend class kuBase;
    void addInstance(kuBase* instance);
    void removeInstance(kuBase* instance);
    // Sweeps out the places removed instances left; under the instance lock.
    void compact() const;
    std::vector<const ClassType*> getDerived() const;

    kuString m_name;
    ClassType* m_parent;
    CreateFunc m_create;
    bool m_trackInstances;
    bool m_reportLiveInstances;
    // Removing an instance leaves a null in its place, swept out before the list is next read,
    // and its place is looked up: adding and removing cost constant time however many
    // instances there are, and a read after removals costs one pass.
    mutable InstanceList m_instances;
    mutable std::unordered_map<const kuBase*, std::size_t> m_positions;
    mutable std::size_t m_holes = 0;
    mutable kuLock m_instanceLock;
};

// Iterates a class type's instances as pointers of a class's own type (registry begin/end).
template <class T>
class kuInstanceIterator {
public:
    typedef kuBase::ClassType::InstanceList::const_iterator Base;
    typedef std::forward_iterator_tag iterator_category;
    typedef T* value_type;
    typedef std::ptrdiff_t difference_type;
    typedef T* const* pointer;
    typedef T* reference;

    kuInstanceIterator() = default;
    explicit kuInstanceIterator(Base it) : m_it(it) {}
    T* operator*() const { return static_cast<T*>(*m_it); }
    kuInstanceIterator& operator++() {
        ++m_it;
        return *this;
    }
    kuInstanceIterator operator++(int) {
        kuInstanceIterator old = *this;
        ++m_it;
        return old;
    }
    bool operator==(const kuInstanceIterator& other) const { return m_it == other.m_it; }
    bool operator!=(const kuInstanceIterator& other) const { return m_it != other.m_it; }

    static kuInstanceIterator begin(const kuBase::ClassType* type) {
        return kuInstanceIterator(type ? type->getInstances().begin() : empty().begin());
    }
    static kuInstanceIterator end(const kuBase::ClassType* type) {
        return kuInstanceIterator(type ? type->getInstances().end() : empty().end());
    }

private:
    static const kuBase::ClassType::InstanceList& empty() {
        static const kuBase::ClassType::InstanceList s_empty;
        return s_empty;
    }
    Base m_it{};
};

// The number of a class type's own instances (0 without a class type).
inline int kuGetInstanceCount(const kuBase::ClassType* type) {
    return type ? static_cast<int>(type->getInstanceCount(false)) : 0;
}

// A class type's own instance at index in registration order, as a T (null when out of range).
template <class T>
T* kuGetInstance(const kuBase::ClassType* type, int index) {
    if (!type || index < 0)
        return nullptr;
    type->lock_instance(false);
    const kuBase::ClassType::InstanceList& instances = type->getInstances();
    T* instance = static_cast<std::size_t>(index) < instances.size()
                      ? static_cast<T*>(instances[static_cast<std::size_t>(index)])
                      : nullptr;
    type->unlock_instance(false);
    return instance;
}

// Counted objects an application attaches to a kuBase.
class KX_API kuUserDataList {
public:
    void add(kuMemBase* data);
    kuMemBase* get(std::size_t index) const;
    std::size_t size() const { return m_items.size(); }
    void clear() { m_items.clear(); }

private:
    std::vector<kuRef<kuMemBase>> m_items;
};

#endif
