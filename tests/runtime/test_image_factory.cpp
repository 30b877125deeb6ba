// The image reader: every SGI variant and PNG read back pixel for pixel (bottom row first),
// PNG capture, and damaged input refused with one level-5 message.
#include <ku/kuImageFactory.h>
#include <ku/kuNotify.h>

#include <gtest/gtest.h>
#include <zlib.h>

// An independent PNG coder, private to this test, to write inputs and check what we write.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wall"
#pragma GCC diagnostic ignored "-Wextra"
#define STB_IMAGE_STATIC
#define STB_IMAGE_WRITE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb/stb_image.h>
#include <stb/stb_image_write.h>
#pragma GCC diagnostic pop

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

typedef std::vector<unsigned char> Bytes;

// 16-bit sample of pixel (x, y), y from the bottom. Even rows are constant (runs for the RLE
// coder), odd rows vary; the low byte differs from the high byte, which readers must keep.
unsigned sample(int x, int y, int c) {
    const unsigned high =
        y % 2 == 0 ? (y * 40 + c * 70 + 1) & 0xFF : (x * 37 + y * 11 + c * 70 + 3) & 0xFF;
    const unsigned low = y % 2 == 0 ? 0x5A ^ c : (x * 13 + c) & 0xFF;
    return high << 8 | (low == high ? low ^ 1 : low);
}

void put16(Bytes& b, std::size_t at, unsigned v) {
    b[at] = static_cast<unsigned char>(v >> 8);
    b[at + 1] = static_cast<unsigned char>(v);
}

void put32(Bytes& b, std::size_t at, unsigned v) {
    put16(b, at, v >> 16);
    put16(b, at + 2, v & 0xFFFF);
}

struct Sgi {
    int width, height, channels, bpc;
    bool rle;
    int dimension;
};

void pushElement(Bytes& out, unsigned value16, int bpc) {
    out.push_back(static_cast<unsigned char>(value16 >> 8));
    if (bpc == 2)
        out.push_back(static_cast<unsigned char>(value16));
}

// A packet header is an element whose low 7 bits count and whose bit 7 marks literals.
void pushCount(Bytes& out, unsigned count, int bpc) {
    if (bpc == 2)
        out.push_back(0);
    out.push_back(static_cast<unsigned char>(count));
}

// A small SGI writer: verbatim, or RLE with repeat packets for runs of 3 or more and literal
// packets otherwise (both limited to 127 elements).
Bytes writeSgi(const Sgi& s) {
    Bytes out(512, 0);
    put16(out, 0, 474);
    out[2] = s.rle;
    out[3] = static_cast<unsigned char>(s.bpc);
    put16(out, 4, s.dimension);
    put16(out, 6, s.width);
    put16(out, 8, s.height);
    put16(out, 10, s.channels);
    put32(out, 16, s.bpc == 1 ? 255 : 65535);
    const std::size_t rows = std::size_t(s.height) * s.channels, tables = out.size();
    if (s.rle)
        out.resize(out.size() + rows * 8);
    const unsigned mask = s.bpc == 1 ? 0xFF00 : 0xFFFF;
    for (int c = 0; c < s.channels; ++c)
        for (int y = 0; y < s.height; ++y) {
            const std::size_t start = out.size(), row = std::size_t(c) * s.height + y;
            auto at = [&](int x) { return sample(x, y, c) & mask; };
            for (int x = 0; x < s.width;) {
                if (!s.rle) {
                    pushElement(out, at(x++), s.bpc);
                    continue;
                }
                int run = 1;
                while (x + run < s.width && run < 127 && at(x + run) == at(x))
                    ++run;
                if (run >= 3) {
                    pushCount(out, unsigned(run), s.bpc);
                    pushElement(out, at(x), s.bpc);
                    x += run;
                    continue;
                }
                int n = 1;
                while (x + n < s.width && n < 127 &&
                       !(x + n + 2 < s.width && at(x + n) == at(x + n + 1) &&
                         at(x + n) == at(x + n + 2)))
                    ++n;
                pushCount(out, unsigned(0x80 | n), s.bpc);
                for (int i = 0; i < n; ++i)
                    pushElement(out, at(x++), s.bpc);
            }
            if (s.rle) {
                pushCount(out, 0, s.bpc);
                put32(out, tables + 4 * row, unsigned(start));
                put32(out, tables + 4 * rows + 4 * row, unsigned(out.size() - start));
            }
        }
    return out;
}

