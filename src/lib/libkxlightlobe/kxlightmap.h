#ifndef KXLIGHTMAP_H
#define KXLIGHTMAP_H

#include "kxlightlobe.h"
#include "kxlightlobeclassregistry.h"
#include "kxlightlobeexport.h"

#include <ku/kuBase.h>

class kxIsectorService;

// The light-map technique's singleton: the global settings the rendering reads, the isector
// service the lobes' probes run in, and the falloff image generator shared by the lobes and
// the map.
// Threads: application thread, except the plain global settings, which draw threads read.
class KXLIGHTLOBE_API kxLightMap : public kuBase {
public:
    KX_DECLARE_CLASS_REGISTRY(kxLightMap)

    // The singleton, made on first call.
    static kxLightMap* instance();
    static kxLightMap* create();
    static int initializeClass();
    static int shutdownClass();

    void setEnable(bool enable) { m_enable = enable; }
    bool getEnable() const { return m_enable; }
    void setTextureSize(unsigned int size) { m_textureSize = size; }
    unsigned int getTextureSize() const { return m_textureSize; }
    void setTransitionLightIntensity(float intensity) { m_transitionLightIntensity = intensity; }
    float getTransitionLightIntensity() const { return m_transitionLightIntensity; }
    void setBrightenScale(float scale) { m_brightenScale = scale; }
    float getBrightenScale() const { return m_brightenScale; }
    void setIsectorService(kxIsectorService* service);
    kxIsectorService* getIsectorService() const;
    bool isConfigured() const { return m_configured; }

    // Module phases.
    void preConfigure();
    int configure();
    int unconfigure();

    // Fills bits (size x size x 3 bytes, RGB, row-major) with a disc of radius size / 2.7 that
    // falls off from 255 at the centre by the given shape, inside a one-texel black border.
    void creatLightTextureBits(int size, kxLightLobe::Falloff falloff, unsigned char* bits) const;

protected:
    kxLightMap();
    ~kxLightMap() override;

private:
    bool m_configured = false;
    bool m_enable = true;
    float m_transitionLightIntensity = 0.5f;
    float m_brightenScale = 1.0f;
    unsigned int m_textureSize = 128;
    kuRef<kxIsectorService> m_isectorService;
};

#endif
