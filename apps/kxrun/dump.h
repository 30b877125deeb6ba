#ifndef KXRUN_DUMP_H
#define KXRUN_DUMP_H

#include <cstdio>
#include <string>

class kxLightLobeProjected;

// Writes what the light map computed for a frame as JSON lines, for debugging and regression
// checks: per lobe {"frame","name","hit","vertices" (16 x [x,y,z]),"brightness" (16)}, then
// per projected lobe {"frame","projected","enable","lightParams" (4),"lightColor" (4),
// "projection" (the 16 values of the world-to-texture matrix, row by row; null when the lobe is
// dark),"beam","beamAlpha"}, then per light-mapped channel {"frame","channel","intensity"}.
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
    void writeProjected(const kxLightLobeProjected* lobe, int frame);

    std::FILE* m_file = nullptr;
};

#endif
