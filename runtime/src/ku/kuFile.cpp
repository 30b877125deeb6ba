#include <ku/kuFile.h>

#include <ku/kuNotify.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

// "r", "rt", "rb" (and "rbt" / "rtb"): reading only.
bool isReadMode(const char* mode) {
    if (!mode || mode[0] != 'r')
        return false;
    for (const char* c = mode + 1; *c; ++c)
        if (*c != 't' && *c != 'b')
            return false;
    return true;
}

} // namespace

kuFile::kuFile(std::string name, std::string data)
    : m_name(std::move(name)), m_data(std::move(data)) {}

kuFile::~kuFile() = default;

kuFile* kuFile::open(const char* data, std::size_t length, const char* name, const char* mode) {
    if (!data || !name || !isReadMode(mode)) {
        kuNotify::print(kuNotify::WARN, nullptr,
                        "kuFile::open: no data, no name or not a read mode (\"%s\")",
                        mode ? mode : "(null)");
        return nullptr;
    }
    return new kuFile(name, std::string(data, length));
}

kuFile* kuFile::open(const char* path, const char* mode) {
    if (!path || !isReadMode(mode)) {
        kuNotify::print(kuNotify::WARN, nullptr, "kuFile::open: no path or not a read mode");
        return nullptr;
    }
    std::ifstream stream(path, std::ios::binary);
    if (!stream) {
        kuNotify::print(kuNotify::WARN, nullptr, "kuFile::open: cannot read %s", path);
        return nullptr;
    }
    std::ostringstream contents;
    contents << stream.rdbuf();
    return new kuFile(path, contents.str());
}

std::size_t kuFile::read(void* buffer, std::size_t size) {
    if (!m_open || !buffer)
        return 0;
    const std::size_t count = std::min(size, m_data.size() - m_position);
    std::memcpy(buffer, m_data.data() + m_position, count);
    m_position += count;
    return count;
}

std::string kuFile::readText() {
    if (!m_open)
        return std::string();
    std::string rest = m_data.substr(m_position);
    m_position = m_data.size();
    return rest;
}

int kuFile::rewind() {
    if (!m_open)
        return KU_FAILURE;
    m_position = 0;
    return KU_SUCCESS;
}

int kuFile::close() {
    if (!m_open)
        return KU_FAILURE;
    m_open = false;
    m_position = 0;
    std::string().swap(m_data);
    return KU_SUCCESS;
}
