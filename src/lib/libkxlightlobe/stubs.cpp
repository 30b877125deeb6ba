// Configuration-file keywords of the module's classes: one handler per property, each reading
// its arguments (unreadable ones arrive as zero values, already reported by the parser) and
// calling the class's own setter.

#include "stubs.h"

#include "kxlightlobe.h"
#include "kxlightlobecontrol.h"
#include "kxlightlobeprojected.h"

#include <kc/kcConfigParser.h>
#include <kc/kcRuntimeKeywords.h>
#include <ks/ksChannel.h>
#include <ks/ksNode.h>
#include <kx/kxCoordConverter.h>
#include <kx/kxStrategy.h>

#include <cassert>
#include <cstring>

namespace {

// The enumeration value a token stands for, or the property's fallback for any other text.
struct Token {
    const char* name;
    int value;
};

template <std::size_t N>
int matchToken(const char* text, const Token (&tokens)[N], int fallback) {
    for (const Token& token : tokens)
        if (text && std::strcmp(text, token.name) == 0)
            return token.value;
    return fallback;
}

const Token FALLOFF_TOKENS[] = {
    {"FALLOFF_CUBIC", 3}, {"FALLOFF_LINEAR", 1}, {"FALLOFF_SQUARED", 2}};
const Token QUALITY_TOKENS[] = {
    {"RENDER_QUALITY_BEST", 3}, {"RENDER_QUALITY_BETTER", 2}, {"RENDER_QUALITY_GOOD", 1}};
const Token SIZE_TOKENS[] = {{"128", 128}, {"256", 256}, {"64", 64}};

template <std::size_t N>
kcArgDefinitions tokenArgument(const char* name, const Token (&tokens)[N]) {
    kcArgDefinitions::TokenList list;
    for (const Token& token : tokens)
        list.emplace_back(token.name, token.value);
    kcArgDefinitions definitions;
    definitions.addToken(name, list);
    return definitions;
}

kcArgDefinitions oneArgument(const char* name, kcVariant::Type type) {
    kcArgDefinitions definitions;
    definitions.add(name, type);
    return definitions;
}

kcArgDefinitions threeDoubles(const char* a, const char* b, const char* c) {
    kcArgDefinitions definitions;
    for (const char* name : {a, b, c})
        definitions.add(name, kcVariant::TYPE_DOUBLE);
    return definitions;
}

kcArgDefinitions fourFloats(const char* a, const char* b, const char* c, const char* d) {
    kcArgDefinitions definitions;
    for (const char* name : {a, b, c, d})
        definitions.add(name, kcVariant::TYPE_FLOAT);
    return definitions;
}

template <class T>
T* as(kuBase* object) {
    assert(object && object->isOfClassType(T::getStaticClassType()));
    return static_cast<T*>(object);
}

// The properties every configurable transform-based lobe class shares, in their order.
template <class T>
void addTransformProperties(kcConfigParser* parser, const char* keyword) {
    // The node's own status, so that a refused child (one already there, one that is not
    // there) is reported with its line. A reference that would close a loop (a child whose
    // strategy aims at the lobe, say) is refused: nothing in the loop would ever be released.
    parser->addReferenceProp(keyword, "addChild", "addChild", "ksNode",
                             [](kuBase* o, const kcArgValues& v) {
                                 if (kcRuntimeKeywords::holds(v.getBase(0), o))
                                     return -32767;
                                 return as<T>(o)->addChild(static_cast<ksNode*>(v.getBase(0)));
                             });
    parser->addReferenceProp(keyword, "removeChild", "removeChild", "ksNode",
                             [](kuBase* o, const kcArgValues& v) {
                                 return as<T>(o)->removeChild(static_cast<ksNode*>(v.getBase(0)));
                             });
    parser->addConfigurableProp(keyword, "setCullMask",
                                oneArgument("setCullMask", kcVariant::TYPE_BITMASK),
                                [](kuBase* o, const kcArgValues& v) {
                                    as<T>(o)->setCullMask(v.getBitmask(0));
                                    return 1;
                                });
    parser->addConfigurableProp(keyword, "setRenderMask",
                                oneArgument("setRenderMask", kcVariant::TYPE_BITMASK),
                                [](kuBase* o, const kcArgValues& v) {
                                    as<T>(o)->setRenderMask(v.getBitmask(0));
                                    return 1;
                                });
    parser->addConfigurableProp(keyword, "setIsectMask",
                                oneArgument("setIsectMask", kcVariant::TYPE_BITMASK),
                                [](kuBase* o, const kcArgValues& v) {
                                    as<T>(o)->setIsectMask(v.getBitmask(0));
                                    return 1;
                                });
    parser->addReferenceProp(keyword, "setCoordConverter", "setCoordConverter", "kxCoordConverter",
                             [](kuBase* o, const kcArgValues& v) {
                                 as<T>(o)->setCoordConverter(
                                     static_cast<kxCoordConverter*>(v.getBase(0)));
                                 return 1;
                             });
    parser->addReferenceProp(keyword, "setStrategy", "setStrategy", "kxPositionable::Strategy",
                             [](kuBase* o, const kcArgValues& v) {
                                 if (kcRuntimeKeywords::holds(v.getBase(0), o))
                                     return -32767;
                                 as<T>(o)->setStrategy(static_cast<kxStrategy*>(v.getBase(0)));
                                 return 1;
                             });
    parser->addConfigurableProp(keyword, "setStrategyEnable",
                                oneArgument("setStrategyEnable", kcVariant::TYPE_BOOL),
                                [](kuBase* o, const kcArgValues& v) {
                                    as<T>(o)->setStrategyEnable(v.getBool(0));
                                    return 1;
                                });
    parser->addConfigurableProp(
        keyword, "setTranslate", threeDoubles("x", "y", "z"), [](kuBase* o, const kcArgValues& v) {
            as<T>(o)->setTranslate(v.getDouble(0), v.getDouble(1), v.getDouble(2), false);
            return 1;
        });
    parser->addConfigurableProp(
        keyword, "setRotate", threeDoubles("h", "p", "r"), [](kuBase* o, const kcArgValues& v) {
            as<T>(o)->setRotate(v.getDouble(0), v.getDouble(1), v.getDouble(2), false);
            return 1;
        });
    parser->addConfigurableProp(
        keyword, "setPosition", threeDoubles("x", "y", "z"), [](kuBase* o, const kcArgValues& v) {
            as<T>(o)->setPosition(v.getDouble(0), v.getDouble(1), v.getDouble(2), nullptr);
            return 1;
        });
    parser->addConfigurableProp(keyword, "setOrientation", threeDoubles("h", "p", "r"),
                                [](kuBase* o, const kcArgValues& v) {
                                    as<T>(o)->setOrientation(v.getDouble(0), v.getDouble(1),
                                                             v.getDouble(2));
                                    return 1;
                                });
    parser->addConfigurableProp(
        keyword, "setScale", threeDoubles("x", "y", "z"), [](kuBase* o, const kcArgValues& v) {
            as<T>(o)->setScale(v.getDouble(0), v.getDouble(1), v.getDouble(2));
            return 1;
        });
    parser->addConfigurableProp(keyword, "setStaticEnable",
                                oneArgument("setStaticEnable", kcVariant::TYPE_BOOL),
                                [](kuBase* o, const kcArgValues& v) {
                                    as<T>(o)->setStaticEnable(v.getBool(0));
                                    return 1;
                                });
}

} // namespace

