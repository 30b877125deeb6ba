#ifndef KXLIGHTLOBEPROXIES_H
#define KXLIGHTLOBEPROXIES_H

#include "kxlightlobe.h"
#include "kxlightlobecontrol.h"
#include "kxlightlobeexport.h"
#include "kxlightlobeprojected.h"

#include <kx/kxProxies.h>

#include <string>

// Proxies of the module's classes for threads other than the application (update) thread:
// getters read a cache, setters cache and queue the real call, sync reads back, watchers
// report changes (kxProxyBase). Each class keeps a list of its live proxies.
// Constructors: option 0 attaches to the existing object of that name; option 1 creates one
// on the update thread (the caller blocks until it exists) and the proxy manager holds it
// until it stops. Either leaves the proxy unattached when it cannot, with a level-5 message.
// Threads: any, as kxProxyBase.
namespace kxProxies {

class KXLIGHTLOBE_API kxLightLobe : public kxTransform {
public:
    enum Property {
        PROPERTY_BRIGHTNESS,
        PROPERTY_COORD_CONVERTER,
        PROPERTY_CULL_MASK,
        PROPERTY_ENABLE,
        PROPERTY_FADE_RANGE,
        PROPERTY_FALLOFF,
        PROPERTY_ISECT_MASK,
        PROPERTY_ORIENTATION,
        PROPERTY_POSITION,
        PROPERTY_RENDER_MASK,
        PROPERTY_ROTATE,
        PROPERTY_SCALE,
        PROPERTY_SPREAD_ANGLE,
        PROPERTY_STATIC_ENABLE,
        PROPERTY_STRATEGY,
        PROPERTY_STRATEGY_ENABLE,
        PROPERTY_TEXTURE_FILE,
        PROPERTY_TRANSLATE,
        PROPERTY_CHILD,
        NUM_PROPERTIES
    };
    // The real Falloff tokens in alphabetical order.
    enum Falloff { FALLOFF_CUBIC, FALLOFF_LINEAR, FALLOFF_SQUARED };

    // Empty, unattached (the factory's proxy).
    kxLightLobe();
    kxLightLobe(const char* name, int option);

    // The proxy value of a real falloff, or the real value of a proxy falloff; -1 with a
    // level-5 message for a value outside the table.
    static int getFalloffEnumValue(::kxLightLobe::Falloff real);
    static int getFalloffEnumValue(int proxyValue);

    const char* getProxyClassName() const override { return "kxProxies::kxLightLobe"; }
    const kuBase::ClassType* getRealClassType() const override;
    const char* getRealClassName() const override { return "kxLightLobe"; }
    int getNumProperties() const override { return NUM_PROPERTIES; }
    ::kxLightLobe* getExactClassType() const;

    int setBrightness(float brightness);
    float getBrightness() const { return getCached(m_brightness); }
    int setEnable(bool enable);
    bool getEnable() const { return getCached(m_enable); }
    int setFadeRange(float range);
    float getFadeRange() const { return getCached(m_fadeRange); }
    // A proxy Falloff value.
    int setFalloff(int falloff);
    int getFalloff() const { return getCached(m_falloff); }
    // The lobe's probes' mask, as the real class has it.
    int setIsectMask(unsigned int mask) override;
    int setSpreadAngle(float degrees);
    float getSpreadAngle() const { return getCached(m_spreadAngle); }
    int setTextureFile(const char* fileName);
    std::string getTextureFile() const { return getCached(m_textureFile); }

    // Registers the factory with the proxy manager (module initialization).
    static int registerProxyWithFactory();

    // The live proxies of this class.
    static int size();
    static bool empty();
    static kxLightLobe* find(const char* name);
    static kxProxyList<kxLightLobe>& getList();

    void shutdown() override;

