#include <ku/kuAllocRef.h>

#include <cstdlib>

kuAllocRef* kuAllocRef::malloc(std::size_t size) {
    auto* data = static_cast<unsigned char*>(std::calloc(size ? size : 1, 1));
    if (!data)
        return nullptr;
    return new kuAllocRef(data, size);
}

kuAllocRef::~kuAllocRef() {
    std::free(m_data);
}
