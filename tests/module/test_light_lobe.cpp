#include "kxTestSupport.h"

#include <kxlightlobe.h>
#include <kxlightmap.h>

#include <kr/krTexture.h>
#include <ks/ksThreadBuffer.h>
#include <ku/kuAllocRef.h>
#include <ku/kuImageFactory.h>
#include <kx/kxIsectorLOS.h>
#include <kx/kxIsectorService.h>

#include <cstring>
#include <fstream>

namespace {

class LightLobeTest : public kxModuleTest {
protected:
    kuRef<kxLightLobe> makeLobe(const char* name) {
        kuRef<kxLightLobe> lobe = kxLightLobe::create();
        lobe->setName(name);
        return lobe;
    }

    // A small grey PNG written through the runtime's image writer.
    std::string writePng(const std::string& name) {
        kuRef<kuImage> image = kuImage::create(4, 4, 3);
        std::memset(image->getPixels()->data(), 200, 4 * 4 * 3);
        const std::string file = m_dir.file(name);
        EXPECT_EQ(kuImageFactory::writePNG(file.c_str(), image.get()), 1);
        return file;
    }

    kxTempDir m_dir;
};

TEST_F(LightLobeTest, DefaultsOfANewLobe) {
    kuRef<kxLightLobe> lobe = kxLightLobe::create();
    EXPECT_TRUE(lobe->getEnable());
    EXPECT_FLOAT_EQ(lobe->getSpreadAngle(), 20.0f);
    EXPECT_FLOAT_EQ(lobe->getFadeRange(), 1000.0f);
    EXPECT_FLOAT_EQ(lobe->getBrightness(), 1.0f);
    EXPECT_EQ(lobe->getFalloff(), kxLightLobe::FALLOFF_SQUARED);
    EXPECT_EQ(lobe->getTextureSize(), 128u);
    EXPECT_TRUE(lobe->getIsectEnable());
    EXPECT_FALSE(lobe->getEnableCustomTexture());
    EXPECT_STREQ(lobe->getTextureFile(), "");
    EXPECT_EQ(lobe->getTexture(), nullptr);
    EXPECT_TRUE(lobe->getTextureMatrix().isIdentity());
    EXPECT_TRUE(lobe->getStaticBoundsEnable());
    for (int k = 0; k < kxLightLobe::NUM_VERTICES; ++k) {
        EXPECT_EQ(lobe->getVertex(k), kuVec3d());
        EXPECT_EQ(lobe->getVertexBrightness(k), 0.0f);
    }
    // Three probes, each asking for the nearest hit on top of its default mode.
    for (int i = 0; i < kxLightLobe::NUM_ISECTORS; ++i) {
        ASSERT_NE(lobe->getIsector(i), nullptr);
        EXPECT_EQ(lobe->getIsector(i)->getMode(), kxIsectorLOS::MODE_DEFAULT | 8);
    }
    EXPECT_NE(lobe->getNodeId(), 0);
    EXPECT_NE(lobe->getNodeId(), lobe->kxTransform::getNodeId());
    EXPECT_TRUE(lobe->isOfClassType(kxTransform::getStaticClassType()));
    EXPECT_TRUE(lobe->isExactClassType(kxLightLobe::getStaticClassType()));
}

TEST_F(LightLobeTest, RegistryFindsByNameAndIndex) {
    EXPECT_TRUE(kxLightLobe::empty());
    kuRef<kxLightLobe> a1 = makeLobe("a"), b = makeLobe("b"), a2 = makeLobe("a");
    EXPECT_EQ(kxLightLobe::size(), 3);
    EXPECT_EQ(kxLightLobe::getNum(), 3);
    EXPECT_FALSE(kxLightLobe::empty());
    EXPECT_EQ(kxLightLobe::find("a"), a1.get());
    EXPECT_EQ(kxLightLobe::find("a", 0), a1.get());
    EXPECT_EQ(kxLightLobe::find("a", 1), a2.get());
    EXPECT_EQ(kxLightLobe::find("a", 2), nullptr);
    EXPECT_EQ(kxLightLobe::find("a", -1), nullptr);
    EXPECT_EQ(kxLightLobe::find("b", 0), b.get());
    EXPECT_EQ(kxLightLobe::find(nullptr, 0), nullptr);
    EXPECT_EQ(kxLightLobe::find("c"), nullptr);
    EXPECT_EQ(kxLightLobe::get(-3), a1.get());
    EXPECT_EQ(kxLightLobe::get(1), b.get());
    EXPECT_EQ(kxLightLobe::get(kxLightLobe::size()), nullptr);

    std::vector<kxLightLobe*> order(kxLightLobe::begin(), kxLightLobe::end());
    EXPECT_EQ(order, (std::vector<kxLightLobe*>{a1.get(), b.get(), a2.get()}));

    // The creation functor of the class type makes lobes too.
    kuRef<kuBase> made = kxLightLobe::getStaticClassType()->create();
    ASSERT_NE(made, nullptr);
    EXPECT_TRUE(made->isExactClassType(kxLightLobe::getStaticClassType()));
    EXPECT_EQ(kxLightLobe::size(), 4);
    made.reset();
    b.reset();
    EXPECT_EQ(kxLightLobe::size(), 2);
    EXPECT_EQ(kxLightLobe::get(1), a2.get());
}

TEST_F(LightLobeTest, RegistryBeforeClassInitialization) {
    m_module->shutdown();
    EXPECT_EQ(kxLightLobe::size(), 0);
    EXPECT_TRUE(kxLightLobe::empty());
    EXPECT_EQ(kxLightLobe::find("a"), nullptr);
    EXPECT_EQ(kxLightLobe::find("a", 0), nullptr);
    EXPECT_EQ(kxLightLobe::get(0), nullptr);
    EXPECT_TRUE(kxLightLobe::begin() == kxLightLobe::end());
}

TEST_F(LightLobeTest, FalloffAndTextureSizeRegenerateTheTexture) {
    kuRef<kxLightLobe> lobe = makeLobe("lobe");
    lobe->setFalloff(kxLightLobe::FALLOFF_LINEAR);
    kuRef<krTexture> first = lobe->getTexture();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->getWidth(), 128);
    EXPECT_EQ(first->getHeight(), 128);
    EXPECT_EQ(first->getFormat(), 5);
    EXPECT_EQ(first->getWrapS(), 3);
    EXPECT_EQ(first->getWrapT(), 3);
    EXPECT_EQ(first->getMinFilter(), 2);
    EXPECT_EQ(first->getMagFilter(), 2);
    // The texture's bits are the light map's falloff image for the lobe's size and falloff.
    std::vector<unsigned char> expected(128 * 128 * 3);
    kxLightMap::instance()->creatLightTextureBits(128, kxLightLobe::FALLOFF_LINEAR,
                                                  expected.data());
    ASSERT_NE(first->getImageLevel(0), nullptr);
    ASSERT_EQ(first->getImageLevel(0)->size(), expected.size());
    EXPECT_EQ(std::memcmp(first->getImageLevel(0)->data(), expected.data(), expected.size()), 0);

