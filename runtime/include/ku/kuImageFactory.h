#ifndef KU_IMAGEFACTORY_H
#define KU_IMAGEFACTORY_H

#include <ku/kuAllocRef.h>
#include <ku/kuMemBase.h>

#include <cstddef>

// A decoded picture: 8-bit components, interleaved per pixel, rows from the bottom up (row 0 is
// the bottom of the picture, the order OpenGL takes texture rows in). The pixels are a counted
// buffer so that a texture can keep them without a copy.
// Threads: any. The reader never touches an image once it has returned it.
class KX_API kuImage : public kuMemBase {
public:
    // Limits that keep a hostile or broken header from asking for absurd amounts of memory.
    static constexpr int MAX_DIMENSION = 65535;
    static constexpr std::size_t MAX_BYTES = std::size_t(256) << 20;

    // True when an image of that size and component count (1 to 4) is within the limits.
    static bool isValidSize(int width, int height, int components);

    // A new image with reference count 0. Without pixels it gets a zero-filled buffer; given
    // pixels (which it references) must hold at least width * height * components bytes.
    // Null for an invalid size, too small a buffer or a failed allocation.
    static kuImage* create(int width, int height, int components, kuAllocRef* pixels = nullptr);

    int getWidth() const { return m_width; }
    int getHeight() const { return m_height; }
    int getComponents() const { return m_components; }
    int getBytesPerComponent() const { return 1; }
    std::size_t getRowSize() const;
    std::size_t getDataSize() const;

    kuAllocRef* getPixels() const { return m_pixels.get(); }
    unsigned char* getData() { return m_pixels->data(); }
    const unsigned char* getData() const { return m_pixels->data(); }
    // The components of pixel (x, y), y counted from the bottom row; null outside the picture.
    unsigned char* getPixel(int x, int y);
    const unsigned char* getPixel(int x, int y) const;

protected:
    ~kuImage() override;

private:
    kuImage(int width, int height, int components, kuAllocRef* pixels);

    int m_width;
    int m_height;
    int m_components;
    kuRef<kuAllocRef> m_pixels;
};

// The runtime's one image reader (and its PNG writer). Formats are told apart by their first
// bytes, never by the file name:
// - PNG (any colour type and depth; 16-bit data keeps its high byte);
// - SGI images (.rgb, .rgba, .int, .inta, .bw, .sgi): 8 or 16 bits per component (16-bit data
//   keeps its high byte), verbatim or run-length encoded, 1 to 4 channels.
// Every failure returns null (or -32767) after one level-5 message that names the file and the
// reason; damaged files are never read out of bounds.
// Threads: any thread; calls share no state.
class KX_API kuImageFactory {
public:
    kuImageFactory() = delete;

    // The image in the file, with reference count 0 (take it with a kuRef), or null.
    static kuImage* read(const char* fileName);
    // The same from bytes in memory; nameForMessages (may be null) stands for the file in
    // messages.
    static kuImage* readMemory(const unsigned char* data, std::size_t size,
                               const char* nameForMessages);
    // Writes the image as PNG (top row first, as PNG stores it). 1, or -32767 after a level-5
    // message.
    static int writePNG(const char* fileName, const kuImage* image);
};

#endif
