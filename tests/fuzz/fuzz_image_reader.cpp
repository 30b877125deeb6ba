// Feeds arbitrary bytes to the image reader: every input must be decoded or refused with a
// message, never read out of bounds, and the image released.
#include <ku/kuImageFactory.h>
#include <ku/kuNotify.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Every refusal prints a line; printing would cost more than decoding. KX_FUZZ_VERBOSE=1
    // shows them when reproducing a single input.
    if (!std::getenv("KX_FUZZ_VERBOSE"))
        kuNotify::setLevel(kuNotify::FATAL + 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kuRef<kuImage> image = kuImageFactory::readMemory(data, size, "fuzz");
    if (image) {
        // Touch the first and last byte so that a buffer smaller than the picture is caught.
        const unsigned char* pixels = image->getData();
        volatile unsigned char sum = pixels[0];
        sum = sum + pixels[image->getDataSize() - 1];
        (void)sum;
    }
    return 0;
}
