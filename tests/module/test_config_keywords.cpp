#include "kxTestSupport.h"

#include <kxlightlobe.h>
#include <kxlightlobecontrol.h>
#include <kxlightmap.h>

#include <kc/kcConfigParser.h>
#include <kx/kxChannel.h>

#include <string>

namespace {

class ConfigKeywordsTest : public kxModuleTest {
protected:
    // Parses a file of one LightLobe named "lobe" with the given properties.
    kxLightLobe* parseLobe(const std::string& properties) {
        kcConfigParser* parser = kcConfigParser::getTheConfigParser();
        const std::string text =
            "<kestrix>\n<LightLobe name=\"lobe\">\n" + properties + "\n</LightLobe>\n</kestrix>\n";
        EXPECT_EQ(parser->parseString(text.c_str(), "lobe.xml"), 1);
        return static_cast<kxLightLobe*>(parser->findInstance("lobe"));
    }
};

struct LobeCase {
    const char* property;
    bool (*check)(const kxLightLobe*);
    bool parseError;
};

TEST_F(ConfigKeywordsTest, LightLobePropertiesReachTheSetters) {
    const LobeCase cases[] = {
        {"<setEnable>false</setEnable>", [](const kxLightLobe* l) { return !l->getEnable(); },
         false},
        {"<setEnable>maybe</setEnable>", [](const kxLightLobe* l) { return !l->getEnable(); },
         true},
        {"<setBrightness>0.25</setBrightness>",
         [](const kxLightLobe* l) { return l->getBrightness() == 0.25f; }, false},
        {"<setSpreadAngle>35</setSpreadAngle>",
         [](const kxLightLobe* l) { return l->getSpreadAngle() == 35.0f; }, false},
        {"<setFadeRange>abc</setFadeRange>",
         [](const kxLightLobe* l) { return l->getFadeRange() == 0.0f; }, true},
        {"<setFalloff>FALLOFF_CUBIC</setFalloff>",
         [](const kxLightLobe* l) { return l->getFalloff() == kxLightLobe::FALLOFF_CUBIC; }, false},
        {"<setFalloff>FALLOFF_ROUND</setFalloff>",
         [](const kxLightLobe* l) { return l->getFalloff() == kxLightLobe::FALLOFF_SQUARED; },
         true},
        {"<setTextureSize>256</setTextureSize>",
         [](const kxLightLobe* l) { return l->getTextureSize() == 256u; }, false},
        {"<setTextureSize>512</setTextureSize>",
         [](const kxLightLobe* l) { return l->getTextureSize() == 64u; }, true},
        {"<setPosition x=\"1\" y=\"2\" z=\"3\"/>",
         [](const kxLightLobe* l) { return l->getPosition() == kuVec3d(1, 2, 3); }, false},
        {"<setTranslate x=\"4\" z=\"6\"/>",
         [](const kxLightLobe* l) { return l->getPosition() == kuVec3d(4, 0, 6); }, true},
        {"<setOrientation h=\"10\" p=\"-20\" r=\"5\"/>",
         [](const kxLightLobe* l) { return l->getOrientation() == kuVec3d(10, -20, 5); }, false},
        {"<setRotate h=\"30\" p=\"0\" r=\"0\"/>",
         [](const kxLightLobe* l) { return l->getOrientation() == kuVec3d(30, 0, 0); }, false},
        {"<setScale x=\"2\" y=\"2\" z=\"2\"/>",
         [](const kxLightLobe* l) { return l->getScale() == kuVec3d(2, 2, 2); }, false},
        {"<setStaticEnable>true</setStaticEnable>",
         [](const kxLightLobe* l) { return l->getStaticEnable(); }, false},
        {"<setIsectMask>0x0f</setIsectMask>",
         [](const kxLightLobe* l) { return l->getIsectMask() == 0x0fu; }, false},
        {"<setCullMask>6</setCullMask>",
         [](const kxLightLobe* l) { return l->getCullMask() == 6u; }, false},
    };
    kcConfigParser* parser = kcConfigParser::getTheConfigParser();
    for (const LobeCase& c : cases) {
        parser->clear();
        kxLightLobe* lobe = parseLobe(c.property);
        ASSERT_NE(lobe, nullptr) << c.property;
        EXPECT_TRUE(c.check(lobe)) << c.property;
        EXPECT_EQ(parser->getNumErrors() > 0, c.parseError) << c.property;
    }
    parser->clear();
}

TEST_F(ConfigKeywordsTest, ReferencesAreCheckedByClass) {
    kcConfigParser* parser = kcConfigParser::getTheConfigParser();
    kxMessageCapture capture;
    ASSERT_EQ(parser->parseString("<kestrix>\n"
                                  "<LightLobe name=\"lobe\"><addChild>child</addChild>\n"
                                  "  <removeChild>child</removeChild><addChild>child</addChild>\n"
                                  "</LightLobe>\n"
                                  "<Transform name=\"child\"/>\n"
                                  "<Channel name=\"chan\"/>\n"
                                  "<LightLobeControl name=\"control\">\n"
                                  "  <addChannel>chan</addChannel>\n"
                                  "  <addChannel>lobe</addChannel>\n"
                                  "  <setRenderQuality>RENDER_QUALITY_BEST</setRenderQuality>\n"
                                  "  <setEyepointFadeRange>3000</setEyepointFadeRange>\n"
                                  "</LightLobeControl>\n"
                                  "</kestrix>\n",
                                  "refs.xml"),
              1);
    auto* lobe = static_cast<kxLightLobe*>(parser->findInstance("lobe"));
    ASSERT_NE(lobe, nullptr);
    EXPECT_EQ(lobe->getNumChildren(), 1);
    // The control is the singleton, whatever the file calls it.
    EXPECT_EQ(parser->findInstance("control"), kxLightLobeControl::instance());
    EXPECT_EQ(kxLightMap::instance()->getTextureSize(), 512u);
    EXPECT_EQ(kxLightMap::instance()->getEyepointFadeRange(), 3000.0f);
    auto* channel = static_cast<ksChannel*>(parser->findInstance("chan"));
    ASSERT_NE(channel, nullptr);
    EXPECT_TRUE(channel->isOfClassType(kxChannel::getStaticClassType()));
    EXPECT_NE(kxLightMap::instance()->getChannelData(channel), nullptr);
    // A lobe is no channel: reported with its line, not applied.
    EXPECT_EQ(parser->getNumErrors(), 1);
    EXPECT_EQ(capture.countContaining("refs.xml:9"), 1);
    EXPECT_EQ(kxLightMap::instance()->getChannelData(reinterpret_cast<const ksChannel*>(lobe)),
              nullptr);
    parser->clear();
}

TEST_F(ConfigKeywordsTest, UnknownRenderQualityFallsBackToGood) {
    kcConfigParser* parser = kcConfigParser::getTheConfigParser();
    kxLightMap::instance()->setTextureSize(512);
    ASSERT_EQ(parser->parseString("<kestrix><LightLobeControl name=\"c\">"
                                  "<setRenderQuality>RENDER_QUALITY_BESTEST</setRenderQuality>"
                                  "<setEnable>false</setEnable>"
                                  "</LightLobeControl></kestrix>",
                                  "quality.xml"),
              1);
    EXPECT_EQ(kxLightMap::instance()->getTextureSize(), 128u);
    EXPECT_FALSE(kxLightMap::instance()->getEnable());
    parser->clear();
}

} // namespace