void expectPixels(const kuImage* image, int width, int height, int channels) {
    ASSERT_NE(image, nullptr);
    ASSERT_EQ(image->getWidth(), width);
    ASSERT_EQ(image->getHeight(), height);
    ASSERT_EQ(image->getComponents(), channels);
    ASSERT_GE(image->getPixels()->size(), std::size_t(width) * height * channels);
    int wrong = 0;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < channels; ++c)
                wrong += image->getPixel(x, y)[c] != (sample(x, y, c) >> 8);
    EXPECT_EQ(wrong, 0);
}

struct Message {
    int level;
    std::string text;
};

class ImageFactoryTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_level = kuNotify::getLevel();
        kuNotify::setLevel(kuNotify::FATAL + 1);
        kuNotify::setCallback(&receive, &messages);
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::replace(name.begin(), name.end(), '/', '_');
        dir = std::filesystem::temp_directory_path() /
              ("kx_image_" + std::to_string(::getpid()) + "_" + name);
        std::filesystem::create_directories(dir);
    }
    void TearDown() override {
        kuNotify::setCallback(nullptr, nullptr);
        kuNotify::setLevel(m_level);
        std::filesystem::remove_all(dir);
    }
    static void receive(int level, const kuBase::ClassType*, const char* text, void* out) {
        static_cast<std::vector<Message>*>(out)->push_back({level, text});
    }
    std::string file(const std::string& name, const Bytes& bytes) {
        const std::string path = (dir / name).string();
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        return path;
    }
    void expectOneFailure(const std::string& name, const std::string& reason) {
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_EQ(messages[0].level, kuNotify::WARN);
        EXPECT_NE(messages[0].text.find(name), std::string::npos) << messages[0].text;
        EXPECT_NE(messages[0].text.find(reason), std::string::npos) << messages[0].text;
    }

    std::filesystem::path dir;
    std::vector<Message> messages;

private:
    int m_level = 0;
};

// ---- SGI: every storage, depth and channel count ----

void PrintTo(const Sgi& s, std::ostream* out) {
    *out << s.width << "x" << s.height << "x" << s.channels << (s.rle ? " RLE " : " verbatim ")
         << 8 * s.bpc << "-bit, dimension " << s.dimension;
}

class SgiReadTest : public ImageFactoryTest, public ::testing::WithParamInterface<Sgi> {};

TEST_P(SgiReadTest, ReadsEveryPixelBottomRowFirst) {
    const Sgi& s = GetParam();
    // The extension says PNG: the reader must go by content.
    kuRef<kuImage> image = kuImageFactory::read(file("image.png", writeSgi(s)).c_str());
    expectPixels(image.get(), s.width, s.height, s.channels);
    EXPECT_TRUE(messages.empty());
}

std::vector<Sgi> sgiVariants() {
    std::vector<Sgi> variants;
    for (int bpc : {1, 2})
        for (bool rle : {false, true}) {
            for (int channels = 1; channels <= 4; ++channels)
                variants.push_back({131, 3, channels, bpc, rle, 3}); // rows longer than a packet
            variants.push_back({6, 5, 1, bpc, rle, 2});
            variants.push_back({9, 1, 1, bpc, rle, 1});
        }
    return variants;
}

INSTANTIATE_TEST_SUITE_P(Variants, SgiReadTest, ::testing::ValuesIn(sgiVariants()),
                         [](const ::testing::TestParamInfo<Sgi>& info) {
                             const Sgi& s = info.param;
                             return std::string(s.rle ? "Rle" : "Verbatim") +
                                    std::to_string(8 * s.bpc) + "bitDim" +
                                    std::to_string(s.dimension) + "Z" + std::to_string(s.channels);
                         });

// ---- PNG: reading what an independent coder wrote, and writing what it reads ----

class PngTest : public ImageFactoryTest, public ::testing::WithParamInterface<int> {};

TEST_P(PngTest, ReadsTopRowLastAndWritesTopRowFirst) {
    const int channels = GetParam(), width = 7, height = 5;
    Bytes top(std::size_t(width) * height * channels); // PNG order: top row first
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < channels; ++c)
                top[(std::size_t(height - 1 - y) * width + x) * channels + c] =
                    sample(x, y, c) >> 8;
    const std::string input = (dir / "in.rgb").string();
    ASSERT_TRUE(
        stbi_write_png(input.c_str(), width, height, channels, top.data(), width * channels));
    kuRef<kuImage> image = kuImageFactory::read(input.c_str());
    expectPixels(image.get(), width, height, channels);

    const std::string output = (dir / "out.png").string();
    ASSERT_EQ(kuImageFactory::writePNG(output.c_str(), image.get()), KU_SUCCESS);
    int w = 0, h = 0, n = 0;
    stbi_uc* written = stbi_load(output.c_str(), &w, &h, &n, 0);
    ASSERT_NE(written, nullptr);
    EXPECT_EQ(Bytes(written, written + std::size_t(w) * h * n), top);
    stbi_image_free(written);
    EXPECT_TRUE(messages.empty());
}

