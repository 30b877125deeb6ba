#include "kxTestSupport.h"

#include <kxlightlobe.h>
#include <kxlightmap.h>

#include <cmath>

namespace {

class FalloffImageTest : public kxModuleTest {
protected:
    std::vector<unsigned char> make(int size, kxLightLobe::Falloff falloff) {
        // One spare texel on each side shows that nothing is written outside the image.
        std::vector<unsigned char> bits(static_cast<std::size_t>(size) * size * 3 + 6, 0xAB);
        kxLightMap::instance()->creatLightTextureBits(size, falloff, bits.data() + 3);
        EXPECT_EQ(bits[0], 0xAB);
        EXPECT_EQ(bits[bits.size() - 1], 0xAB);
        return std::vector<unsigned char>(bits.begin() + 3, bits.end() - 3);
    }
    static int texel(const std::vector<unsigned char>& bits, int size, int row, int col) {
        const std::size_t at = (static_cast<std::size_t>(row) * size + col) * 3;
        // Grey: the three channels always agree.
        EXPECT_EQ(bits[at], bits[at + 1]);
        EXPECT_EQ(bits[at], bits[at + 2]);
        return bits[at];
    }
};

// Values worked out by hand: v = d / (size / 2.7), shaped, (1 - v) * 255, truncated.
struct FalloffCase {
    kxLightLobe::Falloff falloff;
    int row, col;
    int expected;
};

TEST_F(FalloffImageTest, ValuesAtKnownTexelsOfA128Image) {
    const FalloffCase cases[] = {
        {kxLightLobe::FALLOFF_LINEAR, 64, 64, 255},  {kxLightLobe::FALLOFF_LINEAR, 64, 80, 168},
        {kxLightLobe::FALLOFF_SQUARED, 64, 80, 225}, {kxLightLobe::FALLOFF_CUBIC, 64, 80, 245},
        {kxLightLobe::FALLOFF_LINEAR, 80, 64, 168},  {kxLightLobe::FALLOFF_LINEAR, 94, 64, 93},
        {kxLightLobe::FALLOFF_LINEAR, 64, 112, 0},   {kxLightLobe::FALLOFF_SQUARED, 100, 100, 0},
    };
    for (const FalloffCase& c : cases) {
        const std::vector<unsigned char> bits = make(128, c.falloff);
        EXPECT_EQ(texel(bits, 128, c.row, c.col), c.expected)
            << "falloff " << c.falloff << " at " << c.row << "," << c.col;
    }
}

TEST_F(FalloffImageTest, UnknownFalloffIsLinear) {
    EXPECT_EQ(make(64, static_cast<kxLightLobe::Falloff>(0)),
              make(64, kxLightLobe::FALLOFF_LINEAR));
    EXPECT_EQ(make(64, static_cast<kxLightLobe::Falloff>(7)),
              make(64, kxLightLobe::FALLOFF_LINEAR));
}

TEST_F(FalloffImageTest, BlackBorderAndDarkOutsideTheDisc) {
    for (kxLightLobe::Falloff falloff : {kxLightLobe::FALLOFF_LINEAR, kxLightLobe::FALLOFF_CUBIC}) {
        const int size = 128;
        const std::vector<unsigned char> bits = make(size, falloff);
        for (int i = 0; i < size; ++i) {
            EXPECT_EQ(texel(bits, size, 0, i), 0);
            EXPECT_EQ(texel(bits, size, size - 1, i), 0);
            EXPECT_EQ(texel(bits, size, i, 0), 0);
            EXPECT_EQ(texel(bits, size, i, size - 1), 0);
        }
        const double radius = size / 2.7;
        for (int r = 1; r < size - 1; ++r)
            for (int c = 1; c < size - 1; ++c) {
                if (std::hypot(r - 64.0, c - 64.0) > radius + 1e-9) {
                    ASSERT_EQ(texel(bits, size, r, c), 0) << r << "," << c;
                }
            }
    }
}

TEST_F(FalloffImageTest, SmallImagesAreScaledBySizeOverEight) {
    // Size 4: the centre texel (2, 2) is 255 * 4 / 8 = 127.
    EXPECT_EQ(texel(make(4, kxLightLobe::FALLOFF_LINEAR), 4, 2, 2), 127);
    // Size 8: unchanged, (4, 4) is 255.
    EXPECT_EQ(texel(make(8, kxLightLobe::FALLOFF_LINEAR), 8, 4, 4), 255);
    // Size 12 would scale the centre to 382: it saturates instead of wrapping round to 126,
    // and no texel is brighter than a texel nearer the centre.
    const std::vector<unsigned char> bits = make(12, kxLightLobe::FALLOFF_LINEAR);
    EXPECT_EQ(texel(bits, 12, 6, 6), 255);
    for (int c = 6; c < 10; ++c)
        EXPECT_GE(texel(bits, 12, 6, c), texel(bits, 12, 6, c + 1)) << c;
}

TEST_F(FalloffImageTest, DegenerateSizesWriteNothingOutside) {
    for (int size : {1, 2}) {
        const std::vector<unsigned char> bits = make(size, kxLightLobe::FALLOFF_SQUARED);
        for (unsigned char byte : bits)
            EXPECT_EQ(byte, 0) << "size " << size; // all border
    }
    make(0, kxLightLobe::FALLOFF_SQUARED);
    make(-5, kxLightLobe::FALLOFF_SQUARED);
}

} // namespace
