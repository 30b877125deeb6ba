#ifndef KU_FILE_H
#define KU_FILE_H

#include <ku/kuMemBase.h>

#include <cstddef>
#include <string>

// A file opened for reading: a file on disk, or text held in memory under a name (programs
// and data a library carries inside itself read through the same path as files). Modes "r",
// "rt" and "rb" (text and binary read alike); anything that writes is refused. open() hands
// out a new counted object: hold it in a kuRef<kuFile>.
// Threads: an object is used by one thread at a time; separate objects are independent.
class KX_API kuFile : public kuMemBase {
public:
    // A copy of length bytes of data, read under name; null (reported) for a null data or
    // name, or a mode other than reading.
    static kuFile* open(const char* data, std::size_t length, const char* name, const char* mode);
    // A file on disk; null (reported) when it cannot be opened for reading.
    static kuFile* open(const char* path, const char* mode);

    const std::string& getName() const { return m_name; }
    bool isOpen() const { return m_open; }
    std::size_t getSize() const { return m_data.size(); }
    std::size_t tell() const { return m_position; }
    bool eof() const { return m_position >= m_data.size(); }

    // Up to size bytes from the current position; the count read (0 at the end or once closed).
    std::size_t read(void* buffer, std::size_t size);
    // What is left from the current position, as text.
    std::string readText();
    // Back to the start (1), or -32767 once closed.
    int rewind();
    // Lets the contents go; reads then give nothing. 1, or -32767 when it was not open.
    int close();

protected:
    kuFile(std::string name, std::string data);
    ~kuFile() override;

private:
    std::string m_name;
    std::string m_data;
    std::size_t m_position = 0;
    bool m_open = true;
};

#endif