    // The properties of the real class that the transform bases do not cover.
    struct Brightness {
        typedef float Value;
        static void apply(::kxLightLobe* o, const Value& v) { o->setBrightness(v); }
        static float read(const ::kxLightLobe* o) { return o->getBrightness(); }
    };
    struct Enable {
        typedef bool Value;
        static void apply(::kxLightLobe* o, const Value& v) { o->setEnable(v); }
        static bool read(const ::kxLightLobe* o) { return o->getEnable(); }
    };
    struct FadeRange {
        typedef float Value;
        static void apply(::kxLightLobe* o, const Value& v) { o->setFadeRange(v); }
        static float read(const ::kxLightLobe* o) { return o->getFadeRange(); }
    };
    // Carries the real value; reads the proxy value.
    struct FalloffValue {
        typedef int Value;
        static void apply(::kxLightLobe* o, const Value& v) {
            o->setFalloff(static_cast<::kxLightLobe::Falloff>(v));
        }
        static int read(const ::kxLightLobe* o);
    };
    struct LobeIsectMask {
        typedef unsigned int Value;
        static void apply(::kxLightLobe* o, const Value& v) { o->setIsectMask(v); }
        static unsigned int read(const ::kxLightLobe* o) { return o->getIsectMask(); }
    };
    struct SpreadAngle {
        typedef float Value;
        static void apply(::kxLightLobe* o, const Value& v) { o->setSpreadAngle(v); }
        static float read(const ::kxLightLobe* o) { return o->getSpreadAngle(); }
    };
    struct TextureFile {
        typedef std::string Value;
        static void apply(::kxLightLobe* o, const Value& v) { o->setTextureFile(v.c_str()); }
        static std::string read(const ::kxLightLobe* o) { return o->getTextureFile(); }
    };

    typedef PropertyChecker<::kxLightLobe, Brightness> Brightness_PropertyChecker;
    typedef PropertyChecker<::kxLightLobe, Enable> Enable_PropertyChecker;
    typedef PropertyChecker<::kxLightLobe, FadeRange> FadeRange_PropertyChecker;
    typedef PropertyChecker<::kxLightLobe, FalloffValue> Falloff_PropertyChecker;
    typedef PropertyChecker<::kxLightLobe, LobeIsectMask> IsectMask_PropertyChecker;
    typedef PropertyChecker<::kxLightLobe, SpreadAngle> SpreadAngle_PropertyChecker;
    typedef PropertyChecker<::kxLightLobe, TextureFile> TextureFile_PropertyChecker;

protected:
    ~kxLightLobe() override;
    const char* const* getPropertyNames() const override;
    void syncProperty(kuBase* object, int id) override;
    kxProxyMgr::PropertyCheckerBase* makeChecker(kxProxyMgr::ObjectHandle* handle,
                                                 kxProxyMgr::PropertyWatcher* watcher) override;
    kxProxyQueue::ProxyMessageBase*
    makeWatcherRequest(bool add, kxProxyMgr::PropertyCheckerBase* checker) override;

private:
    void initialize();

    Cached<float> m_brightness;
    Cached<bool> m_enable;
    Cached<float> m_fadeRange;
    Cached<int> m_falloff;
    Cached<float> m_spreadAngle;
    Cached<std::string> m_textureFile;
};

class KXLIGHTLOBE_API kxLightLobeControl : public kxProxyBase {
public:
    enum Property {
        PROPERTY_ENABLE,
        PROPERTY_EYEPOINT_FADE_RANGE,
        PROPERTY_RENDER_QUALITY,
        NUM_PROPERTIES
    };
    // The real RenderQuality tokens in alphabetical order.
    enum RenderQuality { RENDER_QUALITY_BEST, RENDER_QUALITY_BETTER, RENDER_QUALITY_GOOD };

    kxLightLobeControl();
    kxLightLobeControl(const char* name, int option);

    static int getRenderQualityEnumValue(::kxLightLobeControl::RenderQuality real);
    static int getRenderQualityEnumValue(int proxyValue);

    const char* getProxyClassName() const override { return "kxProxies::kxLightLobeControl"; }
    const kuBase::ClassType* getRealClassType() const override;
    const char* getRealClassName() const override { return "kxLightLobeControl"; }
    int getNumProperties() const override { return NUM_PROPERTIES; }
    ::kxLightLobeControl* getExactClassType() const;

    int setEnable(bool enable);
    bool getEnable() const { return getCached(m_enable); }
    int setEyepointFadeRange(float range);
    float getEyepointFadeRange() const { return getCached(m_eyepointFadeRange); }
    // A proxy RenderQuality value.
    int setRenderQuality(int quality);
    int getRenderQuality() const { return getCached(m_renderQuality); }

