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

TEST_F(PaletteTest, KeepsObjectsByNameAndClassType) {
    kuRef<kuPalette> palette = new kuPalette;
    kuRef<krTexture> lamp = texture("lamp"), second = texture("lamp");
    kuRef<krGeometry> lampMesh = new krGeometry;
    lampMesh->setName("lamp");
    ASSERT_EQ(palette->insert(lamp.get(), false, true), 1);
    ASSERT_EQ(palette->insert(lampMesh.get(), false, true), 1);
    EXPECT_EQ(palette->find<krTexture>("lamp"), lamp.get());
    EXPECT_EQ(palette->find<krGeometry>("lamp"), lampMesh.get());
    EXPECT_EQ(palette->find<kuBase>("lamp"), lampMesh.get()); // the latest kept first
    EXPECT_EQ(palette->find<krTexture>("Lamp"), nullptr);
    // A second texture of the name replaces the first only when asked to.
    EXPECT_EQ(palette->insert(second.get(), false, true), -32767);
    EXPECT_EQ(palette->insert(second.get(), true, true), 1);
    EXPECT_EQ(palette->find<krTexture>("lamp"), second.get());
    EXPECT_EQ(palette->getNum(), 2);
    // Refused: a class type the object is not of; an unnamed object when a name is required.
    EXPECT_EQ(palette->insert(lamp.get(), krGeometry::getStaticClassType(), true, true), -32767);
    kuRef<krTexture> unnamed = new krTexture;
    EXPECT_EQ(palette->insert(unnamed.get(), false, true), -32767);
    EXPECT_EQ(palette->insert(unnamed.get(), false, false), 1);
}

TEST_F(PaletteTest, HoldsOneReferencePerObjectKept) {
    kuRef<kuPalette> palette = new kuPalette;
    kuRef<krTexture> kept = texture("kept");
    ASSERT_EQ(palette->insert(kept.get(), false, true), 1);
    palette->find<krTexture>("kept"); // hands the object out without a reference
    EXPECT_EQ(kept->getRef(), 2);
    ASSERT_EQ(palette->remove(kept.get()), 1);
    EXPECT_EQ(kept->getRef(), 1);
    EXPECT_EQ(palette->remove(kept.get()), -32767);
    // The palette alone keeps an object alive; clear() lets it go.
    const std::size_t live = kuMemBase::getLiveAllocationCount();
    palette->insert(texture("only").get(), false, true);
    EXPECT_NE(palette->find<krTexture>("only"), nullptr);
    palette->clear();
    EXPECT_EQ(kuMemBase::getLiveAllocationCount(), live);
}

TEST_F(PaletteTest, PagingManagerKeepsOnePalettePerRun) {
    kuRef<kuPalette> palette = kxPagingMgr::instance()->getPalette();
    ASSERT_NE(palette.get(), nullptr);
    EXPECT_EQ(kxPagingMgr::instance()->getPalette(), palette.get());
    // The kernel's shutdown lets it go; the next run starts with a new one.
    kxKernel::shutdown();
    EXPECT_EQ(palette->getRef(), 1);
    ASSERT_EQ(kxKernel::initialize(0, nullptr), 1);
    EXPECT_NE(kxPagingMgr::instance()->getPalette(), palette.get());
}

} // namespace
