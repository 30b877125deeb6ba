// The beam of a projected lobe in fog: its mesh, masks, state, texture files, the rule that
// turns the fog's density into its strength, and the hand-over of its colour by frame.
#include "kxTestSupport.h"

#include <kr/krGeometry.h>
#include <kr/krRenderElements.h>
#include <kr/krShaderProgram.h>
#include <kr/krState.h>
#include <kr/krTexture.h>
#include <ks/ksGeometry.h>
#include <ks/ksServiceMgr.h>
#include <ks/ksTransform.h>
#include <ku/kuImageFactory.h>
#include <kx/kxEnv.h>
#include <kxlightlobefogeffect.h>

#include <algorithm>
#include <cmath>
#include <map>

namespace {

class FogEffectTest : public kxModuleTest {
protected:
    static kuRef<krTexture> whiteTexture() {
        kuRef<krTexture> texture = new krTexture;
        texture->setDimensions(4, 4, 0);
        texture->setFormat(krTexture::FORMAT_INTENSITY, krTexture::TYPE_UNSIGNED_BYTE);
        kuRef<kuAllocRef> bits = kuAllocRef::malloc(16);
        std::fill(bits->data(), bits->data() + 16, 255);
        texture->setImageLevel(0, bits.get());
        return texture;
    }
    kuRef<kxLightLobeFogEffect> configured() {
        kuRef<kxLightLobeFogEffect> beam = kxLightLobeFogEffect::create();
        beam->setTexture(whiteTexture().get());
        EXPECT_EQ(beam->configure(), 1);
        return beam;
    }
};

TEST_F(FogEffectTest, HalfSphereFacingForward) {
    kuRef<kxLightLobeFogEffect> beam = configured();
    const krGeometry* mesh = beam->getGeometry();
    ASSERT_EQ(mesh->getVertices().size(), 144u);
    EXPECT_EQ(mesh->getPrimitiveType(), krGeometry::PRIMITIVE_TRIANGLE_STRIP);
    EXPECT_EQ(mesh->getPrimitiveLengths(), std::vector<int>(8, 18));
    const double c = 2 * std::cos(22.5 * M_PI / 180), s = 2 * std::sin(22.5 * M_PI / 180);
    const struct {
        int index;
        double x, y, z, u, v;
    } points[] = {
        {0, 0, 0, 2, 0, 1},                      // top pole, first column
        {3 * 18 + 4 * 2, 0, c, s, 0.5, 0.625},   // band 3, heading 0, upper row
        {3 * 18 + 4 * 2 + 1, 0, 2, 0, 0.5, 0.5}, // its lower row: on the forward axis
        {1, s, 0, c, 0, 0.875},                  // heading -90 turns towards +x
        {143, 0, 0, -2, 1, 0},                   // bottom pole, last column
    };
    for (const auto& p : points) {
        const kuVec3f& v = mesh->getVertices()[static_cast<std::size_t>(p.index)];
        const kuVec2f& t = mesh->getTexCoords()[static_cast<std::size_t>(p.index)];
        EXPECT_NEAR(v.x, p.x, 1e-5) << p.index;
        EXPECT_NEAR(v.y, p.y, 1e-5) << p.index;
        EXPECT_NEAR(v.z, p.z, 1e-5) << p.index;
        EXPECT_FLOAT_EQ(t.x, float(p.u)) << p.index;
        EXPECT_FLOAT_EQ(t.y, float(p.v)) << p.index;
    }
    // Every triangle winds counter-clockwise seen from outside, so culling back faces keeps the
    // shell that faces the viewer.
    const std::vector<unsigned int> triangles = mesh->getTriangleIndices();
    int outward = 0;
    for (std::size_t i = 0; i < triangles.size(); i += 3) {
        const kuVec3f& a = mesh->getVertices()[triangles[i]];
        const kuVec3f& b = mesh->getVertices()[triangles[i + 1]];
        const kuVec3f& d = mesh->getVertices()[triangles[i + 2]];
        const kuVec3f normal = (b - a).cross(d - a);
        if (normal.length() < 1e-6f)
            continue; // at a pole
        EXPECT_GT(normal.dot(a + b + d), 0.0f) << i / 3;
        ++outward;
    }
    EXPECT_EQ(outward, 8 * 16 - 2 * 8); // a degenerate triangle per column at each pole
    // Configured once.
    const unsigned int revision = mesh->getRevision();
    EXPECT_EQ(beam->configure(), 1);
    EXPECT_EQ(beam->getGeometry()->getRevision(), revision);
}

TEST_F(FogEffectTest, StateBlendsCullsAndTextures) {
    kuRef<kxLightLobeFogEffect> beam = configured();
    const krState* state = beam->getState();
    ASSERT_NE(state, nullptr);
    // Unlit, blended, culled to its outer shell, with both of its programs.
    EXPECT_FALSE(state->get<krLighting::Element>()->enable);
    EXPECT_TRUE(state->get<krAlphaBlend::Element>()->enable);
    EXPECT_TRUE(state->get<krPolygon::Element>()->cullEnable);
    const krShaderProgram::Element* program = state->get<krShaderProgram::Element>();
    ASSERT_TRUE(program && program->isActive());
    EXPECT_EQ(program->getProgram()->getNumShaders(), 2);
    // The lobe's texture may change after configure: the state follows.
    const krTexture::Element* textures = state->get<krTexture::Element>();
    ASSERT_EQ(textures->getNumStates(), 1u);
    kuRef<krTexture> other = whiteTexture();
    beam->setTexture(other.get());
    EXPECT_EQ((*textures->begin_texture_state())->getTexture(), other.get());
    EXPECT_EQ(beam->getRootNode()->getChild(0), beam->getGeometryNode());
}

TEST_F(FogEffectTest, MasksFollowEnableAndTexture) {
    const struct {
        bool texture, enable;
        unsigned int render, cull;
    } rows[] = {{false, true, 0, 0}, {true, true, 0xFFFFFFFF, 0xFFFFFFFF}, {true, false, 0, 0}};
    for (const auto& r : rows) {
        kuRef<kxLightLobeFogEffect> beam = kxLightLobeFogEffect::create();
        if (r.texture)
            beam->setTexture(whiteTexture().get());
        beam->setEnable(r.enable);
        EXPECT_EQ(beam->getRootNode()->getRenderMask(), r.render) << r.texture << r.enable;
        EXPECT_EQ(beam->getRootNode()->getCullMask(), r.cull) << r.texture << r.enable;
        EXPECT_EQ(beam->getRootNode()->getIsectMask(), 0u);
    }
    kxMessageCapture capture;
    kuRef<kxLightLobeFogEffect> bare = kxLightLobeFogEffect::create();
    EXPECT_EQ(bare->configure(), -32767);
    EXPECT_EQ(capture.count(5, "kxLightLobeFogEffect::configure: cannot configure without a "
                               "texture. Fog effect will not function!"),
              1);
    EXPECT_EQ(bare->getRootNode()->getNumChildren(), 0);
    // Hung under its lobe all the same, once.
    kuRef<ksTransform> lobe = new ksTransform;
    EXPECT_EQ(bare->configure(lobe.get()), -32767);
    EXPECT_EQ(bare->configure(lobe.get()), -32767);
    ASSERT_EQ(lobe->getNumChildren(), 1);
    EXPECT_EQ(lobe->getChild(0), bare->getRootNode());
}

TEST_F(FogEffectTest, FogDensityGivesStrength) {
    // The scaled density is fog density x 5000 x brightness (0.04 by default).
    const struct {
        float fogDensity, brightness;
        bool shows;
        float alpha;
    } rows[] = {
        {0.0f, 0.04f, false, 0},           {0.0004f, 0.04f, false, 0}, // 0.08 is not above 0.08
        {0.25f, 0.04f, true, 50},          {0.75f, 0.04f, true, 1},    // 150 is full strength
        {0.01f, 1.0f, true, 50},           {3.912f / 1000, 0.04f, true, 0.7824f}, // 1 km visibility
        {3.912f / 20000, 0.04f, false, 0},
    };
    for (const auto& r : rows) {
        kuRef<kxLightLobeFogEffect> beam = configured();
        beam->setBrightness(r.brightness);
        float alpha = -1;
        EXPECT_EQ(beam->getStrength(r.fogDensity, &alpha), r.shows) << r.fogDensity;
        if (r.shows) {
            EXPECT_NEAR(alpha, r.alpha, 1e-4f) << r.fogDensity;
        }
        // The lobe's update: on or off, and the colour with that alpha.
        beam->setEnable(!r.shows);
        beam->updateFromFog(r.fogDensity, 0.5f, 0.25f, 1.0f);
        EXPECT_EQ(beam->getEnable(), r.shows);
        if (r.shows) {
            EXPECT_EQ(beam->getColor(), kuVec4f(0.5f, 0.25f, 1.0f, alpha));
        }
    }
    kuRef<kxEnv> env = new kxEnv;
    env->setVisibility(1000);
    EXPECT_FLOAT_EQ(kxLightLobeFogEffect::getEnvironmentFogDensity(), 3.912f / 1000);
}

TEST_F(FogEffectTest, OffsetsPlaceTheBeam) {
    kuRef<kxLightLobeFogEffect> beam = kxLightLobeFogEffect::create();
    ksTransform* root = static_cast<ksTransform*>(beam->getRootNode());
    // The stored scale reads 0 until set, and the beam keeps its size meanwhile.
    beam->setTranslationOffset(1, 2, 3);
    EXPECT_EQ(root->getMatrix().transformPoint(kuVec3d(0, 2, 0)), kuVec3d(1, 4, 3));
    beam->setScale(kuVec3d(10, 20, 10));
    beam->setRotationOffset(90, 0, 0);
    // Scaled (0, 40, 0), turned left to (-40, 0, 0), moved.
    const kuVec3d p = root->getMatrix().transformPoint(kuVec3d(0, 2, 0));
    EXPECT_NEAR((p - kuVec3d(-39, 2, 3)).length(), 0, 1e-9);
}

TEST_F(FogEffectTest, TextureFiles) {
    kxTempDir dir;
    const struct {
        int components;
        int format;
    } rows[] = {{3, krTexture::FORMAT_RGB}, {4, krTexture::FORMAT_RGBA}};
    for (const auto& r : rows) {
        const std::string file = dir.file("beam" + std::to_string(r.components) + ".png");
        kuRef<kuImage> image = kuImage::create(4, 4, r.components);
        ASSERT_EQ(kuImageFactory::writePNG(file.c_str(), image.get()), 1);
        kuRef<kxLightLobeFogEffect> beam = kxLightLobeFogEffect::create();
        beam->setTextureFile(file.c_str());
        ASSERT_NE(beam->getTexture(), nullptr);
        EXPECT_EQ(beam->getTexture()->getFormat(), r.format);
        // After configure a file changes nothing and says nothing.
        ASSERT_EQ(beam->configure(), 1);
        krTexture* kept = beam->getTexture();
        kxMessageCapture capture;
        beam->setTextureFile(dir.file("missing.png").c_str());
        EXPECT_EQ(beam->getTexture(), kept);
        EXPECT_EQ(capture.messages().size(), 0u);
    }
    kxMessageCapture capture;
    kuRef<kxLightLobeFogEffect> beam = kxLightLobeFogEffect::create();
    beam->setTextureFile(dir.file("missing.png").c_str());
    EXPECT_EQ(beam->getTexture(), nullptr);
    EXPECT_EQ(capture.count(5, "kxLightLobeFogEffect::setTextureFile: can't load image, check "
                               "texture name and path.  Fog effect may not function!"),
              1);
}

// The colour of each frame goes into a mesh copy that no frame in flight draws: a copy drawn
// for frame F keeps that frame's colour until frame F + 4 at least.
TEST_F(FogEffectTest, ColourIsHandedOverByFrame) {
    kuRef<kxLightLobeFogEffect> beam = configured();
    struct Drawn {
        const krGeometry* mesh;
        kuVec4f color;
    };
    std::map<int, Drawn> drawn;
    for (int frame = 1; frame <= 50; ++frame) {
        ksThread::setFrameNumber(frame);
        // None, one or two changes a frame, and a burst that outruns the copies at frame 41.
        const int changes = frame == 41 ? 12 : frame % 3;
        for (int k = 0; k < changes; ++k)
            beam->setColor(1, 1, 1, float(frame * 20 + k) / 1000);
        drawn[frame] = {beam->getGeometry(), beam->getGeometry()->getColors()[0]};
        for (const auto& entry : drawn)
            if (entry.first > frame - 4) {
                EXPECT_EQ(entry.second.mesh->getColors()[0], entry.second.color)
                    << "frame " << entry.first << " at " << frame;
            }
        // Each frame draws its latest colour, but for a burst, caught up by the next change.
        const bool catchingUp = frame >= 41 && frame < 46;
        if (!catchingUp) {
            EXPECT_EQ(drawn[frame].color, beam->getColor()) << frame;
        }
    }
    ksThread::setFrameNumber(0);
}

} // namespace