    lobe->setTextureSize(32);
    ASSERT_NE(lobe->getTexture(), first.get());
    EXPECT_EQ(lobe->getTexture()->getWidth(), 32);
    EXPECT_EQ(lobe->getTexture()->getImageLevel(0)->size(), 32u * 32u * 3u);

    // Lobes with the same falloff and size share one texture; a change leaves the others theirs.
    kuRef<kxLightLobe> other = makeLobe("other");
    other->setTextureSize(32);
    other->setFalloff(kxLightLobe::FALLOFF_LINEAR);
    EXPECT_EQ(other->getTexture(), lobe->getTexture());
    other->setFalloff(kxLightLobe::FALLOFF_CUBIC);
    EXPECT_NE(other->getTexture(), lobe->getTexture());
    EXPECT_EQ(lobe->getTexture()->getWidth(), 32);
}

TEST_F(LightLobeTest, TextureFiles) {
    kuRef<kxLightLobe> lobe = makeLobe("filed");
    const std::string good = writePng("good.png");
    EXPECT_EQ(lobe->setTextureFile(good.c_str()), 1);
    EXPECT_EQ(lobe->getTextureFile(), good);
    ASSERT_NE(lobe->getTexture(), nullptr);
    EXPECT_EQ(lobe->getTexture()->getWidth(), 4);
    krTexture* fromFile = lobe->getTexture();

    // With a file in use, falloff and size are stored but change nothing, with a message.
    kxMessageCapture capture;
    lobe->setFalloff(kxLightLobe::FALLOFF_CUBIC);
    lobe->setTextureSize(64);
    EXPECT_EQ(lobe->getFalloff(), kxLightLobe::FALLOFF_CUBIC);
    EXPECT_EQ(lobe->getTextureSize(), 64u);
    EXPECT_EQ(lobe->getTexture(), fromFile);
    EXPECT_EQ(capture.count(5, "Setting falloff on a light lobe when a texture file has been "
                               "specified has no effect"),
              1);
    EXPECT_EQ(capture.count(5, "Setting texture size on a light lobe when a texture file has "
                               "been specified has no effect"),
              1);

    // A missing or corrupt file: failure, no texture, the name left as it was.
    const std::string corrupt = m_dir.file("corrupt.png");
    std::ofstream(corrupt) << "\x89PNG\r\n\x1a\n this is not an image";
    for (const std::string& bad : {m_dir.file("missing.png"), corrupt}) {
        EXPECT_EQ(lobe->setTextureFile(bad.c_str()), -32767) << bad;
        EXPECT_EQ(lobe->getTexture(), nullptr);
        EXPECT_EQ(lobe->getTextureFile(), good);
    }
}