int kxLightLobeControl::configureParser() {
    kcConfigParser* parser = kcConfigParser::getTheConfigParser();
    const char* keyword = "LightLobeControl";
    parser->addConfigurableClass(keyword, getStaticClassType());
    parser->addConfigurableProp(keyword, "setEnable",
                                oneArgument("setEnable", kcVariant::TYPE_BOOL),
                                [](kuBase* o, const kcArgValues& v) {
                                    as<kxLightLobeControl>(o)->setEnable(v.getBool(0));
                                    return 1;
                                });
    parser->addConfigurableProp(keyword, "setEyepointFadeRange",
                                oneArgument("setEyepointFadeRange", kcVariant::TYPE_FLOAT),
                                [](kuBase* o, const kcArgValues& v) {
                                    as<kxLightLobeControl>(o)->setEyepointFadeRange(v.getFloat(0));
                                    return 1;
                                });
    parser->addConfigurableProp(
        keyword, "setRenderQuality", tokenArgument("setRenderQuality", QUALITY_TOKENS),
        [](kuBase* o, const kcArgValues& v) {
            as<kxLightLobeControl>(o)->setRenderQuality(static_cast<RenderQuality>(
                matchToken(v.getString(0), QUALITY_TOKENS, RENDER_QUALITY_GOOD)));
            return 1;
        });
    parser->addReferenceProp(
        keyword, "addChannel", "addChannel", "kxChannel", [](kuBase* o, const kcArgValues& v) {
            as<kxLightLobeControl>(o)->addChannel(static_cast<const ksChannel*>(v.getBase(0)));
            return 1;
        });
    parser->addReferenceProp(keyword, "removeChannel", "removeChannel", "kxChannel",
                             [](kuBase* o, const kcArgValues& v) {
                                 as<kxLightLobeControl>(o)->removeChannel(
                                     static_cast<const ksChannel*>(v.getBase(0)));
                                 return 1;
                             });
    return 1;
}

