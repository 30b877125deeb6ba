#ifndef KX_ISECTORSERVICE_H
#define KX_ISECTORSERVICE_H

#include <ku/kuBase.h>

#include <mutex>
#include <vector>

class kxIsectorLOS;

// Casts a set of line-of-sight probes each frame. Each probe joins with a service mode.
// Threads: add/remove on the application thread.
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

private:
    mutable std::mutex m_mutex;
    std::vector<Entry> m_entries;
};

#endif
