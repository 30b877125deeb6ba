#ifndef KX_ISECTORSERVICEASYNCHRONOUS_H
#define KX_ISECTORSERVICEASYNCHRONOUS_H

#include <kx/kxIsectorService.h>

#include <memory>

// An isector service whose probes are cast by its own worker thread between
// kxIsectorService::startAll and finishAll; the results a frame reads are those of the last
// completed run. The worker only reads committed ray-tracing scenes and copies of the probes'
// segments, never the scene graph. One default service is shared by everyone who asks.
// Threads: obtainDefault, add/remove and run on the application thread. Destroying the service
// cancels and joins a run in flight; its results are dropped.
class KX_API kxIsectorServiceAsynchronous : public kxIsectorService {
public:
    kxIsectorServiceAsynchronous();

    // Finishes a run in flight, then casts synchronously like kxIsectorService::run.
    int run() override;

    // The shared default service, made on first use and released by the kernel's shutdown.
    static kxIsectorServiceAsynchronous* obtainDefault();
    static void releaseDefault();

    const ClassType* getClassType() const override;
    static ClassType* getStaticClassType();
    static int initializeClass();
    static int shutdownClass();

protected:
    ~kxIsectorServiceAsynchronous() override;

    void prepareRun() override;
    void launchRun() override;
    void completeRun() override;
    void releaseRun() override;

private:
    struct Worker;
    std::unique_ptr<Worker> m_worker;
};

#endif
