#ifndef KU_STRING_H
#define KU_STRING_H

#include <ku/kuExport.h>

#include <cstddef>
#include <string>

// A value string that also stands for "no string": c_str() of an empty kuString is "".
class KX_API kuString {
public:
    kuString() = default;
    kuString(const char* text) : m_text(text ? text : "") {}
    kuString(const std::string& text) : m_text(text) {}

    const char* c_str() const { return m_text.c_str(); }
    const std::string& str() const { return m_text; }
    std::size_t length() const { return m_text.size(); }
    bool empty() const { return m_text.empty(); }
    void clear() { m_text.clear(); }

    kuString& operator=(const char* text) {
        m_text = text ? text : "";
        return *this;
    }
    bool operator==(const kuString& other) const { return m_text == other.m_text; }
    bool operator!=(const kuString& other) const { return m_text != other.m_text; }
    bool operator==(const char* other) const { return m_text == (other ? other : ""); }
    bool operator<(const kuString& other) const { return m_text < other.m_text; }

    // printf-style formatting into a new string.
    static kuString format(const char* format, ...) __attribute__((format(printf, 1, 2)));

    // The length in bytes of the well-formed UTF-8 character at text[at] (1 for ASCII, 0 for
    // bytes that are none: stray continuation bytes, overlong forms, surrogates, code points
    // above U+10FFFF, a character cut short by the end of the text).
    static std::size_t utf8Length(const char* text, std::size_t size, std::size_t at);
    // The offset of the first byte that is not part of well-formed UTF-8, or size.
    static std::size_t findInvalidUtf8(const char* text, std::size_t size);

private:
    std::string m_text;
};

#endif
