#ifndef KXLIGHTLOBE_CLASSREGISTRY_H
#define KXLIGHTLOBE_CLASSREGISTRY_H

// The registry statics every class of the module offers, written once over the class type.
// A null class type (class not initialized) behaves as a class without instances.

#include <ku/kuBase.h>
#include <ku/kuNotify.h>
#include <ks/ksgu.h>

#include <cstring>

namespace kxClassRegistry {

// The flag passed to the runtime's instance queries: include instances of derived classes.
constexpr bool INCLUDE_DERIVED = true;

inline int size(const kuBase::ClassType* type) {
    return type ? static_cast<int>(type->getInstanceCount(INCLUDE_DERIVED)) : 0;
}

inline bool empty(const kuBase::ClassType* type) {
    return type ? type->isEmpty(INCLUDE_DERIVED) : true;
}

template <class T>
T* find(const kuBase::ClassType* type, const char* name) {
    return type ? static_cast<T*>(type->findInstance(name, INCLUDE_DERIVED)) : nullptr;
}

inline bool sameName(const char* a, const char* b) {
    return a == b || (a && b && std::strcmp(a, b) == 0);
}

// The index-th instance (from 0) named name, in registration order.
template <class T>
T* find(const kuBase::ClassType* type, const char* name, int index) {
    if (!type || index < 0)
        return nullptr;
    type->lock_instance(INCLUDE_DERIVED);
    T* found = nullptr;
    int count = 0;
    for (kuBase* instance : type->getInstances())
        if (sameName(instance->getName(), name) && count++ == index) {
            found = static_cast<T*>(instance);
            break;
        }
    type->unlock_instance(INCLUDE_DERIVED);
    return found;
}

// The instance at index in registration order; an index of 0 or below gives the first.
template <class T>
T* get(const kuBase::ClassType* type, int index) {
    if (!type)
        return nullptr;
    type->lock_instance(INCLUDE_DERIVED);
    const auto& instances = type->getInstances();
    T* found = nullptr;
    if (index <= 0)
        found = instances.empty() ? nullptr : static_cast<T*>(instances.front());
    else if (static_cast<std::size_t>(index) < instances.size())
        found = static_cast<T*>(instances[static_cast<std::size_t>(index)]);
    type->unlock_instance(INCLUDE_DERIVED);
    return found;
}

// Creates a class type inside an open class-initialization session. Returns 1, or -32767 when
// no session is open or the parent class type does not exist.
inline int createClassType(kuBase::ClassType*& type, const char* name, kuBase::ClassType* parent,
                           const char* parentName, kuBase::CreateFunc create, bool trackInstances,
                           bool reportLiveInstances) {
    if (!ksgu::inInitializeClassSession())
        return -32767;
    if (type)
        return 1;
    if (!parent) {
        kuNotify::print(6, nullptr, "%s::initializeClass - class type for \"%s\" does not exist",
                        name, parentName);
        return -32767;
    }
    type = new kuBase::ClassType(name, parent, create, trackInstances, reportLiveInstances);
    return 1;
}

} // namespace kxClassRegistry

// Defines a class's registry statics and class-type queries over the unit's s_classType.
#define KX_DEFINE_CLASS_REGISTRY(Class)                                                            \
    kuBase::ClassType* Class::getStaticClassType() {                                               \
        return s_classType;                                                                        \
    }                                                                                              \
    Class::const_iterator Class::begin() {                                                         \
        return const_iterator::begin(s_classType);                                                 \
    }                                                                                              \
    Class::const_iterator Class::end() {                                                           \
        return const_iterator::end(s_classType);                                                   \
    }                                                                                              \
    int Class::size() {                                                                            \
        return kxClassRegistry::size(s_classType);                                                 \
    }                                                                                              \
    bool Class::empty() {                                                                          \
        return kxClassRegistry::empty(s_classType);                                                \
    }                                                                                              \
    Class* Class::find(const char* name) {                                                         \
        return kxClassRegistry::find<Class>(s_classType, name);                                    \
    }                                                                                              \
    Class* Class::find(const char* name, int index) {                                              \
        return kxClassRegistry::find<Class>(s_classType, name, index);                             \
    }                                                                                              \
    const kuBase::ClassType* Class::getClassType() const {                                         \
        return s_classType;                                                                        \
    }                                                                                              \
    bool Class::isOfClassType(const ClassType* type) const {                                       \
        return s_classType && s_classType->isOfType(type);                                         \
    }                                                                                              \
    bool Class::isExactClassType(const ClassType* type) const {                                    \
        return s_classType == type;                                                                \
    }

// Adds get(index) for the classes that offer it.
#define KX_DEFINE_CLASS_REGISTRY_GET(Class)                                                        \
    Class* Class::get(int index) {                                                                 \
        return kxClassRegistry::get<Class>(s_classType, index);                                    \
    }

// Declares the registry statics inside a class body.
#define KX_DECLARE_CLASS_REGISTRY(Class)                                                           \
    typedef kuInstanceIterator<Class> const_iterator;                                              \
    static ClassType* getStaticClassType();                                                        \
    static const_iterator begin();                                                                 \
    static const_iterator end();                                                                   \
    static int size();                                                                             \
    static bool empty();                                                                           \
    static Class* find(const char* name);                                                          \
    static Class* find(const char* name, int index);                                               \
    const ClassType* getClassType() const override;                                                \
    bool isOfClassType(const ClassType* type) const override;                                      \
    bool isExactClassType(const ClassType* type) const override;

#endif