INSTANTIATE_TEST_SUITE_P(Channels, PngTest, ::testing::Values(1, 2, 3, 4));

TEST_F(ImageFactoryTest, WritePngRefusesWhatItCannotWrite) {
    kuRef<kuImage> image = kuImage::create(2, 2, 3);
    EXPECT_EQ(kuImageFactory::writePNG((dir / "no" / "such.png").c_str(), image.get()), KU_FAILURE);
    EXPECT_EQ(kuImageFactory::writePNG((dir / "x.png").c_str(), nullptr), KU_FAILURE);
    EXPECT_EQ(kuImageFactory::writePNG("", image.get()), KU_FAILURE);
    ASSERT_EQ(messages.size(), 3u);
    for (const Message& m : messages)
        EXPECT_EQ(m.level, kuNotify::WARN);
    EXPECT_NE(messages[0].text.find("such.png"), std::string::npos);
}

// ---- damaged input ----

struct Damage {
    const char* name;
    Bytes (*make)();
    const char* reason;
};

Bytes smallSgi(bool rle) {
    return writeSgi({5, 3, 2, 2, rle, 3});
}
template <std::size_t AT, unsigned char VALUE, bool RLE>
Bytes patchedSgi() {
    Bytes b = smallSgi(RLE);
    b[AT] = VALUE;
    return b;
}
// Where the RLE data of row 0, channel 0 starts (the files are small: the low half of the offset).
std::size_t firstRow(const Bytes& b) {
    return std::size_t(b[514]) << 8 | b[515];
}
// A PNG signature and header chunk, nothing after it.
Bytes pngHeader(unsigned width, unsigned height) {
    Bytes b = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0, 13, 'I', 'H', 'D', 'R'};
    b.resize(b.size() + 17, 0);
    put32(b, 16, width);
    put32(b, 20, height);
    b[24] = 8; // 8-bit grey
    return b;
}

// A PNG of the header's size whose image data is raw compressed, of which the first keep
// bytes are stored (all by default).
Bytes pngWithData(unsigned width, unsigned height, const Bytes& raw, std::size_t cut = 0) {
    Bytes b = pngHeader(width, height);
    uLongf length = compressBound(raw.size());
    Bytes packed(length);
    compress(packed.data(), &length, raw.data(), raw.size());
    packed.resize(length - cut);
    const std::size_t at = b.size();
    b.resize(at + 8);
    put32(b, at, static_cast<unsigned>(packed.size()));
    const char* type = "IDAT";
    std::copy(type, type + 4, b.begin() + static_cast<std::ptrdiff_t>(at) + 4);
    b.insert(b.end(), packed.begin(), packed.end());
    b.resize(b.size() + 4, 0); // CRC, which the reader does not check
    const unsigned char end[12] = {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};
    b.insert(b.end(), end, end + 12);
    return b;
}

