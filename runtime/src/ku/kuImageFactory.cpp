#include <ku/kuImageFactory.h>

#include <ku/kuNotify.h>

#include <zlib.h>

// The coder itself is compiled once, in detail/stbImpl.cpp; these match its settings.
#define STBI_NO_STDIO
#define STBI_WRITE_NO_STDIO
#include <stb_image.h>
#include <stb_image_write.h>

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

// ---- kuImage ----

bool kuImage::isValidSize(int width, int height, int components) {
    if (width < 1 || height < 1 || width > MAX_DIMENSION || height > MAX_DIMENSION)
        return false;
    if (components < 1 || components > 4)
        return false;
    // Both factors are at most 65535, so the product cannot overflow a 64-bit size.
    return std::size_t(width) * std::size_t(height) * std::size_t(components) <= MAX_BYTES;
}

kuImage* kuImage::create(int width, int height, int components, kuAllocRef* pixels) {
    if (!isValidSize(width, height, components))
        return nullptr;
    const std::size_t size = std::size_t(width) * std::size_t(height) * std::size_t(components);
    if (pixels && pixels->size() < size)
        return nullptr;
    kuAllocRef* buffer = pixels ? pixels : kuAllocRef::malloc(size);
    if (!buffer)
        return nullptr;
    try {
        return new kuImage(width, height, components, buffer);
    } catch (const std::bad_alloc&) {
        if (!pixels) {
            buffer->ref();
            buffer->unref();
        }
        return nullptr;
    }
}

kuImage::kuImage(int width, int height, int components, kuAllocRef* pixels)
    : m_width(width), m_height(height), m_components(components), m_pixels(pixels) {}

kuImage::~kuImage() = default;

std::size_t kuImage::getRowSize() const {
    return std::size_t(m_width) * std::size_t(m_components);
}

std::size_t kuImage::getDataSize() const {
    return getRowSize() * std::size_t(m_height);
}

unsigned char* kuImage::getPixel(int x, int y) {
    if (x < 0 || y < 0 || x >= m_width || y >= m_height)
        return nullptr;
    return getData() + std::size_t(y) * getRowSize() + std::size_t(x) * std::size_t(m_components);
}

const unsigned char* kuImage::getPixel(int x, int y) const {
    return const_cast<kuImage*>(this)->getPixel(x, y);
}

// ---- decoders ----

