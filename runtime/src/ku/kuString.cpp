#include <ku/kuString.h>

#include <cstdarg>
#include <cstdio>
#include <vector>

kuString kuString::format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text;
    if (length > 0) {
        std::vector<char> buffer(static_cast<std::size_t>(length) + 1);
        std::vsnprintf(buffer.data(), buffer.size(), format, args);
        text.assign(buffer.data(), static_cast<std::size_t>(length));
    }
    va_end(args);
    return kuString(text);
}

std::size_t kuString::utf8Length(const char* text, std::size_t size, std::size_t at) {
    const auto byte = [&](std::size_t i) {
        return i < size ? static_cast<unsigned char>(text[i]) : 0u;
    };
    const unsigned lead = byte(at);
    if (at >= size)
        return 0;
    if (lead < 0x80)
        return 1;
    std::size_t length = 0;
    unsigned low = 0x80, high = 0xbf; // the range of the second byte
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        low = lead == 0xe0 ? 0xa0 : 0x80;  // no overlong forms
        high = lead == 0xed ? 0x9f : 0xbf; // no surrogates
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        low = lead == 0xf0 ? 0x90 : 0x80;
        high = lead == 0xf4 ? 0x8f : 0xbf; // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (byte(at + 1) < low || byte(at + 1) > high)
        return 0;
    for (std::size_t i = 2; i < length; ++i)
        if (byte(at + i) < 0x80 || byte(at + i) > 0xbf)
            return 0;
    return length;
}

std::size_t kuString::findInvalidUtf8(const char* text, std::size_t size) {
    std::size_t at = 0;
    while (at < size) {
        const std::size_t length = utf8Length(text, size, at);
        if (!length)
            return at;
        at += length;
    }
    return size;
}