int kxLightLobe::configureParser() {
    kcConfigParser* parser = kcConfigParser::getTheConfigParser();
    const char* keyword = "LightLobe";
    parser->addConfigurableClass(keyword, getStaticClassType());
    addTransformProperties<kxLightLobe>(parser, keyword);
    parser->addConfigurableProp(keyword, "setEnable",
                                oneArgument("setEnable", kcVariant::TYPE_BOOL),
                                [](kuBase* o, const kcArgValues& v) {
                                    return as<kxLightLobe>(o)->setEnable(v.getBool(0));
                                });
    parser->addConfigurableProp(keyword, "setBrightness",
                                oneArgument("setBrightness", kcVariant::TYPE_FLOAT),
                                [](kuBase* o, const kcArgValues& v) {
                                    as<kxLightLobe>(o)->setBrightness(v.getFloat(0));
                                    return 1;
                                });
    parser->addConfigurableProp(keyword, "setSpreadAngle",
                                oneArgument("setSpreadAngle", kcVariant::TYPE_FLOAT),
                                [](kuBase* o, const kcArgValues& v) {
                                    as<kxLightLobe>(o)->setSpreadAngle(v.getFloat(0));
                                    return 1;
                                });
    parser->addConfigurableProp(keyword, "setFadeRange",
                                oneArgument("setFadeRange", kcVariant::TYPE_FLOAT),
                                [](kuBase* o, const kcArgValues& v) {
                                    as<kxLightLobe>(o)->setFadeRange(v.getFloat(0));
                                    return 1;
                                });
    parser->addConfigurableProp(keyword, "setFalloff", tokenArgument("setFalloff", FALLOFF_TOKENS),
                                [](kuBase* o, const kcArgValues& v) {
                                    as<kxLightLobe>(o)->setFalloff(static_cast<Falloff>(matchToken(
                                        v.getString(0), FALLOFF_TOKENS, FALLOFF_SQUARED)));
                                    return 1;
                                });
    parser->addConfigurableProp(keyword, "setTextureFile",
                                oneArgument("setTextureFile", kcVariant::TYPE_STRING),
                                [](kuBase* o, const kcArgValues& v) {
                                    // The image reader says why a file cannot be read; the
                                    // status adds where it was named. The lobe keeps a
                                    // generated texture.
                                    return as<kxLightLobe>(o)->setTextureFile(v.getString(0));
                                });
    parser->addConfigurableProp(keyword, "setTextureSize",
                                tokenArgument("setTextureSize", SIZE_TOKENS),
                                [](kuBase* o, const kcArgValues& v) {
                                    as<kxLightLobe>(o)->setTextureSize(static_cast<unsigned int>(
                                        matchToken(v.getString(0), SIZE_TOKENS, 64)));
                                    return 1;
                                });
    return 1;
}

namespace {
// Handlers of the projected lobe's one-setter properties, one instance per setter.
typedef kxLightLobeProjected Projected;
template <void (Projected::*Setter)(float)>
int setFloat(kuBase* o, const kcArgValues& v) {
    (as<Projected>(o)->*Setter)(v.getFloat(0));
    return 1;
}
template <void (Projected::*Setter)(bool)>
int setBool(kuBase* o, const kcArgValues& v) {
    (as<Projected>(o)->*Setter)(v.getBool(0));
    return 1;
}
template <void (Projected::*Setter)(double, double, double)>
int setVector(kuBase* o, const kcArgValues& v) {
    (as<Projected>(o)->*Setter)(v.getDouble(0), v.getDouble(1), v.getDouble(2));
    return 1;
}
} // namespace

