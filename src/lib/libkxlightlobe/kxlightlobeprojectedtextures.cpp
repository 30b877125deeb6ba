#include "kxlightlobeprojectedtextures.h"

#include <kr/krTexture.h>
#include <kr/krTextureFactory.h>
#include <ku/kuAllocRef.h>
#include <ku/kuNotify.h>
#include <ku/kuPalette.h>

#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

const float BLACK_BORDER[4] = {0.0f, 0.0f, 0.0f, 0.0f};

// Clamped to a black border and mipmapped: the light stops at the texture's edge and stays
// smooth at a distance.
void setSampling(krTexture* texture) {
    texture->setMinFilter(krTexture::FILTER_LINEAR, krTexture::MIPMAP_AUTO);
    texture->setWrap(krTexture::WRAP_CLAMP_TO_BORDER, krTexture::WRAP_CLAMP_TO_BORDER,
                     krTexture::WRAP_REPEAT);
    texture->setBorderColor(BLACK_BORDER);
}

bool isEmpty(const char* name) {
    return !name || !*name;
}

} // namespace

const char* kxLightLobeProjectedTextures::getGeneratedName(int falloff) {
    switch (falloff) {
    case FALLOFF_SQUARED:
        return "lightLobe_Falloff_Squared.int";
    case FALLOFF_CUBIC:
        return "lightLobe_Falloff_Cubic.int";
    default:
        return "lightLobe_Falloff_Linear.int";
    }
}

unsigned int kxLightLobeProjectedTextures::clampTextureSize(unsigned int size) {
    return size < MIN_TEXTURE_SIZE ? MIN_TEXTURE_SIZE : size;
}

bool kxLightLobeProjectedTextures::isAcceptedFormat(int format) {
    switch (format) {
    case 1:
    case 2:
    case 3:
    case 5:
    case 6:
    case 8:
    case 9:
    case 10:
    case 11:
    case 18:
    case 19:
    case 20:
    case 21:
        return true;
    default:
        return false;
    }
}

void kxLightLobeProjectedTextures::createLightTextureBits(int size, int falloff,
                                                          unsigned char* bits) {
    if (size <= 0 || !bits)
        return;
    const double half = size / 2.0;
    const double discRadius = size / 2.7;
    for (int i = 0; i < size; ++i)
        for (int j = 0; j < size; ++j) {
            const double dx = i - half, dy = j - half;
            float d = static_cast<float>(std::sqrt(dx * dx + dy * dy) / discRadius);
            if (falloff == FALLOFF_SQUARED)
                d = d * d;
            else if (falloff == FALLOFF_CUBIC)
                d = d * d * d;
            if (d > 1.0f)
                d = 1.0f;
            const float v = (1.0f - d) * 255.0f;
            bits[i * size + j] = static_cast<unsigned char>(v);
        }
    for (int k = 0; k < size; ++k) {
        bits[k] = 0;
        bits[(size - 1) * size + k] = 0;
        bits[k * size] = 0;
        bits[k * size + size - 1] = 0;
    }
}

krTexture* kxLightLobeProjectedTextures::getTexture(kuPalette* palette, const char* name,
                                                    Settings& settings,
                                                    const kuBase::ClassType* messageType,
                                                    bool onlyExistingFile) {
    if (isEmpty(name))
        return nullptr;
    if (palette) {
        if (krTexture* kept = palette->find<krTexture>(name))
            return kept;
        const char* slash = std::strrchr(name, '/');
        const char* backslash = std::strrchr(name, '\\');
        const char* base = slash > backslash ? slash : backslash;
        if (base)
            if (krTexture* kept = palette->find<krTexture>(base + 1))
                return kept;
    }
    if (onlyExistingFile) {
        std::FILE* file = std::fopen(name, "rb");
        if (!file)
            return nullptr;
        std::fclose(file);
    }
    // The factory's cache would keep nothing the palette does not: one read per name.
    kuRef<krTextureFactory> factory = new krTextureFactory;
    kuRef<krTexture> texture =
        factory->read(name, nullptr, nullptr, nullptr,
                      krTextureFactory::MODE_CACHE | krTextureFactory::MODE_MIPMAP);
    factory.reset();
    if (!texture)
        return nullptr;
    if (!isAcceptedFormat(texture->getFormat())) {
        kuNotify::print(5, messageType,
                        "kxLightLobeProjected::setTextureFile - format for texture \"%s\" is not "
                        "compatible with projected light lobes. Only single channel textures are "
                        "valid.  Using auto-generated texture.",
                        name);
        return nullptr;
    }
    // The factory made the mipmaps (MODE_MIPMAP).
    settings.textureFile = name;
    setSampling(texture.get());
    if (palette)
        palette->insert(texture.get(), false, true);
    // The palette holds it now; without one the caller takes the only reference.
    return palette ? texture.get() : texture.release();
}

