#ifndef KU_PALETTE_H
#define KU_PALETTE_H

#include <ku/kuBase.h>
#include <ku/kuLock.h>

#include <map>
#include <string>
#include <vector>

// Named objects kept for sharing: a texture loaded or generated once is found again by name
// and class type instead of being made twice. One name may stand for objects of different
// class types (a texture and a state named alike are two entries).
// Counted references: the palette holds one reference to each object it keeps and releases it
// on remove() or clear() (or when the palette goes); find() hands out the object without a
// reference of its own, so a caller that keeps it takes one (kuRef).
// Threads: every operation may be called from any thread (the palette has its own lock); the
// objects themselves keep their own thread rules (a texture is set up on the application
// thread), so in practice palettes are filled and searched on the application thread.
class KX_API kuPalette : public kuMemBase {
public:
    kuPalette();
    kuPalette(const kuPalette&) = delete;
    kuPalette& operator=(const kuPalette&) = delete;

    // Keeps object under its name and the given class type (null: the object's own).
    // replace: an object already kept under that name and exact class type is dropped for this
    // one; otherwise the insertion is refused. requireName: an unnamed object is refused (it
    // could never be found). 1, or -32767 for null, a refusal, or an object that is not of the
    // class type.
    int insert(kuBase* object, const kuBase::ClassType* type, bool replace, bool requireName);
    template <class T>
    int insert(T* object, bool replace, bool requireName) {
        return insert(object, T::getStaticClassType(), replace, requireName);
    }

    // The first object kept under name whose class type is type or derives from it (the
    // latest kept first), or null. A null type matches every object.
    kuBase* find(const char* name, const kuBase::ClassType* type) const;
    template <class T>
    T* find(const char* name) const {
        return static_cast<T*>(find(name, T::getStaticClassType()));
    }

    // Drops the object from every entry that keeps it. 1, or -32767 when it was not kept.
    int remove(const kuBase* object);
    void clear();
    int getNum() const;

protected:
    ~kuPalette() override;

private:
    struct Entry {
        const kuBase::ClassType* type;
        kuRef<kuBase> object;
    };
    mutable kuLock m_lock;
    // By name; within a name, in insertion order.
    std::map<std::string, std::vector<Entry>> m_entries;
};

#endif
