#include <kr/krTextureFactory.h>

#include <ku/kuImageFactory.h>

#include <iterator>
#include <mutex>

krTextureFactory::krTextureFactory() = default;

krTextureFactory::~krTextureFactory() = default;

krTexture* krTextureFactory::read(const char* fileName, void*, krTexture* texture, void*,
                                  int mode) {
    const bool cache = (mode & MODE_CACHE) != 0 && fileName;
    const bool mipmap = (mode & MODE_MIPMAP) != 0;
    std::lock_guard<kuLock> guard(m_cacheLock);
    if (cache && !texture) {
        auto it = m_cache.find(CacheKey(fileName, mipmap));
        if (it != m_cache.end() && *it->second)
            return *it->second;
    }

    kuRef<kuImage> image = kuImageFactory::read(fileName);
    if (!image)
        return nullptr;
    // Only a texture made here is held: a given one may have no reference to take over.
    kuRef<krTexture> made;
    krTexture* result = texture;
    if (!result) {
        made = new krTexture;
        result = made.get();
        result->setName(fileName);
    }
    result->setDimensions(image->getWidth(), image->getHeight(), 0);
    result->setFormat(krTexture::getFormatForComponents(image->getComponents()),
                      krTexture::TYPE_UNSIGNED_BYTE);
    result->setMinFilter(krTexture::FILTER_LINEAR, krTexture::MIPMAP_AUTO);
    result->setMagFilter(krTexture::FILTER_LINEAR);
    for (int level = result->getNumImageLevels() - 1; level > 0; --level)
        result->setImageLevel(level, nullptr);
    result->setImageLevel(0, image->getPixels());
    // Without its mipmaps the texture is still whole: the failure is reported and it is used.
    if (mipmap)
        result->generateMipmaps();

    if (cache) {
        // Forget textures that are gone, then remember this one.
        for (auto it = m_cache.begin(); it != m_cache.end();)
            it = *it->second ? std::next(it) : m_cache.erase(it);
        if (!result->m_liveLink)
            result->m_liveLink = std::make_shared<krTexture*>(result);
        m_cache[CacheKey(fileName, mipmap)] = result->m_liveLink;
    }
    // A new texture goes out with no reference, as documented.
    made.release();
    return result;
}

std::size_t krTextureFactory::getNumCached() const {
    std::lock_guard<kuLock> guard(m_cacheLock);
    std::size_t count = 0;
    for (const auto& entry : m_cache)
        count += *entry.second ? 1 : 0;
    return count;
}

void krTextureFactory::clearCache() {
    std::lock_guard<kuLock> guard(m_cacheLock);
    m_cache.clear();
}
