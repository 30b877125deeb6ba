// The beam drawn: blended by its colour's alpha where it stands, nothing around it, and in the
// pipelined mode each frame with the colour its update gave (ThreadSanitizer watches the
// hand-over in the sanitizer build).
#include "kxTestSupport.h"

#include <kr/krTexture.h>
#include <kr/krWindow.h>
#include <ks/ksChannel.h>
#include <ks/ksWindow.h>
#include <ku/kuImageFactory.h>
#include <kx/kxKernel.h>
#include <kx/kxObserver.h>
#include <kx/kxScene.h>
#include <kxlightlobefogeffect.h>

#include <algorithm>

namespace {

float alphaOf(int frame) {
    return 0.2f + 0.2f * static_cast<float>(frame % 4);
}

// Sets the beam's colour in each frame's update, as its lobe does.
struct Pulse : kxKernel::Subscriber {
    kxLightLobeFogEffect* beam = nullptr;
    void notify(int, ksServiceMgr*) override {
        beam->setColor(1, 0, 0, alphaOf(kxKernel::instance()->getFrameNumber()));
    }
};

class FogBeamTest : public kxModuleTest {};

TEST_F(FogBeamTest, EachFrameDrawsItsOwnAlpha) {
    kxKernel* kernel = kxKernel::instance();
    kuRef<kxLightLobeFogEffect> beam = kxLightLobeFogEffect::create();
    {
        kuRef<krTexture> white = new krTexture;
        white->setDimensions(4, 4, 0);
        white->setFormat(krTexture::FORMAT_INTENSITY, krTexture::TYPE_UNSIGNED_BYTE);
        kuRef<kuAllocRef> bits = kuAllocRef::malloc(16);
        std::fill(bits->data(), bits->data() + 16, 255);
        white->setImageLevel(0, bits.get());
        beam->setTexture(white.get());
    }
    ASSERT_EQ(beam->configure(), 1);
    beam->setEnable(true);
    beam->setScale(5, 5, 5);
    kuRef<kxScene> scene = new kxScene;
    scene->addChild(beam->getRootNode());
    kuRef<ksWindow> window = new ksWindow;
    window->setSize(64, 64);
    kuRef<ksChannel> channel = new ksChannel;
    channel->setClearColor(0, 0, 0, 1);
    window->addChannel(channel.get());
    // In front of the beam, looking back along it (-y).
    kuRef<kxObserver> observer = new kxObserver;
    observer->setScene(scene.get());
    observer->addChannel(channel.get());
    observer->setPosition(0, 40, 0);
    observer->setOrientation(180, 0, 0);
    Pulse pulse;
    pulse.beam = beam.get();
    kernel->addSubscriber(kxKernel::EVENT_FRAME_UPDATE, &pulse);
    ASSERT_EQ(kernel->configure(), 1);

    for (int frame = 1; frame <= 40; ++frame) {
        if (frame == 4)
            kernel->setThreadingMode(kxKernel::THREADING_PIPELINED);
        ASSERT_EQ(runFrame(), 1);
        if (frame % 5 != 0)
            continue;
        kernel->finishFrames();
        if (!window->getRenderWindow())
            break;
        kuRef<kuImage> image = window->getRenderWindow()->readPixels();
        ASSERT_NE(image, nullptr);
        // The beam's programs add the texture to the colour: red becomes white, blended by
        // the colour's alpha times the texture over the black background.
        const float expected = alphaOf(frame) * 255.0f;
        EXPECT_NEAR(image->getPixel(32, 32)[0], expected, 2.0f) << "frame " << frame;
        EXPECT_NEAR(image->getPixel(32, 32)[2], expected, 2.0f) << "frame " << frame;
        EXPECT_EQ(image->getPixel(1, 1)[0], 0) << "frame " << frame;
    }
    kernel->finishFrames();
    kernel->setThreadingMode(kxKernel::THREADING_SERIAL);
    kernel->removeSubscriber(kxKernel::EVENT_FRAME_UPDATE, &pulse, false);
    if (!window->getRenderWindow())
        GTEST_SKIP() << "no OpenGL context";
}

} // namespace
