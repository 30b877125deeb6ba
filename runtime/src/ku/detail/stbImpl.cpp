// The stb image coder, compiled once for the whole runtime. Only PNG decoding is built: every
// other format goes through our own code or is refused, which keeps hostile input away from
// decoders nobody uses. Files are read and written by the image factory, so no stdio here.
// Its symbols stay hidden inside the runtime library like everything not exported.
#define STBI_ONLY_PNG
#define STBI_NO_STDIO
#define STBI_WRITE_NO_STDIO
#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_WRITE_IMPLEMENTATION

#include <cstring>

namespace {
// An empty IDAT chunk makes the decoder copy 0 bytes to a null buffer, which is undefined
// behaviour (and fatal in sanitizer builds); copying nothing is skipped instead.
inline void* copyBytes(void* to, const void* from, std::size_t size) {
    return size ? std::memcpy(to, from, size) : to;
}
} // namespace
#define memcpy(to, from, size) copyBytes(to, from, size)

// Third-party code: keep our warning set for our own sources only.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wall"
#pragma GCC diagnostic ignored "-Wextra"
#include <stb_image.h>
#include <stb_image_write.h>
#pragma GCC diagnostic pop