TEST_F(LightLobeTest, IsectorsJoinAndLeaveTheService) {
    kuRef<kxLightLobe> early = makeLobe("early");
    kxLightMap* map = kxLightMap::instance();
    EXPECT_EQ(map->getIsectorService(), nullptr);
    // The module's pre-configure step gives the light map a service and adds the lobes' probes.
    kxMessageCapture capture;
    m_module->preConfigure();
    kxIsectorService* service = map->getIsectorService();
    ASSERT_NE(service, nullptr);
    EXPECT_EQ(capture.count(2, "Adding isectors for lobe early to service"), 1);
    for (int i = 0; i < kxLightLobe::NUM_ISECTORS; ++i)
        EXPECT_EQ(service->getIsectorMode(early->getIsector(i)), 2);

    // A lobe made once the service exists joins at construction.
    kuRef<kxLightLobe> late = makeLobe("late");
    EXPECT_TRUE(service->hasIsector(late->getIsector(2)));
    EXPECT_EQ(service->getNumIsectors(), 6);

    // Disabling only marks the probes for removal; a static lobe cannot enable them.
    early->setIsectEnable(false);
    EXPECT_TRUE(early->getRemoveIsectorsPending());
    EXPECT_TRUE(early->getIsectEnable());
    EXPECT_EQ(service->getNumIsectors(), 6);
    early->setStaticEnable(true);
    early->setIsectEnable(true);
    EXPECT_EQ(capture.count(5, "Can't enable isectors for static light lobe early"), 1);

    // A lobe that goes away takes its probes out of the service.
    late.reset();
    EXPECT_EQ(service->getNumIsectors(), 3);
}

TEST_F(LightLobeTest, IsectMaskIsTheProbesMask) {
    kuRef<kxLightLobe> lobe = makeLobe("masked");
    lobe->setIsectMask(0x00f0u);
    for (int i = 0; i < kxLightLobe::NUM_ISECTORS; ++i)
        EXPECT_EQ(lobe->getIsector(i)->getIsectMask(), 0x00f0u);
    EXPECT_EQ(lobe->getIsectMask(), 0x00f0u);
    EXPECT_EQ(lobe->ksNode::getIsectMask(), 0xffffffffu);
}

