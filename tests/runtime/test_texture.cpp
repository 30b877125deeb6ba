// Textures in memory: class registration, setters and their refusals, image levels and
// mipmaps, texture states and elements, and the texture factory with its cache.
#include <kr/krTexture.h>
#include <kr/krTextureFactory.h>
#include <ku/kuImageFactory.h>
#include <ku/kuNotify.h>

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace {

struct Message {
    int level;
    const kuBase::ClassType* type;
    std::string text;
};

class TextureTest : public ::testing::Test {
protected:
    void SetUp() override {
        kuBase::initializeClass();
        krTexture::initializeClass();
        m_level = kuNotify::getLevel();
        kuNotify::setLevel(kuNotify::FATAL + 1);
        kuNotify::setCallback(&receive, &messages);
        dir = std::filesystem::temp_directory_path() / ("kx_texture_" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir);
    }
    void TearDown() override {
        kuNotify::setCallback(nullptr, nullptr);
        kuNotify::setLevel(m_level);
        std::filesystem::remove_all(dir);
        krTexture::shutdownClass();
        kuBase::shutdownClass();
    }
    static void receive(int level, const kuBase::ClassType* type, const char* text, void* out) {
        static_cast<std::vector<Message>*>(out)->push_back({level, type, text});
    }
    // A PNG of the given size whose bytes are 0, 1, 2, ... (bottom row first).
    std::string writeImage(const char* name, int width, int height, int components) {
        kuRef<kuImage> image = kuImage::create(width, height, components);
        for (std::size_t i = 0; i < image->getDataSize(); ++i)
            image->getData()[i] = static_cast<unsigned char>(i * 7);
        const std::string path = (dir / name).string();
        EXPECT_EQ(kuImageFactory::writePNG(path.c_str(), image.get()), KU_SUCCESS);
        return path;
    }

    std::filesystem::path dir;
    std::vector<Message> messages;

private:
    int m_level = 0;
};

TEST_F(TextureTest, RegistersWithItsClassType) {
    krTexture::ClassType* type = krTexture::getStaticClassType();
    ASSERT_NE(type, nullptr);
    EXPECT_EQ(type->getParent(), kuBase::getStaticClassType());
    EXPECT_EQ(krTexture::ClassType::find("krTexture"), type);
    {
        kuRef<krTexture> texture = new krTexture;
        EXPECT_EQ(texture->getClassType(), type);
        EXPECT_EQ(type->getInstanceCount(false), 1u);
        kuRef<kuBase> made = type->create();
        ASSERT_NE(made, nullptr);
        EXPECT_TRUE(made->isExactClassType(type));
        EXPECT_EQ(type->getInstanceCount(false), 2u);
    }
    EXPECT_TRUE(type->isEmpty(false));
}

// Every value a getter reports, to tell whether a refused call changed anything.
std::vector<float> snapshot(const krTexture& t) {
    std::vector<float> values = {
        float(t.getWidth()),     float(t.getHeight()),   float(t.getDepth()),
        float(t.getFormat()),    float(t.getType()),     float(t.getWrapS()),
        float(t.getWrapT()),     float(t.getWrapR()),    float(t.getMinFilter()),
        float(t.getMinMipmap()), float(t.getMagFilter())};
    values.insert(values.end(), t.getBorderColor(), t.getBorderColor() + 4);
    return values;
}

struct SetterCase {
    const char* name;
    std::function<int(krTexture&)> set;
    std::function<bool(const krTexture&)> applied; // null: the call must be refused
};

const SetterCase SETTERS[] = {
    {"dimensions", [](krTexture& t) { return t.setDimensions(64, 32, 0); },
     [](const krTexture& t) {
         return t.getWidth() == 64 && t.getHeight() == 32 && t.getDepth() == 0;
     }},
    {"negativeDimension", [](krTexture& t) { return t.setDimensions(-1, 4, 0); }, nullptr},
    {"intensity", [](krTexture& t) { return t.setFormat(10, 2); },
     [](const krTexture& t) { return t.getFormat() == 10 && t.getType() == 2; }},
    {"rgba", [](krTexture& t) { return t.setFormat(6, 2); },
     [](const krTexture& t) { return t.getFormat() == 6; }},
    {"unknownFormat", [](krTexture& t) { return t.setFormat(7, 2); }, nullptr},
    {"unknownType", [](krTexture& t) { return t.setFormat(10, 3); }, nullptr},
    {"wrap", [](krTexture& t) { return t.setWrap(2, 3, 1); },
     [](const krTexture& t) {
         return t.getWrapS() == 2 && t.getWrapT() == 3 && t.getWrapR() == 1;
     }},
    {"unknownWrap", [](krTexture& t) { return t.setWrap(3, 3, 4); }, nullptr},
    {"minFilter", [](krTexture& t) { return t.setMinFilter(0, 3); },
     [](const krTexture& t) { return t.getMinFilter() == 0 && t.getMinMipmap() == 3; }},
    {"unknownMinFilter", [](krTexture& t) { return t.setMinFilter(3, 0); }, nullptr},
    {"unknownMipmap", [](krTexture& t) { return t.setMinFilter(2, 4); }, nullptr},
    {"magFilter", [](krTexture& t) { return t.setMagFilter(0); },
     [](const krTexture& t) { return t.getMagFilter() == 0; }},
    {"unknownMagFilter", [](krTexture& t) { return t.setMagFilter(-1); }, nullptr},
    {"borderColor",
     [](krTexture& t) {
         const float red[4] = {1, 0, 0, 0.5f};
         t.setBorderColor(red);
         return int(KU_SUCCESS);
     },
     [](const krTexture& t) {
         return t.getBorderColor()[0] == 1.0f && t.getBorderColor()[3] == 0.5f;
     }},
};

void PrintTo(const SetterCase& c, std::ostream* out) {
    *out << c.name;
}

class TextureSetterTest : public TextureTest, public ::testing::WithParamInterface<SetterCase> {};

TEST_P(TextureSetterTest, AppliesOrRefuses) {
    kuRef<krTexture> texture = new krTexture;
    texture->setName("t");
    const std::vector<float> before = snapshot(*texture);
    const unsigned revision = texture->getRevision();
    const SetterCase& c = GetParam();
    if (c.applied) {
        EXPECT_EQ(c.set(*texture), KU_SUCCESS);
        EXPECT_TRUE(c.applied(*texture));
        EXPECT_NE(snapshot(*texture), before);
        EXPECT_GT(texture->getRevision(), revision);
        EXPECT_TRUE(messages.empty());
    } else {
        EXPECT_EQ(c.set(*texture), KU_FAILURE);
        EXPECT_EQ(snapshot(*texture), before);
        EXPECT_EQ(texture->getRevision(), revision);
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_EQ(messages[0].level, kuNotify::WARN);
        EXPECT_EQ(messages[0].type, krTexture::getStaticClassType());
        EXPECT_NE(messages[0].text.find("\"t\""), std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, TextureSetterTest, ::testing::ValuesIn(SETTERS),
                         [](const ::testing::TestParamInfo<SetterCase>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(TextureTest, ImageLevelsHoldReferences) {
    kuRef<kuAllocRef> a = kuAllocRef::malloc(16), b = kuAllocRef::malloc(4);
    {
        kuRef<krTexture> texture = new krTexture;
        EXPECT_EQ(texture->getNumImageLevels(), 0);
        EXPECT_EQ(texture->setImageLevel(0, a.get()), KU_SUCCESS);
        EXPECT_EQ(texture->setImageLevel(2, b.get()), KU_SUCCESS);
        EXPECT_EQ(texture->getNumImageLevels(), 3);
        EXPECT_EQ(texture->getImageLevel(1), nullptr);
        EXPECT_EQ(texture->getImageLevel(2), b.get());
        EXPECT_EQ(a->getRef(), 2);
        EXPECT_EQ(texture->setImageLevel(2, nullptr), KU_SUCCESS);
        EXPECT_EQ(texture->getNumImageLevels(), 1);
        EXPECT_EQ(b->getRef(), 1);
        EXPECT_EQ(texture->setImageLevel(krTexture::MAX_IMAGE_LEVELS, b.get()), KU_FAILURE);
        EXPECT_EQ(texture->setImageLevel(-1, b.get()), KU_FAILURE);
        EXPECT_EQ(messages.size(), 2u);
    }
    EXPECT_EQ(a->getRef(), 1);
}

TEST_F(TextureTest, MipmapsAreBoxFiltered) {
    kuRef<krTexture> texture = new krTexture;
    EXPECT_EQ(texture->generateMipmaps(), KU_FAILURE); // nothing to reduce
    EXPECT_EQ(messages.size(), 1u);
    kuRef<kuAllocRef> bits = kuAllocRef::malloc(8);
    const unsigned char base[8] = {0, 4, 8, 12, 16, 20, 24, 28};
    std::copy(base, base + 8, bits->data());
    texture->setImageLevel(0, bits.get());
    texture->setImageLevel(5, bits.get()); // stale: replaced
    texture->setDimensions(4, 2, 0);
    texture->setFormat(krTexture::FORMAT_INTENSITY, krTexture::TYPE_UNSIGNED_BYTE);
    ASSERT_EQ(texture->generateMipmaps(), KU_SUCCESS);
    ASSERT_EQ(texture->getNumImageLevels(), 3);
    EXPECT_EQ(texture->getImageLevel(0), bits.get());
    ASSERT_EQ(texture->getImageLevel(1)->size(), 2u);
    EXPECT_EQ(texture->getImageLevel(1)->data()[0], (0 + 4 + 16 + 20) / 4);
    EXPECT_EQ(texture->getImageLevel(1)->data()[1], (8 + 12 + 24 + 28) / 4);
    ASSERT_EQ(texture->getImageLevel(2)->size(), 1u);
    EXPECT_EQ(texture->getImageLevel(2)->data()[0], (10 + 18 + 10 + 18) / 4);
}

TEST_F(TextureTest, StatesAndElements) {
    kuRef<krTexture> texture = new krTexture;
    kuRef<krTexture::State> state = new krTexture::State;
    EXPECT_FALSE(state->getEnable());
    state->setTexture(texture.get());
    state->setEnable(true);
    EXPECT_EQ(texture->getRef(), 2);

    krTexture::Element element;
    element.appendState(state.get());
    element.appendState(nullptr);
    krTexture::Element copy = element;
    copy.appendState(new krTexture::State);
    EXPECT_EQ(element.getNumStates(), 1u);
    EXPECT_EQ(copy.getNumStates(), 2u);
    EXPECT_EQ(copy.begin_texture_state()->get(), state.get());
    EXPECT_EQ(state->getRef(), 3);
    for (auto it = copy.begin_texture_state(); it != copy.end_texture_state(); ++it)
        (*it)->setTexture(nullptr);
    EXPECT_EQ(texture->getRef(), 1);
    element.clear();
    EXPECT_EQ(state->getRef(), 2);
}

// ---- the factory ----

TEST_F(TextureTest, FactoryMakesTexturesFromEachComponentCount) {
    kuRef<krTextureFactory> factory = new krTextureFactory;
    const int formats[] = {10, 11, 5, 6};
    EXPECT_EQ(krTexture::getFormatForComponents(5), -1);
    EXPECT_EQ(krTexture::getFormatComponents(7), 0);
    for (int components = 1; components <= 4; ++components) {
        EXPECT_EQ(krTexture::getFormatForComponents(components), formats[components - 1]);
        EXPECT_EQ(krTexture::getFormatComponents(formats[components - 1]), components);
        const std::string path =
            writeImage(("c" + std::to_string(components) + ".png").c_str(), 5, 3, components);
        krTexture* raw = factory->read(path.c_str(), nullptr, nullptr, nullptr, 0);
        ASSERT_NE(raw, nullptr);
        EXPECT_EQ(raw->getRef(), 0);
        kuRef<krTexture> texture = raw;
        EXPECT_EQ(texture->getName(), path);
        EXPECT_EQ(texture->getWidth(), 5);
        EXPECT_EQ(texture->getHeight(), 3);
        EXPECT_EQ(texture->getFormat(), formats[components - 1]);
        EXPECT_EQ(texture->getType(), krTexture::TYPE_UNSIGNED_BYTE);
        EXPECT_EQ(texture->getMinFilter(), krTexture::FILTER_LINEAR);
        EXPECT_EQ(texture->getMagFilter(), krTexture::FILTER_LINEAR);
        ASSERT_EQ(texture->getNumImageLevels(), 1);
        kuRef<kuImage> image = kuImageFactory::read(path.c_str());
        const kuAllocRef* level = texture->getImageLevel(0);
        EXPECT_TRUE(
            std::equal(image->getData(), image->getData() + image->getDataSize(), level->data()));
    }
    EXPECT_TRUE(messages.empty());
}

TEST_F(TextureTest, FactoryModes) {
    kuRef<krTextureFactory> factory = new krTextureFactory;
    const std::string path = writeImage("m.png", 8, 4, 3);
    kuRef<krTexture> plain = factory->read(path.c_str(), nullptr, nullptr, nullptr, 0);
    kuRef<krTexture> again = factory->read(path.c_str(), nullptr, nullptr, nullptr, 0);
    EXPECT_NE(plain, again.get());
    EXPECT_EQ(plain->getNumImageLevels(), 1);

    kuRef<krTexture> cached = factory->read(path.c_str(), nullptr, nullptr, nullptr, 3);
    EXPECT_EQ(cached->getNumImageLevels(), 4); // 8x4, 4x2, 2x1, 1x1
    EXPECT_EQ(factory->read(path.c_str(), nullptr, nullptr, nullptr, 3), cached.get());
    EXPECT_EQ(cached->getRef(), 1);
    // Another mipmap choice is another texture.
    kuRef<krTexture> single = factory->read(path.c_str(), nullptr, nullptr, nullptr, 1);
    EXPECT_NE(single, cached.get());
    EXPECT_EQ(factory->getNumCached(), 2u);
    // The cache keeps nothing alive.
    cached.reset();
    EXPECT_EQ(factory->getNumCached(), 1u);
    kuRef<krTexture> fresh = factory->read(path.c_str(), nullptr, nullptr, nullptr, 3);
    EXPECT_EQ(fresh->getRef(), 1);
    EXPECT_EQ(fresh->getNumImageLevels(), 4);
    // Textures the cache still knows may outlive the factory.
    factory.reset();
    EXPECT_EQ(fresh->getWidth(), 8);
}

TEST_F(TextureTest, FactoryFillsAGivenTextureOrLeavesItAlone) {
    kuRef<krTextureFactory> factory = new krTextureFactory;
    kuRef<krTexture> given = new krTexture;
    given->setName("mine");
    given->setWrap(3, 3, 0);
    given->setImageLevel(2, kuAllocRef::malloc(1));
    const std::string path = writeImage("g.png", 2, 2, 1);
    EXPECT_EQ(factory->read(path.c_str(), nullptr, given.get(), nullptr, 1), given.get());
    EXPECT_STREQ(given->getName(), "mine");
    EXPECT_EQ(given->getWrapS(), 3);
    EXPECT_EQ(given->getFormat(), krTexture::FORMAT_INTENSITY);
    EXPECT_EQ(given->getNumImageLevels(), 1);
    EXPECT_EQ(factory->read(path.c_str(), nullptr, nullptr, nullptr, 1), given.get());

    const unsigned revision = given->getRevision();
    std::filesystem::path corrupt = dir / "corrupt.rgb";
    std::filesystem::copy_file(path, corrupt);
    std::filesystem::resize_file(corrupt, 40);
    for (const std::string& name : {corrupt.string(), (dir / "missing.rgb").string()}) {
        messages.clear();
        EXPECT_EQ(factory->read(name.c_str(), nullptr, given.get(), nullptr, 3), nullptr);
        EXPECT_EQ(factory->read(name.c_str(), nullptr, nullptr, nullptr, 3), nullptr);
        ASSERT_EQ(messages.size(), 2u);
        EXPECT_EQ(messages[0].level, kuNotify::WARN);
        EXPECT_NE(messages[0].text.find(name), std::string::npos);
    }
    EXPECT_EQ(given->getRevision(), revision);
}

} // namespace
