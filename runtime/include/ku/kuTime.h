#ifndef KU_TIME_H
#define KU_TIME_H

#include <ku/kuExport.h>

// Time for frame timing and statistics, from the steady clock: never goes backwards and does
// not follow changes of the wall clock.
// Threads: any.
class KX_API kuTime {
public:
    // Seconds since an arbitrary fixed point (only differences mean anything).
    static double get();
    // Seconds since the runtime library was loaded.
    static double getSinceStart();
};

#endif