    static int registerProxyWithFactory();
    static int size();
    static bool empty();
    static kxLightLobeControl* find(const char* name);
    static kxProxyList<kxLightLobeControl>& getList();

    void shutdown() override;

    struct Enable {
        typedef bool Value;
        static void apply(::kxLightLobeControl* o, const Value& v) { o->setEnable(v); }
        static bool read(const ::kxLightLobeControl* o) { return o->getEnable(); }
    };
    struct EyepointFadeRange {
        typedef float Value;
        static void apply(::kxLightLobeControl* o, const Value& v) { o->setEyepointFadeRange(v); }
        static float read(const ::kxLightLobeControl* o) { return o->getEyepointFadeRange(); }
    };
    struct RenderQualityValue {
        typedef int Value;
        static void apply(::kxLightLobeControl* o, const Value& v) {
            o->setRenderQuality(static_cast<::kxLightLobeControl::RenderQuality>(v));
        }
        static int read(const ::kxLightLobeControl* o);
    };

    typedef PropertyChecker<::kxLightLobeControl, Enable> Enable_PropertyChecker;
    typedef PropertyChecker<::kxLightLobeControl, EyepointFadeRange>
        EyepointFadeRange_PropertyChecker;
    typedef PropertyChecker<::kxLightLobeControl, RenderQualityValue> RenderQuality_PropertyChecker;

protected:
    ~kxLightLobeControl() override;
    const char* const* getPropertyNames() const override;
    void syncProperty(kuBase* object, int id) override;
    kxProxyMgr::PropertyCheckerBase* makeChecker(kxProxyMgr::ObjectHandle* handle,
                                                 kxProxyMgr::PropertyWatcher* watcher) override;
    kxProxyQueue::ProxyMessageBase*
    makeWatcherRequest(bool add, kxProxyMgr::PropertyCheckerBase* checker) override;

private:
    void initialize();

    Cached<bool> m_enable;
    Cached<float> m_eyepointFadeRange;
    Cached<int> m_renderQuality;
};

class KXLIGHTLOBE_API kxLightLobeProjected : public kxTransform {
public:
    enum Property {
        PROPERTY_BRIGHTNESS,
        PROPERTY_COLOR,
        PROPERTY_COORD_CONVERTER,
        PROPERTY_CULL_MASK,
        PROPERTY_ENABLE,
        PROPERTY_FADE_RANGE,
        PROPERTY_FALLOFF,
        PROPERTY_FOG_EFFECT_ENABLE,
        PROPERTY_FOG_EFFECT_MIN_VISIBILITY_DENSITY,
        PROPERTY_FOG_EFFECT_ROTATION_OFFSET,
        PROPERTY_FOG_EFFECT_SCALE,
        PROPERTY_FOG_EFFECT_TEXTURE_FILE,
        PROPERTY_FOG_EFFECT_TRANSLATION_OFFSET,
        PROPERTY_ISECT_MASK,
        PROPERTY_ORIENTATION,
        PROPERTY_POSITION,
        PROPERTY_RENDER_MASK,
        PROPERTY_ROTATE,
        PROPERTY_SCALE,
        PROPERTY_SPREAD_ANGLE,
        PROPERTY_STATIC_ENABLE,
        PROPERTY_STRATEGY,
        PROPERTY_STRATEGY_ENABLE,
        PROPERTY_TEXTURE_FILE,
        PROPERTY_TRANSLATE,
        PROPERTY_CHILD,
        NUM_PROPERTIES
    };
    // The real Falloff tokens in alphabetical order.
    enum Falloff { FALLOFF_CUBIC, FALLOFF_LINEAR, FALLOFF_SQUARED };

    kxLightLobeProjected();
    kxLightLobeProjected(const char* name, int option);

    static int getFalloffEnumValue(::kxLightLobeProjected::Falloff real);
    static int getFalloffEnumValue(int proxyValue);

    const char* getProxyClassName() const override { return "kxProxies::kxLightLobeProjected"; }
    const kuBase::ClassType* getRealClassType() const override;
    const char* getRealClassName() const override { return "kxLightLobeProjected"; }
    int getNumProperties() const override { return NUM_PROPERTIES; }
    ::kxLightLobeProjected* getExactClassType() const;