int kxLightLobeProjected::configureParser() {
    kcConfigParser* parser = kcConfigParser::getTheConfigParser();
    const char* keyword = "LightLobeProjected";
    const auto floatProp = [&](const char* property, kcPropertyHandler handler) {
        parser->addConfigurableProp(keyword, property, oneArgument(property, kcVariant::TYPE_FLOAT),
                                    handler);
    };
    const auto boolProp = [&](const char* property, kcPropertyHandler handler) {
        parser->addConfigurableProp(keyword, property, oneArgument(property, kcVariant::TYPE_BOOL),
                                    handler);
    };
    parser->addConfigurableClass(keyword, getStaticClassType());
    addTransformProperties<Projected>(parser, keyword);
    boolProp("setEnable", setBool<&Projected::setEnable>);
    floatProp("setBrightness", setFloat<&Projected::setBrightness>);
    floatProp("setSpreadAngle", setFloat<&Projected::setSpreadAngle>);
    floatProp("setFadeRange", setFloat<&Projected::setFadeRange>);
    parser->addConfigurableProp(
        keyword, "setColor", fourFloats("r", "g", "b", "a"), [](kuBase* o, const kcArgValues& v) {
            as<Projected>(o)->setColor(v.getFloat(0), v.getFloat(1), v.getFloat(2), v.getFloat(3));
            return 1;
        });
    parser->addConfigurableProp(keyword, "setFalloff", tokenArgument("setFalloff", FALLOFF_TOKENS),
                                [](kuBase* o, const kcArgValues& v) {
                                    as<Projected>(o)->setFalloff(static_cast<Falloff>(matchToken(
                                        v.getString(0), FALLOFF_TOKENS, FALLOFF_SQUARED)));
                                    return 1;
                                });
    parser->addConfigurableProp(keyword, "setTextureSize",
                                tokenArgument("setTextureSize", SIZE_TOKENS),
                                [](kuBase* o, const kcArgValues& v) {
                                    as<Projected>(o)->setTextureSize(static_cast<unsigned int>(
                                        matchToken(v.getString(0), SIZE_TOKENS, 64)));
                                    return 1;
                                });
    parser->addConfigurableProp(keyword, "setTextureFile",
                                oneArgument("setTextureFile", kcVariant::TYPE_STRING),
                                [](kuBase* o, const kcArgValues& v) {
                                    // A file that cannot be used is reported by the lobe, which
                                    // keeps the generated texture.
                                    as<Projected>(o)->setTextureFile(v.getString(0));
                                    return 1;
                                });
    boolProp("setEnableCustomTexture", setBool<&Projected::setEnableCustomTexture>);
    boolProp("setFogEffectEnable", setBool<&Projected::setFogEffectEnable>);
    parser->addConfigurableProp(keyword, "setFogEffectTextureFile",
                                oneArgument("setFogEffectTextureFile", kcVariant::TYPE_STRING),
                                [](kuBase* o, const kcArgValues& v) {
                                    as<Projected>(o)->setFogEffectTextureFile(v.getString(0));
                                    return 1;
                                });
    parser->addConfigurableProp(keyword, "setFogEffectTranslationOffset",
                                threeDoubles("xoffset", "yoffset", "zoffset"),
                                setVector<&Projected::setFogEffectTranslationOffset>);
    parser->addConfigurableProp(keyword, "setFogEffectRotationOffset",
                                threeDoubles("hoffset", "poffset", "roffset"),
                                setVector<&Projected::setFogEffectRotationOffset>);
    parser->addConfigurableProp(keyword, "setFogEffectScale", threeDoubles("sx", "sy", "sz"),
                                setVector<&Projected::setFogEffectScale>);
    floatProp("setFogEffectMinVisibilityDensity",
              setFloat<&Projected::setFogEffectMinVisibilityDensity>);
    floatProp("setFogEffectBrightness", setFloat<&Projected::setFogEffectBrightness>);
    return 1;
}
