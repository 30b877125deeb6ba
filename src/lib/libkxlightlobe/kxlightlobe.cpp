#include "kxlightlobe.h"

#include "kxlightlobeclassregistry.h"
#include "kxlightmap.h"

#include <kr/krTexture.h>
#include <kr/krTextureFactory.h>
#include <ks/ksThreadBuffer.h>
#include <ku/kuAllocRef.h>
#include <ku/kuNotify.h>
#include <kx/kxIsectorLOS.h>
#include <kx/kxIsectorService.h>

namespace {
kuBase::ClassType* s_classType = nullptr;
int s_nodeId = 0;
kuRef<krTextureFactory> s_textureFactory;

// Service mode of the lobes' probes: cast at every run.
constexpr int ISECTOR_SERVICE_MODE = 2;
// Isector mode bit the lobes add: the nearest hit along the beam.
constexpr int ISECTOR_MODE_NEAREST = 8;
// krTextureFactory::read mode: cache and build mipmaps.
constexpr int TEXTURE_READ_MODE = 3;
} // namespace

// ---- construction ----

kxLightLobe::kxLightLobe(ksThreadBuffer* threadBuffer) : kxTransform(threadBuffer) {
    registerInstance(s_classType);
    setStaticBoundsEnable(true, true);
    for (auto& isector : m_isectors) {
        isector = new kxIsectorLOS;
        isector->setMode(isector->getMode() | ISECTOR_MODE_NEAREST);
    }
    if (kxLightMap::instance()->getIsectorService())
        addIsectorsToService();
}

kxLightLobe::kxLightLobe(ksNode** clones, int index, ksThreadBuffer* threadBuffer)
    : kxTransform(clones, index, threadBuffer) {
    // A clone may be made long after its master was set up: start from the master's enable
    // rather than from "on", or a lobe switched off before a pipeline existed would show there.
    if (const auto* master = static_cast<const kxLightLobe*>(clones[0]))
        m_enable = master->m_enable;
}

kxLightLobe::~kxLightLobe() {
    if (isMasterClone()) {
        unregisterInstance(s_classType);
        // The service holds the probes too: take them out, or they would be cast for ever.
        removeIsectorsFromService();
    }
}

// ---- registry ----

kxLightLobe* kxLightLobe::create() {
    return new kxLightLobe(nullptr);
}

int kxLightLobe::initializeClass() {
    if (!ksgu::inInitializeClassSession())
        return -32767;
    if (!s_classType) {
        const int status = kxClassRegistry::createClassType(
            s_classType, "kxLightLobe", kxTransform::getStaticClassType(), "kxTransform",
            []() -> kuBase* { return create(); }, true, true);
        if (status != 1)
            return status;
        s_nodeId = ksNode::registerNode(s_classType);
        s_textureFactory = new krTextureFactory;
    }
    return 1;
}

int kxLightLobe::shutdownClass() {
    if (s_classType) {
        ksNode::unregisterNode(s_classType);
        s_nodeId = 0;
        delete s_classType;
        s_classType = nullptr;
    }
    s_textureFactory.reset();
    return 1;
}

int kxLightLobe::getNodeId() const {
    return s_nodeId;
}

// ---- clones ----

ksNode* kxLightLobe::createClone(int index, ksThreadBuffer* threadBuffer) const {
    return new kxLightLobe(getClones(), index, threadBuffer);
}

void kxLightLobe::syncWithMasterClone(int token, ksNode** clones) {
    const auto* master = static_cast<const kxLightLobe*>(getClone(0));
    if (!master)
        return;
    switch (token) {
    case TOKEN_ENABLE:
        setEnable(master->m_enable);
        return;
    case TOKEN_VERTICES:
        for (int k = 0; k < NUM_VERTICES; ++k)
            m_vertices[k] = master->m_vertices[k];
        return;
    case TOKEN_VERTEX_BRIGHTNESS:
        for (int k = 0; k < NUM_VERTICES; ++k)
            m_vertexBrightness[k] = master->m_vertexBrightness[k];
        return;
    case TOKEN_TEXTURE_MATRIX:
        m_textureMatrix = master->m_textureMatrix;
        return;
    case TOKEN_ABSOLUTE_POSE:
        m_absolutePosition = master->m_absolutePosition;
        m_absoluteOrientation = master->m_absoluteOrientation;
        return;
    default:
        break;
    }
    if (token >= TOKEN_ENABLE)
        kuNotify::print(5, s_classType, "Unhandled MT token %d", token);
    kxTransform::syncWithMasterClone(token, clones);
}

// ---- copy and compare ----

kuBase* kxLightLobe::makeCopy(int options) const {
    kuRef<kxLightLobe> lobe = new kxLightLobe(nullptr);
    if (lobe->copy(this, options) != 1)
        return nullptr;
    return lobe.release();
}

int kxLightLobe::copy(const kxLightLobe* source, int options) {
    if (source == this)
        return 1;
    if (!source)
        return -32767;
    if (!(options & COPY_EXCLUDE_BASE)) {
        const int status = kxTransform::copy(source, options);
        if (status != 1)
            return status;
    }
    setEnable(source->m_enable);
    setBrightness(source->m_brightness);
    setSpreadAngle(source->m_spreadAngle);
    setFadeRange(source->m_fadeRange);
    setFalloff(source->m_falloff);
    if (source->m_customTexture && !source->m_textureFile.empty())
        setTextureFile(source->m_textureFile.c_str());
    else
        setTextureSize(source->m_textureSize);
    setIsectEnable(source->m_isectEnable);
    setIsectMask(source->getIsectMask());
    return 1;
}

