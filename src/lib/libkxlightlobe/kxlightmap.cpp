#include "kxlightmap.h"

#include "kxlightlobeclassregistry.h"

#include <ku/kuNotify.h>
#include <kx/kxIsectorService.h>
#include <kx/kxIsectorServiceAsynchronous.h>

#include <cmath>

namespace {
kuBase::ClassType* s_classType = nullptr;
kuRef<kxLightMap> s_instance;
} // namespace

kxLightMap::kxLightMap() {
    registerInstance(s_classType);
}

kxLightMap::~kxLightMap() {
    unregisterInstance(s_classType);
}

kxLightMap* kxLightMap::instance() {
    if (!s_instance)
        s_instance = new kxLightMap;
    return s_instance.get();
}

kxLightMap* kxLightMap::create() {
    return instance();
}

int kxLightMap::initializeClass() {
    const int status = kxClassRegistry::createClassType(
        s_classType, "kxLightMap", kuBase::getStaticClassType(), "kuBase",
        []() -> kuBase* { return create(); }, true, false);
    if (status != 1)
        return status;
    instance();
    return 1;
}

int kxLightMap::shutdownClass() {
    s_instance.reset();
    delete s_classType;
    s_classType = nullptr;
    return 1;
}

void kxLightMap::setIsectorService(kxIsectorService* service) {
    m_isectorService = service;
}
kxIsectorService* kxLightMap::getIsectorService() const {
    return m_isectorService.get();
}

void kxLightMap::preConfigure() {
    if (!m_isectorService && !kxLightLobe::empty())
        m_isectorService = kxIsectorServiceAsynchronous::obtainDefault();
}

int kxLightMap::configure() {
    m_configured = true;
    return 1;
}

int kxLightMap::unconfigure() {
    m_configured = false;
    return 1;
}

void kxLightMap::creatLightTextureBits(int size, kxLightLobe::Falloff falloff,
                                       unsigned char* bits) const {
    if (size <= 0 || !bits)
        return;
    const double half = size / 2.0;
    const double radius = size / 2.7;
    for (int r = 0; r < size; ++r) {
        for (int c = 0; c < size; ++c) {
            const double dr = r - half;
            const double dc = c - half;
            float v = static_cast<float>(std::sqrt(dr * dr + dc * dc) / radius);
            if (falloff == kxLightLobe::FALLOFF_SQUARED)
                v = v * v;
            else if (falloff == kxLightLobe::FALLOFF_CUBIC)
                v = v * v * v;
            if (v > 1.0f)
                v = 1.0f;
            float value = static_cast<float>((1.0f - v) * 255.0);
            if (size < 16)
                value = static_cast<float>((size / 8.0) * value);
            // Small images are brightened by up to size / 8; saturate rather than let the
            // brightest texels wrap round to dark ones.
            if (value > 255.0f)
                value = 255.0f;
            const unsigned char byte = static_cast<unsigned char>(static_cast<int>(value) & 0xff);
            unsigned char* texel = bits + (static_cast<std::size_t>(r) * size + c) * 3;
            texel[0] = texel[1] = texel[2] = byte;
        }
    }
    // One-texel black border, so a clamped texture never lights beyond the footprint.
    for (int i = 0; i < size; ++i) {
        const std::size_t edges[4] = {
            static_cast<std::size_t>(i),                                            // first row
            static_cast<std::size_t>(size - 1) * size + i,                          // last row
            static_cast<std::size_t>(i) * size,                                     // first column
            static_cast<std::size_t>(i) * size + static_cast<std::size_t>(size - 1) // last column
        };
        for (std::size_t texel : edges)
            bits[texel * 3] = bits[texel * 3 + 1] = bits[texel * 3 + 2] = 0;
    }
}

KX_DEFINE_CLASS_REGISTRY(kxLightMap)