namespace {

const unsigned char PNG_SIGNATURE[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
const unsigned SGI_MAGIC = 474;
const std::size_t SGI_HEADER_SIZE = 512;
// Larger files are refused before they are read into memory.
const std::size_t MAX_FILE_SIZE = std::size_t(1) << 30;

unsigned readBE16(const unsigned char* p) {
    return (unsigned(p[0]) << 8) | unsigned(p[1]);
}

std::uint32_t readBE32(const unsigned char* p) {
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) |
           std::uint32_t(p[3]);
}

// stb_image grows its buffer to an IDAT chunk's declared length before it finds that the data
// is not there, so a few bytes declaring a huge chunk would have it allocate gigabytes. Every
// chunk up to IEND must therefore lie within the data; a file that ends early is left to the
// decoder, which refuses it.
bool pngChunksFit(const unsigned char* data, std::size_t size) {
    std::size_t at = sizeof(PNG_SIGNATURE);
    while (size - at >= 8) {
        if (std::memcmp(data + at + 4, "IEND", 4) == 0)
            return true;
        const std::size_t length = readBE32(data + at);
        // The chunk's data and its CRC.
        if (length > size - at - 8 || size - at - 8 - length < 4)
            return false;
        at += 8 + length + 4;
    }
    return true;
}

// stb_image inflates the image data until the compressed stream says it ends, reading zeros
// past the end of data that stops early: a few hundred bytes can make it produce gigabytes. So
// the stream is inflated here first, into a small scratch buffer, and must end within the size
// the header implies (the filter byte of every row, and room for the interlaced passes).
bool pngDataFits(const unsigned char* data, std::size_t size, std::string& reason) {
    const std::size_t at = sizeof(PNG_SIGNATURE);
    if (size < at + 8 + 13 || std::memcmp(data + at + 4, "IHDR", 4) != 0)
        return true; // the decoder refuses it
    const unsigned char* header = data + at + 8;
    const std::uint64_t width = readBE32(header), height = readBE32(header + 4);
    const unsigned depth = header[8], colourType = header[9];
    const unsigned channels = colourType == 2 ? 3 : colourType == 4 ? 2 : colourType == 6 ? 4 : 1;
    const std::uint64_t rowBytes = (width * channels * depth + 7) / 8;
    const std::uint64_t bound = height * (1 + rowBytes) + 16 * (height + 8);

    z_stream stream{};
    if (inflateInit(&stream) != Z_OK) {
        reason = "out of memory";
        return false;
    }
    unsigned char scratch[1 << 14];
    int status = Z_OK;
    for (std::size_t chunk = at; status != Z_STREAM_END && size - chunk >= 12;) {
        const std::size_t length = readBE32(data + chunk);
        if (length > size - chunk - 12)
            break;
        if (std::memcmp(data + chunk + 4, "IDAT", 4) == 0) {
            stream.next_in = const_cast<unsigned char*>(data + chunk + 8);
            stream.avail_in = static_cast<uInt>(length);
            while (stream.avail_in > 0 && status == Z_OK && stream.total_out <= bound) {
                stream.next_out = scratch;
                stream.avail_out = sizeof(scratch);
                status = inflate(&stream, Z_NO_FLUSH);
                if (status == Z_BUF_ERROR)
                    status = Z_OK; // wants the next chunk
            }
        }
        if (stream.total_out > bound || (status != Z_OK && status != Z_STREAM_END))
            break;
        chunk += 12 + length;
    }
    const bool fits = status == Z_STREAM_END && stream.total_out <= bound;
    inflateEnd(&stream);
    if (!fits)
        reason = "corrupt PNG data (the image data is damaged, cut short or larger than the "
                 "image)";
    return fits;
}

kuImage* decodePNG(const unsigned char* data, std::size_t size, std::string& reason) {
    if (size > std::size_t(INT_MAX)) {
        reason = "file too large";
        return nullptr;
    }
    // The header alone first, so that an absurd size is refused before anything is allocated.
    int width = 0, height = 0, components = 0;
    if (!stbi_info_from_memory(data, int(size), &width, &height, &components)) {
        reason = std::string("corrupt PNG data (") + stbi_failure_reason() + ")";
        return nullptr;
    }
    if (!kuImage::isValidSize(width, height, components)) {
        reason = "image size " + std::to_string(width) + " x " + std::to_string(height) +
                 " is not supported";
        return nullptr;
    }
    if (!pngChunksFit(data, size)) {
        reason = "corrupt PNG data (a chunk runs past the end of the data)";
        return nullptr;
    }
    if (!pngDataFits(data, size, reason))
        return nullptr;
    std::unique_ptr<stbi_uc, void (*)(void*)> pixels(
        stbi_load_from_memory(data, int(size), &width, &height, &components, 0), stbi_image_free);
    if (!pixels) {
        reason = std::string("corrupt PNG data (") + stbi_failure_reason() + ")";
        return nullptr;
    }
    kuImage* image = kuImage::create(width, height, components);
    if (!image) {
        reason = "out of memory";
        return nullptr;
    }
    // PNG stores the top row first.
    const std::size_t rowSize = image->getRowSize();
    for (int y = 0; y < height; ++y)
        std::memcpy(image->getData() + std::size_t(y) * rowSize,
                    pixels.get() + std::size_t(height - 1 - y) * rowSize, rowSize);
    return image;
}

// Decodes one run-length encoded SGI row of one channel into every stride-th byte of out.
// Elements are bytesPerComponent wide; the count is in the low 7 bits of an element, bit 7
// set means that many literal elements follow, clear means the next element repeats.
bool decodeSGIRow(const unsigned char* in, std::size_t length, unsigned bytesPerComponent,
                  unsigned char* out, int stride, int width) {
    std::size_t position = 0;
    auto next = [&](unsigned& value) {
        if (length - position < bytesPerComponent)
            return false;
        value = bytesPerComponent == 2 ? readBE16(in + position) : in[position];
        position += bytesPerComponent;
        return true;
    };
    // 16-bit values keep their high byte.
    const unsigned shift = bytesPerComponent == 2 ? 8 : 0;
    int x = 0;
    while (x < width) {
        unsigned element = 0;
        if (!next(element))
            return false;
        const int count = int(element & 0x7F);
        // A zero count ends the row: here, before the row is full.
        if (count == 0 || count > width - x)
            return false;
        unsigned value = 0;
        if (element & 0x80) {
            for (int i = 0; i < count; ++i, ++x) {
                if (!next(value))
                    return false;
                out[std::size_t(x) * std::size_t(stride)] =
                    static_cast<unsigned char>(value >> shift);
            }
        } else {
            if (!next(value))
                return false;
            for (int i = 0; i < count; ++i, ++x)
                out[std::size_t(x) * std::size_t(stride)] =
                    static_cast<unsigned char>(value >> shift);
        }
    }
    return true;
}

kuImage* decodeSGI(const unsigned char* data, std::size_t size, std::string& reason) {
    if (size < SGI_HEADER_SIZE) {
        reason = "truncated SGI header";
        return nullptr;
    }
    const unsigned storage = data[2];
    const unsigned bytesPerComponent = data[3];
    const unsigned dimension = readBE16(data + 4);
    const int width = int(readBE16(data + 6));
    int height = int(readBE16(data + 8));
    int channels = int(readBE16(data + 10));
    if (storage > 1) {
        reason = "unknown SGI storage type " + std::to_string(storage);
        return nullptr;
    }
    if (bytesPerComponent != 1 && bytesPerComponent != 2) {
        reason = "unsupported SGI component size " + std::to_string(bytesPerComponent);
        return nullptr;
    }
    // Fewer dimensions leave the later sizes meaningless, whatever the header holds.
    if (dimension == 1) {
        height = 1;
        channels = 1;
    } else if (dimension == 2) {
        channels = 1;
    } else if (dimension != 3) {
        reason = "unsupported SGI dimension " + std::to_string(dimension);
        return nullptr;
    }
    if (channels < 1 || channels > 4) {
        reason = "unsupported SGI channel count " + std::to_string(channels);
        return nullptr;
    }
    if (!kuImage::isValidSize(width, height, channels)) {
        reason = "image size " + std::to_string(width) + " x " + std::to_string(height) + " x " +
                 std::to_string(channels) + " is not supported";
        return nullptr;
    }

    const std::size_t rows = std::size_t(height) * std::size_t(channels);
    const std::size_t available = size - SGI_HEADER_SIZE;
    const unsigned char* body = data + SGI_HEADER_SIZE;
    if (storage == 0 && available < rows * std::size_t(width) * std::size_t(bytesPerComponent)) {
        reason = "truncated SGI pixel data";
        return nullptr;
    }
    if (storage == 1 && available / 8 < rows) {
        reason = "truncated SGI row tables";
        return nullptr;
    }

    kuRef<kuImage> image = kuImage::create(width, height, channels);
    if (!image) {
        reason = "out of memory";
        return nullptr;
    }
    // Channels are stored one after the other, each from the bottom row up: the image's own
    // row order, interleaved here.
    for (int z = 0; z < channels; ++z) {
        for (int y = 0; y < height; ++y) {
            const std::size_t row = std::size_t(z) * std::size_t(height) + std::size_t(y);
            unsigned char* out = image->getPixel(0, y) + z;
            if (storage == 0) {
                const unsigned char* in = body + row * std::size_t(width) * bytesPerComponent;
                for (int x = 0; x < width; ++x)
                    out[std::size_t(x) * std::size_t(channels)] =
                        in[std::size_t(x) * bytesPerComponent];
                continue;
            }
            const std::size_t start = readBE32(body + 4 * row);
            const std::size_t length = readBE32(body + 4 * rows + 4 * row);
            if (start > size || length > size - start) {
                reason = "SGI row " + std::to_string(y) + " of channel " + std::to_string(z) +
                         " lies outside the file (truncated?)";
                return nullptr;
            }
            if (!decodeSGIRow(data + start, length, bytesPerComponent, out, channels, width)) {
                reason = "corrupt SGI run-length data in row " + std::to_string(y) +
                         " of channel " + std::to_string(z);
                return nullptr;
            }
        }
    }
    return image.release();
}

kuImage* decode(const unsigned char* data, std::size_t size, std::string& reason) {
    if (!data || size == 0) {
        reason = "no data (empty file)";
        return nullptr;
    }
    if (size >= sizeof(PNG_SIGNATURE) &&
        std::memcmp(data, PNG_SIGNATURE, sizeof(PNG_SIGNATURE)) == 0)
        return decodePNG(data, size, reason);
    if (size >= 2 && readBE16(data) == SGI_MAGIC)
        return decodeSGI(data, size, reason);
    reason = "unknown image format";
    return nullptr;
}

const char* displayName(const char* name) {
    return name && *name ? name : "<memory>";
}

void reportReadFailure(const char* name, const std::string& reason) {
    kuNotify::print(kuNotify::WARN, nullptr, "kuImageFactory: cannot read image \"%s\": %s",
                    displayName(name), reason.c_str());
}

void appendBytes(void* context, void* data, int size) {
    auto* bytes = static_cast<std::vector<unsigned char>*>(context);
    const auto* begin = static_cast<const unsigned char*>(data);
    bytes->insert(bytes->end(), begin, begin + size);
}

} // namespace