TEST_F(LightLobeTest, CopyAndCompare) {
    kuRef<kxLightLobe> source = makeLobe("source");
    source->setPosition(10, 20, 30);
    source->setOrientation(45, -10, 0);
    source->setEnable(false);
    source->setBrightness(0.25f);
    source->setSpreadAngle(35.0f);
    source->setFadeRange(400.0f);
    source->setFalloff(kxLightLobe::FALLOFF_LINEAR);
    source->setTextureSize(64);
    source->setIsectMask(0x3u);

    kuRef<kxLightLobe> copy = static_cast<kxLightLobe*>(source->makeCopy());
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(copy->getName(), "source");
    EXPECT_FALSE(copy->getEnable());
    EXPECT_EQ(copy->getTextureSize(), 64u);
    EXPECT_EQ(copy->getIsectMask(), 0x3u);
    ASSERT_NE(copy->getTexture(), nullptr);
    EXPECT_EQ(copy->getTexture()->getWidth(), 64);
    EXPECT_TRUE(copy->compare(source.get()));
    EXPECT_TRUE(source->compare(copy.get()));

    // Each listed property takes part in the comparison.
    copy->setSpreadAngle(36.0f);
    EXPECT_FALSE(copy->compare(source.get()));
    copy->setSpreadAngle(35.0f);
    copy->setPosition(10, 20, 31);
    EXPECT_FALSE(copy->compare(source.get()));
    // ... unless the base-class part is left out.
    EXPECT_TRUE(copy->compare(source.get(), kuBase::COPY_EXCLUDE_BASE));

    // Excluding the base part copies only the lobe's own properties.
    kuRef<kxLightLobe> own = static_cast<kxLightLobe*>(source->makeCopy(kuBase::COPY_EXCLUDE_BASE));
    ASSERT_NE(own, nullptr);
    EXPECT_STREQ(own->getName(), "");
    EXPECT_EQ(own->getPosition(), kuVec3d());
    EXPECT_FLOAT_EQ(own->getBrightness(), 0.25f);

    EXPECT_FALSE(source->compare(nullptr));
    kuRef<kxTransform> other = new kxTransform;
    EXPECT_FALSE(source->compare(other.get()));
}

TEST_F(LightLobeTest, CopyAndCompareWithTextureFiles) {
    const std::string file = writePng("lobe.png");
    kuRef<kxLightLobe> a = makeLobe("x"), b = makeLobe("x");
    EXPECT_TRUE(a->compare(b.get()));
    ASSERT_EQ(a->setTextureFile(file.c_str()), 1);
    EXPECT_FALSE(a->compare(b.get()));

    // The file travels with a copy only when the custom-texture flag is set.
    kuRef<kxLightLobe> plain = static_cast<kxLightLobe*>(a->makeCopy());
    EXPECT_STREQ(plain->getTextureFile(), "");
    EXPECT_FALSE(plain->compare(a.get()));
    a->setEnableCustomTexture(true);
    kuRef<kxLightLobe> custom = static_cast<kxLightLobe*>(a->makeCopy());
    EXPECT_EQ(custom->getTextureFile(), file);
    EXPECT_NE(custom->getTexture(), nullptr);
    EXPECT_TRUE(custom->compare(a.get()));
}

