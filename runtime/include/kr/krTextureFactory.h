#ifndef KR_TEXTUREFACTORY_H
#define KR_TEXTUREFACTORY_H

#include <kr/krTexture.h>
#include <ku/kuBase.h>
#include <ku/kuLock.h>

#include <map>
#include <memory>
#include <string>
#include <utility>

// Makes textures from image files read through kuImageFactory.
//
// Reference counts: the factory never holds a reference to a texture. A texture it makes is
// returned with reference count 0, and the caller takes it with a kuRef. A texture found in the
// cache comes back with the references its holders already have, so the caller takes it with a
// kuRef all the same (and never unrefs what it did not ref).
//
// Threads: application thread only, for reads and for the release of cached textures (the
// cache learns of a texture's end from its destructor).
class KX_API krTextureFactory : public kuBase {
public:
    // Bits of read()'s mode; callers normally pass both (3).
    enum Mode {
        // A second read of the same file name (as given, and with the same MODE_MIPMAP bit)
        // returns the same texture while it exists; the file is not read again meanwhile.
        MODE_CACHE = 1,
        // Build every mipmap level in memory with a box filter (krTexture::generateMipmaps).
        MODE_MIPMAP = 2,
    };

    krTextureFactory();

    // The texture of an image file: size, format from the image's components (1 to 4 give
    // intensity, intensity-alpha, RGB, RGBA; unsigned bytes), linear filters, and level 0 set to
    // the image's pixels (shared, not copied). A new texture is named after the file. Given a
    // texture, fills and returns that one instead (its name and wrap modes stay, its levels are
    // replaced) and, with MODE_CACHE, makes it the cached texture of the file. Null when the
    // file cannot be read (the image reader has reported why); a given texture is then left as
    // it was. fileManager and attributes are accepted for callers that pass them and not used:
    // files are opened by name.
    krTexture* read(const char* fileName, void* fileManager, krTexture* texture, void* attributes,
                    int mode);

    // The number of cached textures that still exist.
    std::size_t getNumCached() const;
    void clearCache();

protected:
    ~krTextureFactory() override;

private:
    typedef std::pair<std::string, bool> CacheKey; // file name, mipmapped
    mutable kuLock m_cacheLock;
    std::map<CacheKey, std::shared_ptr<krTexture*>> m_cache;
};

#endif