    int setBrightness(float brightness);
    float getBrightness() const { return getCached(m_brightness); }
    int setColor(float r, float g, float b, float a);
    void getColor(float& r, float& g, float& b, float& a) const;
    int setEnable(bool enable);
    bool getEnable() const { return getCached(m_enable); }
    int setFadeRange(float range);
    float getFadeRange() const { return getCached(m_fadeRange); }
    // A proxy Falloff value.
    int setFalloff(int falloff);
    int getFalloff() const { return getCached(m_falloff); }
    int setSpreadAngle(float degrees);
    float getSpreadAngle() const { return getCached(m_spreadAngle); }
    int setTextureFile(const char* fileName);
    std::string getTextureFile() const { return getCached(m_textureFile); }
    int setFogEffectEnable(bool enable);
    bool getFogEffectEnable() const { return getCached(m_fogEffectEnable); }
    int setFogEffectMinVisibilityDensity(float density);
    float getFogEffectMinVisibilityDensity() const { return getCached(m_fogMinVisibilityDensity); }
    int setFogEffectTranslationOffset(double x, double y, double z);
    void getFogEffectTranslationOffset(double& x, double& y, double& z) const;
    int setFogEffectRotationOffset(double h, double p, double r);
    void getFogEffectRotationOffset(double& h, double& p, double& r) const;
    int setFogEffectScale(double x, double y, double z);
    void getFogEffectScale(double& x, double& y, double& z) const;
    int setFogEffectTextureFile(const char* fileName);
    std::string getFogEffectTextureFile() const { return getCached(m_fogTextureFile); }
    // Setters without a property id: no sync reads them back, so their getters return the
    // last value set through this proxy (0 / false before any).
    int setTextureSize(unsigned int size);
    unsigned int getTextureSize() const { return getCached(m_textureSize); }
    int setEnableCustomTexture(bool enable);
    bool getEnableCustomTexture() const { return getCached(m_enableCustomTexture); }
    int setFogEffectBrightness(float brightness);
    float getFogEffectBrightness() const { return getCached(m_fogBrightness); }

    static int registerProxyWithFactory();
    static int size();
    static bool empty();
    static kxLightLobeProjected* find(const char* name);
    static kxProxyList<kxLightLobeProjected>& getList();

    void shutdown() override;

    typedef ::kxLightLobeProjected Real;
    struct Brightness {
        typedef float Value;
        static void apply(Real* o, const Value& v) { o->setBrightness(v); }
        static float read(const Real* o) { return o->getBrightness(); }
    };
    struct Color {
        typedef kuVec4<float> Value;
        static void apply(Real* o, const Value& v) { o->setColor(v.x, v.y, v.z, v.w); }
        static kuVec4<float> read(const Real* o);
    };
    struct Enable {
        typedef bool Value;
        static void apply(Real* o, const Value& v) { o->setEnable(v); }
        static bool read(const Real* o) { return o->getEnable(); }
    };
    struct FadeRange {
        typedef float Value;
        static void apply(Real* o, const Value& v) { o->setFadeRange(v); }
        static float read(const Real* o) { return o->getFadeRange(); }
    };
    // Carries the real value; reads the proxy value.
    struct FalloffValue {
        typedef int Value;
        static void apply(Real* o, const Value& v) { o->setFalloff(static_cast<Real::Falloff>(v)); }
        static int read(const Real* o);
    };
    struct SpreadAngle {
        typedef float Value;
        static void apply(Real* o, const Value& v) { o->setSpreadAngle(v); }
        static float read(const Real* o) { return o->getSpreadAngle(); }
    };
    struct TextureFile {
        typedef std::string Value;
        static void apply(Real* o, const Value& v) { o->setTextureFile(v.c_str()); }
        static std::string read(const Real* o) { return o->getTextureFile(); }
    };
    struct TextureSize {
        typedef unsigned int Value;
        static void apply(Real* o, const Value& v) { o->setTextureSize(v); }
    };
    struct EnableCustomTexture {
        typedef bool Value;
        static void apply(Real* o, const Value& v) { o->setEnableCustomTexture(v); }
    };
    struct FogEffectEnable {
        typedef bool Value;
        static void apply(Real* o, const Value& v) { o->setFogEffectEnable(v); }
        static bool read(const Real* o) { return o->getFogEffectEnable(); }
    };
    struct FogEffectBrightness {
        typedef float Value;
        static void apply(Real* o, const Value& v) { o->setFogEffectBrightness(v); }
    };
    struct FogEffectMinVisibilityDensity {
        typedef float Value;
        static void apply(Real* o, const Value& v) { o->setFogEffectMinVisibilityDensity(v); }
        static float read(const Real* o) { return o->getFogEffectMinVisibilityDensity(); }
    };
    struct FogEffectRotationOffset {
        typedef kuVec3d Value;
        static void apply(Real* o, const Value& v) { o->setFogEffectRotationOffset(v); }
        static kuVec3d read(const Real* o) { return o->getFogEffectRotationOffset(); }
    };
    struct FogEffectScale {
        typedef kuVec3d Value;
        static void apply(Real* o, const Value& v) { o->setFogEffectScale(v); }
        static kuVec3d read(const Real* o) { return o->getFogEffectScale(); }
    };
    struct FogEffectTextureFile {
        typedef std::string Value;
        static void apply(Real* o, const Value& v) { o->setFogEffectTextureFile(v.c_str()); }
        static std::string read(const Real* o) { return o->getFogEffectTextureFile(); }
    };
    struct FogEffectTranslationOffset {
        typedef kuVec3d Value;
        static void apply(Real* o, const Value& v) { o->setFogEffectTranslationOffset(v); }
        static kuVec3d read(const Real* o) { return o->getFogEffectTranslationOffset(); }
    };

