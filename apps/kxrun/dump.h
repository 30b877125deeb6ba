#ifndef KXRUN_DUMP_H
#define KXRUN_DUMP_H

#include <cstdio>
#include <string>

// Writes what the light map computed for a frame as JSON lines, for debugging and regression
// checks: per lobe {"frame","name","hit","vertices" (16 x [x,y,z]),"brightness" (16)}, then
// per light-mapped channel {"frame","channel","intensity"}.
// Threads: application thread, after the frame has run.
class kxRunDump {
public:
    kxRunDump() = default;
    ~kxRunDump();
    kxRunDump(const kxRunDump&) = delete;
    kxRunDump& operator=(const kxRunDump&) = delete;

    // false when the file cannot be created.
    bool open(const std::string& fileName);
    bool isOpen() const { return m_file != nullptr; }
    void writeFrame(int frame);
    // false when anything could not be written.
    bool close();

private:
    std::FILE* m_file = nullptr;
};

#endif
