#ifndef KX_ISECTORSERVICEASYNCHRONOUS_H
#define KX_ISECTORSERVICEASYNCHRONOUS_H

#include <kx/kxIsectorService.h>

// An isector service whose probes are cast between frames; the results a frame reads are
// those of the last completed run. One default service is shared by everyone who asks.
// Threads: obtainDefault and add/remove on the application thread.
class KX_API kxIsectorServiceAsynchronous : public kxIsectorService {
public:
    kxIsectorServiceAsynchronous();

    // The shared default service, made on first use and released by the kernel's shutdown.
    static kxIsectorServiceAsynchronous* obtainDefault();
    static void releaseDefault();

    const ClassType* getClassType() const override;
    static ClassType* getStaticClassType();
    static int initializeClass();
    static int shutdownClass();

protected:
    ~kxIsectorServiceAsynchronous() override;
};

#endif
