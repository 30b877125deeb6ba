#include "imageNames.h"

#include <ku/kuString.h>

#include <cstdio>
#include <set>

namespace {

// Room for "_f<frame>.png" within the usual 255-byte limit of a file name.
const std::size_t MAX_STEM = 200;

// The length of the UTF-8 character of two or more bytes at text[at], or 0.
std::size_t multiByteLength(const std::string& text, std::size_t at) {
    const std::size_t length = kuString::utf8Length(text.data(), text.size(), at);
    return length > 1 ? length : 0;
}

bool isPlain(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_';
}

std::string safeStem(const std::string& name) {
    std::string stem;
    for (std::size_t i = 0; i < name.size();) {
        const std::size_t length = multiByteLength(name, i);
        const std::size_t take = length ? length : 1;
        if (stem.size() + take > MAX_STEM)
            break;
        if (length)
            stem.append(name, i, length);
        else
            stem += isPlain(static_cast<unsigned char>(name[i])) ? name[i] : '_';
        i += take;
    }
    return stem;
}

} // namespace

std::string kxRunPrintable(const std::string& text) {
    std::string shown;
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (const std::size_t length = multiByteLength(text, i)) {
            shown.append(text, i, length);
            i += length;
            continue;
        }
        if (c < 0x20 || c >= 0x7f || c == '\\') {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\x%02x", c);
            shown += escaped;
        } else
            shown += static_cast<char>(c);
        ++i;
    }
    return shown;
}

std::vector<std::string> kxRunImageStems(const std::vector<std::string>& windowNames,
                                         std::vector<std::string>& notes) {
    std::vector<std::string> stems;
    std::set<std::string> taken;
    for (std::size_t w = 0; w < windowNames.size(); ++w) {
        const std::string& name = windowNames[w];
        const std::string usual = name.empty() ? "window" + std::to_string(w) : name;
        std::string stem = name.empty() ? usual : safeStem(name);
        if (stem.empty())
            stem = "window" + std::to_string(w);
        const std::string wanted = stem;
        for (int n = 2; !taken.insert(stem).second; ++n)
            stem = wanted + "-" + std::to_string(n);
        if (stem != usual) {
            std::string note = "window " + std::to_string(w);
            if (!name.empty())
                note += " \"" + kxRunPrintable(name) + "\"";
            note += " is written as " + stem + "_f<frame>.png";
            if (stem != wanted)
                note += " (" + wanted + " is taken)";
            notes.push_back(note);
        }
        stems.push_back(stem);
    }
    return stems;
}
