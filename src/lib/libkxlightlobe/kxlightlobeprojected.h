#ifndef KXLIGHTLOBEPROJECTED_H
#define KXLIGHTLOBEPROJECTED_H

#include "kxlightlobeclassregistry.h"
#include "kxlightlobeexport.h"

#include <kx/kxTransform.h>

// A light lobe drawn by generated shader code instead of the light map.
// Threads: application thread against the master; clones as for every node.
class KXLIGHTLOBE_API kxLightLobeProjected : public kxTransform {
public:
    KX_DECLARE_CLASS_REGISTRY(kxLightLobeProjected)

    enum Falloff : int { FALLOFF_LINEAR = 1, FALLOFF_SQUARED = 2, FALLOFF_CUBIC = 3 };

    explicit kxLightLobeProjected(ksThreadBuffer* threadBuffer = nullptr);

    static kxLightLobeProjected* create();
    static kxLightLobeProjected* get(int index);
    static int getNum() { return size(); }
    static int initializeClass();
    static int shutdownClass();

    ksNode* createClone(int index, ksThreadBuffer* threadBuffer) const override;

    // Distance at which the lobe's light has faded to nothing.
    void setFadeRange(float range) { m_fadeRange = range; }
    float getFadeRange() const { return m_fadeRange; }

protected:
    kxLightLobeProjected(ksNode** clones, int index, ksThreadBuffer* threadBuffer);
    ~kxLightLobeProjected() override;

private:
    float m_fadeRange = 1000.0f;
};

#endif
