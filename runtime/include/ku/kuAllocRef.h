#ifndef KU_ALLOCREF_H
#define KU_ALLOCREF_H

#include <ku/kuMemBase.h>

#include <cstddef>

// A counted byte buffer. Image levels are handed around as kuAllocRef so that a texture and
// the code that made its bits can share them without copying.
class KX_API kuAllocRef : public kuMemBase {
public:
    // A new buffer of size bytes (zero-filled), or null when the allocation fails.
    static kuAllocRef* malloc(std::size_t size);

    unsigned char* data() { return m_data; }
    const unsigned char* data() const { return m_data; }
    std::size_t size() const { return m_size; }
    std::size_t getSizeRequested() const override { return m_size; }
    std::size_t getSizeAllocated() const override { return m_size; }

protected:
    ~kuAllocRef() override;

private:
    kuAllocRef(unsigned char* data, std::size_t size) : m_data(data), m_size(size) {}
    unsigned char* m_data;
    std::size_t m_size;
};

#endif