krTexture* kxLightLobeProjectedTextures::autoGenerateTexture(kuPalette* palette, Settings& settings,
                                                             const kuBase::ClassType* messageType) {
    const char* name = getGeneratedName(settings.falloff);
    settings.textureFile = name;
    // A file of the generated name takes the texture's place, but is seldom there: its absence
    // is no news, so the image reader is not asked to warn about it.
    krTexture* texture = getTexture(palette, name, settings, messageType, true);
    if (!texture) {
        const int size = static_cast<int>(clampTextureSize(settings.textureSize));
        kuRef<kuAllocRef> bits = kuAllocRef::malloc(static_cast<std::size_t>(size) * size);
        if (!bits)
            return nullptr;
        createLightTextureBits(size, settings.falloff, bits->data());
        kuRef<krTexture> made = new krTexture;
        made->setImageLevel(0, bits.get());
        made->setName(name);
        made->setDimensions(size, size, 0);
        made->setFormat(krTexture::FORMAT_INTENSITY, krTexture::TYPE_UNSIGNED_BYTE);
        setSampling(made.get());
        made->generateMipmaps();
        if (palette)
            palette->insert(made.get(), false, true);
        texture = palette ? made.get() : made.release();
    }
    settings.textureAutoGenerated = true;
    return texture;
}

krTexture* kxLightLobeProjectedTextures::chooseTexture(kuPalette* palette, const char* name,
                                                       Settings& settings,
                                                       const kuBase::ClassType* messageType) {
    if (isEmpty(name))
        return autoGenerateTexture(palette, settings, messageType);
    if (krTexture* texture = getTexture(palette, name, settings, messageType)) {
        settings.textureAutoGenerated = false;
        return texture;
    }
    krTexture* generated = autoGenerateTexture(palette, settings, messageType);
    kuNotify::print(4, messageType,
                    "kxLightLobeProjected::setTextureFile - unable to find texture \"%s\".  Using "
                    "auto-generated texture.",
                    name);
    return generated;
}

krTexture*
kxLightLobeProjectedTextures::chooseFogEffectTexture(kuPalette* palette, const char* name,
                                                     Settings& settings,
                                                     const kuBase::ClassType* messageType) {
    if (krTexture* texture = getTexture(palette, name, settings, messageType))
        return texture;
    kuNotify::print(4, messageType,
                    "kxLightLobeProjected::setFogEffectTextureFile - unable to find texture "
                    "\"%s\". AutoGenerating a default texture",
                    name ? name : "");
    return autoGenerateTexture(palette, settings, messageType);
}

krTexture*
kxLightLobeProjectedTextures::textureAfterSettingChange(kuPalette* palette, Settings& settings,
                                                        bool preConfigured, const char* setterName,
                                                        const kuBase::ClassType* messageType) {
    if (settings.textureAutoGenerated)
        return autoGenerateTexture(palette, settings, messageType);
    if (preConfigured)
        kuNotify::print(4, nullptr,
                        "kxLightLobeProjected::%s: has no effect after preConfigure when a "
                        "texturehas been specified.",
                        setterName ? setterName : "");
    return nullptr;
}