// ---- kuImageFactory ----

kuImage* kuImageFactory::readMemory(const unsigned char* data, std::size_t size,
                                    const char* nameForMessages) {
    std::string reason;
    kuImage* image = nullptr;
    try {
        image = decode(data, size, reason);
    } catch (const std::bad_alloc&) {
        reason = "out of memory";
    }
    if (!image)
        reportReadFailure(nameForMessages, reason);
    return image;
}

kuImage* kuImageFactory::read(const char* fileName) {
    if (!fileName || !*fileName) {
        kuNotify::print(kuNotify::WARN, nullptr, "kuImageFactory: cannot read image: no file name");
        return nullptr;
    }
    struct stat status;
    if (::stat(fileName, &status) != 0) {
        reportReadFailure(fileName, std::string("cannot open file: ") + std::strerror(errno));
        return nullptr;
    }
    if (!S_ISREG(status.st_mode)) {
        reportReadFailure(fileName, "not a regular file");
        return nullptr;
    }
    if (std::uint64_t(status.st_size) > MAX_FILE_SIZE) {
        reportReadFailure(fileName, "file too large");
        return nullptr;
    }
    std::vector<unsigned char> bytes;
    try {
        bytes.resize(std::size_t(status.st_size));
    } catch (const std::bad_alloc&) {
        reportReadFailure(fileName, "out of memory");
        return nullptr;
    }
    std::FILE* file = std::fopen(fileName, "rb");
    if (!file) {
        reportReadFailure(fileName, std::string("cannot open file: ") + std::strerror(errno));
        return nullptr;
    }
    const std::size_t got = std::fread(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
    // A file that shrank since stat() is decoded as what is there (and usually found truncated).
    bytes.resize(got);
    return readMemory(bytes.data(), bytes.size(), fileName);
}

int kuImageFactory::writePNG(const char* fileName, const kuImage* image) {
    auto fail = [fileName](const char* reason) {
        kuNotify::print(kuNotify::WARN, nullptr, "kuImageFactory: cannot write PNG \"%s\": %s",
                        fileName ? fileName : "", reason);
        return int(KU_FAILURE);
    };
    if (!fileName || !*fileName)
        return fail("no file name");
    if (!image || !image->getPixels())
        return fail("no image");
    try {
        // PNG stores the top row first; the image keeps the bottom row first.
        const std::size_t rowSize = image->getRowSize();
        const int height = image->getHeight();
        std::vector<unsigned char> rows(image->getDataSize());
        for (int y = 0; y < height; ++y)
            std::memcpy(rows.data() + std::size_t(y) * rowSize,
                        image->getData() + std::size_t(height - 1 - y) * rowSize, rowSize);
        std::vector<unsigned char> encoded;
        if (!stbi_write_png_to_func(appendBytes, &encoded, image->getWidth(), height,
                                    image->getComponents(), rows.data(), int(rowSize)))
            return fail("encoding failed");
        std::FILE* file = std::fopen(fileName, "wb");
        if (!file)
            return fail(std::strerror(errno));
        const bool written = std::fwrite(encoded.data(), 1, encoded.size(), file) == encoded.size();
        const bool closed = std::fclose(file) == 0;
        if (!written || !closed)
            return fail("write error");
    } catch (const std::bad_alloc&) {
        return fail("out of memory");
    }
    return KU_SUCCESS;
}