    typedef PropertyChecker<Real, Brightness> Brightness_PropertyChecker;
    typedef PropertyChecker<Real, Color> Color_PropertyChecker;
    typedef PropertyChecker<Real, Enable> Enable_PropertyChecker;
    typedef PropertyChecker<Real, FadeRange> FadeRange_PropertyChecker;
    typedef PropertyChecker<Real, FalloffValue> Falloff_PropertyChecker;
    typedef PropertyChecker<Real, FogEffectEnable> FogEffectEnable_PropertyChecker;
    typedef PropertyChecker<Real, FogEffectMinVisibilityDensity>
        FogEffectMinVisibilityDensity_PropertyChecker;
    typedef PropertyChecker<Real, FogEffectRotationOffset> FogEffectRotationOffset_PropertyChecker;
    typedef PropertyChecker<Real, FogEffectScale> FogEffectScale_PropertyChecker;
    typedef PropertyChecker<Real, FogEffectTextureFile> FogEffectTextureFile_PropertyChecker;
    typedef PropertyChecker<Real, FogEffectTranslationOffset>
        FogEffectTranslationOffset_PropertyChecker;
    typedef PropertyChecker<Real, SpreadAngle> SpreadAngle_PropertyChecker;
    typedef PropertyChecker<Real, TextureFile> TextureFile_PropertyChecker;

protected:
    ~kxLightLobeProjected() override;
    const char* const* getPropertyNames() const override;
    void syncProperty(kuBase* object, int id) override;
    kxProxyMgr::PropertyCheckerBase* makeChecker(kxProxyMgr::ObjectHandle* handle,
                                                 kxProxyMgr::PropertyWatcher* watcher) override;
    kxProxyQueue::ProxyMessageBase*
    makeWatcherRequest(bool add, kxProxyMgr::PropertyCheckerBase* checker) override;

private:
    void initialize();
    void getVec(const Cached<kuVec3d>& cache, double& x, double& y, double& z) const;

    Cached<float> m_brightness;
    Cached<kuVec4<float>> m_color;
    Cached<bool> m_enable;
    Cached<float> m_fadeRange;
    Cached<int> m_falloff;
    Cached<float> m_spreadAngle;
    Cached<std::string> m_textureFile;
    Cached<unsigned int> m_textureSize;
    Cached<bool> m_enableCustomTexture;
    Cached<bool> m_fogEffectEnable;
    Cached<float> m_fogBrightness;
    Cached<float> m_fogMinVisibilityDensity;
    Cached<kuVec3d> m_fogRotation;
    Cached<kuVec3d> m_fogScale;
    Cached<std::string> m_fogTextureFile;
    Cached<kuVec3d> m_fogTranslation;
};

} // namespace kxProxies

#endif