// Setting a lobe's bounds tells its parents: a lobe that stays where it is does not set them
// again every frame (ten thousand stationary lights would tell the scene thirty thousand times
// a frame), one that moves does.
TEST_F(LightLobeTest, BoundsAreSetAgainOnlyWhenTheLobeMoves) {
    struct Counter : ksNode::Subscriber {
        int told = 0;
        void notify(int, ksNode*, void*, int*) override { ++told; }
    };
    kuRef<ksNode> parent = new ksNode;
    kuRef<Counter> counter = new Counter;
    parent->addSubscriber(ksNode::EVENT_BOUNDS_CHANGED, counter.get());
    kuRef<kxLightLobe> lobe = makeLobe("lamp");
    lobe->setPosition(10, 20, 30);
    parent->addChild(lobe.get());
    lobe->update(parent.get());
    const int first = counter->told;
    EXPECT_GT(first, 0);
    lobe->update(parent.get());
    EXPECT_EQ(counter->told, first);
    lobe->setPosition(15, 20, 30);
    lobe->update(parent.get());
    EXPECT_GT(counter->told, first);
    EXPECT_EQ(parent->getBounds().center, kuVec3d(15, 20, 30));
    parent->removeSubscriber(ksNode::EVENT_BOUNDS_CHANGED, counter.get());
}

class LightLobeCloneTest : public LightLobeTest {
protected:
    void SetUp() override {
        LightLobeTest::SetUp();
        m_pipeline = ksThreadBuffer::create();
        ASSERT_NE(m_pipeline, nullptr);
    }
    void TearDown() override {
        ksThreadBuffer::destroy(m_pipeline);
        LightLobeTest::TearDown();
    }
    static kxLightLobe* clone(const kuRef<kxLightLobe>& lobe, int index) {
        return static_cast<kxLightLobe*>(lobe->getClone(index));
    }

    ksThreadBuffer* m_pipeline = nullptr;
};

TEST_F(LightLobeCloneTest, EnableTokenQueuedOnlyOnChangeAndNewClonesStartFromIt) {
    kuRef<kxLightLobe> lobe = makeLobe("lobe");
    ksThreadBuffer::synchronize();
    ksThreadBuffer* master = lobe->getThreadBuffer();
    ASSERT_EQ(master, ksThreadBuffer::getMaster());
    EXPECT_EQ(master->getNumPendingUpdates(), 0u);
    lobe->setEnable(true);
    EXPECT_EQ(master->getNumPendingUpdates(), 0u);
    lobe->setEnable(false);
    EXPECT_EQ(master->getNumPendingUpdates(), 1u);

    kxLightLobe* copy = clone(lobe, m_pipeline->getIndex());
    ASSERT_NE(copy, nullptr);
    EXPECT_FALSE(copy->isMasterClone());
    EXPECT_TRUE(copy->getEnable());
    ksThreadBuffer::synchronize();
    EXPECT_FALSE(copy->getEnable());
    EXPECT_EQ(master->getNumPendingUpdates(), 0u);
    // Clones keep no isectors and no texture of their own.
    EXPECT_EQ(copy->getIsector(0), nullptr);
    EXPECT_STREQ(copy->getName(), "lobe");

    // A clone made later starts from the master's enable.
    ksThreadBuffer* second = ksThreadBuffer::create();
    ASSERT_NE(second, nullptr);
    EXPECT_FALSE(clone(lobe, second->getIndex())->getEnable());
    ksThreadBuffer::destroy(second);
}

TEST_F(LightLobeCloneTest, UnknownTokenIsReportedAndReachesTheBase) {
    kuRef<kxLightLobe> lobe = makeLobe("lobe");
    ksThreadBuffer::synchronize();
    kxMessageCapture capture;
    lobe->getThreadBuffer()->appendUpdate(lobe.get(), 25, nullptr, false);
    ksThreadBuffer::synchronize();
    EXPECT_EQ(capture.count(5, "Unhandled MT token 25"), 1);
    // The base class reports it as well, so it was handed on.
    EXPECT_EQ(capture.countContaining("unhandled update token 25"), 1);

    // Tokens of the base classes still work through the lobe.
    lobe->setPosition(1, 2, 3);
    ksThreadBuffer::synchronize();
    EXPECT_EQ(clone(lobe, 1)->getPosition(), kuVec3d(1, 2, 3));
    EXPECT_EQ(clone(lobe, 1)->getMatrix(), lobe->getMatrix());
}

} // namespace
