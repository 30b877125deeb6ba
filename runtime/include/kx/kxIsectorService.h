#ifndef KX_ISECTORSERVICE_H
#define KX_ISECTORSERVICE_H

#include <ku/kuBase.h>

#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

class kxIsectorLOS;
class kxLineOfSightBatch;

// Casts a set of line-of-sight probes each frame. Each probe joins with a service mode.
// Every live service takes part in the kernel's per-frame startAll/finishAll.
// Threads: add/remove, run and the static hooks on the application thread.
class KX_API kxIsectorService : public kuBase {
public:
    // Service modes.
    enum Mode {
        MODE_ONCE = 1,      // cast at the next run, then leave the service
        MODE_CONTINUOUS = 2 // cast at every run until removed
    };

    kxIsectorService();

    // 1, or -32767 for a null probe or a bad mode. Adding a probe already present updates its
    // mode (a probe is cast once per run whatever the number of adds).
    int addIsector(kxIsectorLOS* isector, int mode);
    // 1, or -32767 when the probe is not in the service.
    int removeIsector(kxIsectorLOS* isector);
    bool hasIsector(const kxIsectorLOS* isector) const;
    int getIsectorMode(const kxIsectorLOS* isector) const;
    int getNumIsectors() const;

    // Casts every probe of the service now, on the calling thread, and stores the results;
    // MODE_ONCE probes then leave the service. 1.
    virtual int run();

    // Called by the kernel once per frame, after the frame's update: every synchronous service
    // runs now; every asynchronous service brings its targets' scenes up to date, copies its
    // probes' segments and hands the casting to its worker thread.
    static void startAll();
    // Called by the kernel at the start of the next frame, before its update: waits for every
    // asynchronous run and stores its results in the probes, so a frame reads the results of
    // the poses set in the frame before.
    static void finishAll();
    // Finishes every run and releases the cached ray-tracing scenes with the nodes they hold
    // (kernel shutdown does this through shutdownClass; a later cast makes them again).
    static void releaseAll();

    const ClassType* getClassType() const override;
    static ClassType* getStaticClassType();
    static int initializeClass();
    static int shutdownClass();

protected:
    ~kxIsectorService() override;

    struct Entry {
        kuRef<kxIsectorLOS> isector;
        int mode;
    };
    // The probes of the next run (copied under the lock).
    std::vector<Entry> snapshot() const;
    // Replaces probes with those of the next run, and adds (references to) those among them
    // that join MODE_ONCE to once.
    void snapshotProbes(std::vector<kxIsectorLOS*>* probes,
                        std::vector<kuRef<kxIsectorLOS>>* once) const;
    // Removes these MODE_ONCE probes after their run (those still MODE_ONCE now).
    void retireOnce(const std::vector<kuRef<kxIsectorLOS>>& once);

    // startAll's passes over every service: prepare (a synchronous service runs here), then
    // launch. completeRun is finishAll's part; releaseRun (releaseAll's) also drops what a
    // service keeps between runs.
    virtual void prepareRun();
    virtual void launchRun() {}
    virtual void completeRun() {}
    virtual void releaseRun();
    // Leaves the registry of live services (idempotent); derived destructors call it first.
    void unregisterService();

private:
    // Removing an entry moves the last one into its place; m_places finds an entry's place,
    // so that adding and removing cost constant time however many probes there are.
    void eraseAt(std::size_t place);

    mutable std::mutex m_mutex;
    std::vector<Entry> m_entries;
    std::unordered_map<const kxIsectorLOS*, std::size_t> m_places;
    // run()'s batch and lists, kept from run to run so that a steady set of probes costs no
    // allocation and no reference counting.
    struct RunState;
    std::unique_ptr<RunState> m_run;
};

#endif