// clang-format off
const Damage DAMAGES[] = {
    {"empty", [] { return Bytes(); }, "empty"},
    {"foreign", [] { return Bytes{'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0}; }, "unknown image format"},
    {"sgiHeaderCut", [] { Bytes b = smallSgi(false); b.resize(100); return b; }, "truncated SGI header"},
    {"sgiStorage", patchedSgi<2, 2, false>, "storage"},
    {"sgiBpc", patchedSgi<3, 3, false>, "component size"},
    {"sgiDimension", patchedSgi<5, 4, false>, "dimension"},
    {"sgiFiveChannels", patchedSgi<11, 5, false>, "channel count"},
    {"sgiNoWidth", [] { Bytes b = smallSgi(false); put16(b, 6, 0); return b; }, "not supported"},
    {"sgiHuge", [] { Bytes b = smallSgi(false); put16(b, 6, 65535); put16(b, 8, 65535); return b; }, "not supported"},
    {"sgiDataCut", [] { Bytes b = smallSgi(false); b.pop_back(); return b; }, "truncated SGI pixel data"},
    {"sgiTablesCut", [] { Bytes b = smallSgi(true); b.resize(512 + 40); return b; }, "truncated SGI row tables"},
    {"sgiRowOutside", [] { Bytes b = smallSgi(true); put32(b, 512, 0xFFFFFFF0u); return b; }, "outside the file"},
    {"sgiLengthOutside", [] { Bytes b = smallSgi(true); put32(b, 512 + 4 * 6 + 4 * 5, 1000); return b; }, "outside the file"},
    {"sgiRunOverflows", [] { Bytes b = smallSgi(true); put16(b, firstRow(b), 0x7F); return b; }, "corrupt SGI run-length"},
    {"sgiRowEndsEarly", [] { Bytes b = smallSgi(true); put16(b, firstRow(b), 0); return b; }, "corrupt SGI run-length"},
    {"pngCut", [] { return pngHeader(4, 4); }, "corrupt PNG"},
    {"pngHuge", [] { return pngHeader(20000, 20000); }, "not supported"},
    // A tiny file declaring a 2 GiB IDAT chunk: refused before the decoder allocates for it.
    // Image data that inflates far beyond the image, or stops early (the decoder would go on
    // reading zeros): both refused before the decoder runs, which would inflate gigabytes.
    {"pngDataTooLarge", [] { return pngWithData(2, 2, Bytes(1 << 20, 0)); }, "larger than the image"},
    {"pngDataCutShort", [] { return pngWithData(2, 2, Bytes{0, 1, 2, 0, 3, 4}, 4); }, "cut short"},
    {"pngChunkPastEnd", [] { Bytes b = pngHeader(4, 4); b.resize(b.size() + 18, 0); put32(b, 33, 0x7FFFFF00u); const char* type = "IDAT"; std::copy(type, type + 4, b.begin() + 37); return b; }, "chunk runs past the end"},
};
// clang-format on

void PrintTo(const Damage& d, std::ostream* out) {
    *out << d.name;
}

class DamagedTest : public ImageFactoryTest, public ::testing::WithParamInterface<Damage> {};

TEST_P(DamagedTest, RefusedWithOneMessage) {
    const Bytes bytes = GetParam().make();
    EXPECT_EQ(kuImageFactory::readMemory(bytes.data(), bytes.size(), GetParam().name), nullptr);
    expectOneFailure(GetParam().name, GetParam().reason);
}

INSTANTIATE_TEST_SUITE_P(Cases, DamagedTest, ::testing::ValuesIn(DAMAGES),
                         [](const ::testing::TestParamInfo<Damage>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(ImageFactoryTest, FilesThatCannotBeOpened) {
    const std::string missing = (dir / "missing.rgb").string();
    EXPECT_EQ(kuImageFactory::read(missing.c_str()), nullptr);
    expectOneFailure(missing, "cannot open");
    messages.clear();
    EXPECT_EQ(kuImageFactory::read(dir.c_str()), nullptr);
    expectOneFailure(dir.string(), "not a regular file");
    messages.clear();
    EXPECT_EQ(kuImageFactory::read(nullptr), nullptr);
    expectOneFailure("", "no file name");
}

// Every prefix of a valid SGI file is incomplete.
TEST_F(ImageFactoryTest, EveryTruncationIsRefused) {
    for (bool rle : {false, true}) {
        const Bytes whole = smallSgi(rle);
        for (std::size_t size = 0; size < whole.size(); ++size)
            EXPECT_EQ(kuImageFactory::readMemory(whole.data(), size, "cut"), nullptr) << size;
    }
}

TEST(ImageTest, CreateRefusesBadSizesAndKeepsForeignBuffers) {
    EXPECT_EQ(kuImage::create(0, 4, 3), nullptr);
    EXPECT_EQ(kuImage::create(4, 4, 5), nullptr);
    EXPECT_EQ(kuImage::create(65536, 1, 1), nullptr);
    EXPECT_EQ(kuImage::create(16384, 16384, 2), nullptr); // 512 MiB
    kuRef<kuAllocRef> small = kuAllocRef::malloc(11);
    EXPECT_EQ(kuImage::create(2, 2, 3, small.get()), nullptr);
    EXPECT_EQ(small->getRef(), 1);
    kuRef<kuImage> image = kuImage::create(2, 2, 3, kuAllocRef::malloc(12));
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->getPixel(1, 1), image->getData() + 9);
    EXPECT_EQ(image->getPixel(2, 0), nullptr);
    EXPECT_EQ(image->getPixel(0, -1), nullptr);
}

} // namespace
