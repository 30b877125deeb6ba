#ifndef KU_THREAD_H
#define KU_THREAD_H

#include <ku/kuExport.h>

// The frame the calling thread works on (updating, culling or drawing), kept per thread so that
// per-frame data can resolve "the current frame" without knowing who runs the frames.
// Frames are numbered from 1; 0 before the first frame.
// Threads: any; each thread sees only its own frame.
class KX_API kuThread {
public:
    static int resolveFrameNumber();
    static void setFrameNumber(int frame);
};

#endif
