// The palette of named objects and the paging manager that keeps the process's palette.
#include <kr/krGeometry.h>
#include <kr/krTexture.h>
#include <ku/kuPalette.h>
#include <kx/kxKernel.h>
#include <kx/kxPagingMgr.h>

#include <gtest/gtest.h>

namespace {

class PaletteTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(kxKernel::initialize(0, nullptr), 1); }
    void TearDown() override { kxKernel::shutdown(); }

    static kuRef<krTexture> texture(const char* name) {
        kuRef<krTexture> t = new krTexture;
        t->setName(name);
        return t;
    }
};

TEST_F(PaletteTest, FindsByNameAndClassType) {
    kuRef<kuPalette> palette = new kuPalette;
    kuRef<krTexture> lamp = texture("lamp");
    kuRef<krGeometry> lampMesh = new krGeometry;
    lampMesh->setName("lamp");
    ASSERT_EQ(palette->insert(lamp.get(), false, true), 1);
    ASSERT_EQ(palette->insert(lampMesh.get(), false, true), 1);
    EXPECT_EQ(palette->getNum(), 2);
    EXPECT_EQ(palette->find<krTexture>("lamp"), lamp.get());
    EXPECT_EQ(palette->find<krGeometry>("lamp"), lampMesh.get());
    // Any kuBase matches the base class type; the latest kept comes first.
    EXPECT_EQ(palette->find<kuBase>("lamp"), lampMesh.get());
    EXPECT_EQ(palette->find<krTexture>("Lamp"), nullptr);
    EXPECT_EQ(palette->find<krTexture>(nullptr), nullptr);
    // Kept under a base class type, a texture is found as that type only.
    kuRef<krTexture> asBase = texture("base");
    ASSERT_EQ(palette->insert(asBase.get(), kuBase::getStaticClassType(), false, true), 1);
    EXPECT_EQ(palette->find<kuBase>("base"), asBase.get());
    // A class type the object is not of is refused.
    EXPECT_EQ(palette->insert(texture("x").get(), krGeometry::getStaticClassType(), false, true),
              -32767);
}

TEST_F(PaletteTest, InsertionRules) {
    kuRef<kuPalette> palette = new kuPalette;
    kuRef<krTexture> first = texture("falloff"), second = texture("falloff");
    kuRef<krTexture> unnamed = new krTexture;
    ASSERT_EQ(palette->insert(first.get(), false, true), 1);
    EXPECT_EQ(palette->insert(first.get(), false, true), 1); // the same object again
    EXPECT_EQ(palette->insert(second.get(), false, true), -32767);
    EXPECT_EQ(palette->find<krTexture>("falloff"), first.get());
    EXPECT_EQ(palette->insert(second.get(), true, true), 1);
    EXPECT_EQ(palette->find<krTexture>("falloff"), second.get());
    EXPECT_EQ(palette->getNum(), 1);
    EXPECT_EQ(palette->insert(unnamed.get(), false, true), -32767);
    EXPECT_EQ(palette->insert(unnamed.get(), false, false), 1);
    EXPECT_EQ(palette->find<krTexture>(""), unnamed.get());
    EXPECT_EQ(palette->insert(static_cast<krTexture*>(nullptr), false, false), -32767);
}

TEST_F(PaletteTest, HoldsOneReferencePerObjectKept) {
    kuRef<kuPalette> palette = new kuPalette;
    kuRef<krTexture> kept = texture("kept");
    ASSERT_EQ(palette->insert(kept.get(), false, true), 1);
    EXPECT_EQ(kept->getRef(), 2);
    // find() hands the object out without a reference of its own.
    palette->find<krTexture>("kept");
    EXPECT_EQ(kept->getRef(), 2);
    ASSERT_EQ(palette->remove(kept.get()), 1);
    EXPECT_EQ(kept->getRef(), 1);
    EXPECT_EQ(palette->remove(kept.get()), -32767);
    EXPECT_EQ(palette->find<krTexture>("kept"), nullptr);
    // The palette alone keeps an object alive; clear() lets it go.
    const std::size_t live = kuMemBase::getLiveAllocationCount();
    palette->insert(texture("only").get(), false, true);
    EXPECT_NE(palette->find<krTexture>("only"), nullptr);
    palette->clear();
    EXPECT_EQ(palette->getNum(), 0);
    EXPECT_EQ(kuMemBase::getLiveAllocationCount(), live);
}

TEST_F(PaletteTest, PagingManagerKeepsOnePalettePerRun) {
    kuRef<kuPalette> palette = kxPagingMgr::instance()->getPalette();
    ASSERT_NE(palette.get(), nullptr);
    EXPECT_EQ(kxPagingMgr::instance()->getPalette(), palette.get());
    kuRef<krTexture> kept = texture("shared");
    palette->insert(kept.get(), false, true);
    kxPagingMgr::destroy();
    EXPECT_EQ(palette->getRef(), 1);
    EXPECT_EQ(kxPagingMgr::instance()->getPalette()->find<krTexture>("shared"), nullptr);
    // The kernel's shutdown lets the process's palette go.
    palette = kxPagingMgr::instance()->getPalette();
    kxKernel::shutdown();
    EXPECT_EQ(palette->getRef(), 1);
    ASSERT_EQ(kxKernel::initialize(0, nullptr), 1);
    EXPECT_NE(kxPagingMgr::instance()->getPalette(), palette.get());
}

} // namespace