bool kxLightLobe::compare(const kuBase* other, int options) const {
    if (other == this)
        return true;
    if (!other || other->getClassType() != getClassType())
        return false;
    const auto* lobe = static_cast<const kxLightLobe*>(other);
    if (!(options & COPY_EXCLUDE_BASE) && !kxTransform::compare(other, options))
        return false;
    return m_enable == lobe->m_enable && m_brightness == lobe->m_brightness &&
           m_spreadAngle == lobe->m_spreadAngle && m_fadeRange == lobe->m_fadeRange &&
           m_falloff == lobe->m_falloff && m_textureFile == lobe->m_textureFile &&
           m_textureSize == lobe->m_textureSize && m_isectEnable == lobe->m_isectEnable &&
           getIsectMask() == lobe->getIsectMask();
}

// ---- properties ----

int kxLightLobe::setEnable(bool enable) {
    if (enable != m_enable) {
        m_enable = enable;
        if (ksThreadBuffer* buffer = getThreadBuffer())
            buffer->appendUpdate(this, TOKEN_ENABLE, nullptr, false);
    }
    return 1;
}

void kxLightLobe::setFalloff(Falloff falloff) {
    m_falloff = falloff;
    if (!m_textureFile.empty())
        kuNotify::print(5, s_classType,
                        "Setting falloff on a light lobe when a texture file has been specified "
                        "has no effect");
    else
        createTex();
}

void kxLightLobe::setTextureSize(unsigned int size) {
    m_textureSize = size;
    if (!m_textureFile.empty())
        kuNotify::print(5, s_classType,
                        "Setting texture size on a light lobe when a texture file has been "
                        "specified has no effect");
    else
        createTex();
}

int kxLightLobe::setTextureFile(const char* fileName) {
    if (!fileName || !*fileName)
        return 1;
    if (!s_textureFactory)
        s_textureFactory = new krTextureFactory;
    m_texture = s_textureFactory->read(fileName, nullptr, nullptr, nullptr, TEXTURE_READ_MODE);
    if (!m_texture)
        return -32767;
    m_textureFile = fileName;
    return 1;
}

krTexture* kxLightLobe::getTexture() const {
    return m_texture.get();
}

kxIsectorLOS* kxLightLobe::getIsector(int index) const {
    return index >= 0 && index < NUM_ISECTORS ? m_isectors[index].get() : nullptr;
}

void kxLightLobe::setIsectMask(unsigned int mask) {
    for (auto& isector : m_isectors)
        if (isector)
            isector->setIsectMask(mask);
}

unsigned int kxLightLobe::getIsectMask() const {
    return m_isectors[0] ? m_isectors[0]->getIsectMask() : 0u;
}

void kxLightLobe::setIsectEnable(bool enable) {
    if (!enable) {
        // The probes leave at the next update with a valid hit, so the lobe keeps a footprint.
        m_removeIsectorsPending = true;
        return;
    }
    if (getStaticEnable()) {
        kuNotify::print(5, s_classType, "Can't enable isectors for static light lobe %s",
                        getName());
        return;
    }
    addIsectorsToService();
    m_isectEnable = true;
}

void kxLightLobe::preConfigure() {
    addIsectorsToService();
}

void kxLightLobe::addIsectorsToService() {
    kxIsectorService* service = kxLightMap::instance()->getIsectorService();
    kuNotify::print(2, s_classType, "Adding isectors for lobe %s to service", getName());
    if (!service)
        return;
    for (auto& isector : m_isectors)
        if (isector)
            service->addIsector(isector.get(), ISECTOR_SERVICE_MODE);
}

void kxLightLobe::removeIsectorsFromService() {
    // The light map may already be gone at process end; do not make a new one for this.
    kxLightMap* map = kxLightMap::getStaticClassType() ? kxLightMap::instance() : nullptr;
    kxIsectorService* service = map ? map->getIsectorService() : nullptr;
    if (!service)
        return;
    for (auto& isector : m_isectors)
        if (isector && service->hasIsector(isector.get()))
            service->removeIsector(isector.get());
}

// ---- texture ----

void kxLightLobe::createTex() {
    m_texture = new krTexture;
    m_texture->setWrap(3, 3, 0);
    m_texture->setMinFilter(2, 0);
    m_texture->setMagFilter(2);
    m_texture->setFormat(5, 2);
    const std::size_t side = m_textureSize;
    kuRef<kuAllocRef> bits =
        side > 0 && side <= MAX_TEXTURE_SIZE ? kuAllocRef::malloc(side * side * 3) : nullptr;
    if (!bits) {
        // Keep a texture without image: a lobe with no texture would regenerate every frame.
        kuNotify::print(5, s_classType, "Light lobe %s: no texture of size %u can be made",
                        getName(), m_textureSize);
        return;
    }
    kxLightMap::instance()->creatLightTextureBits(static_cast<int>(side), m_falloff, bits->data());
    m_texture->setImageLevel(0, bits.get());
    m_texture->setDimensions(static_cast<int>(side), static_cast<int>(side), 0);
}

KX_DEFINE_CLASS_REGISTRY(kxLightLobe)
KX_DEFINE_CLASS_REGISTRY_GET(kxLightLobe)
