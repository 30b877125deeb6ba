#ifndef KX_ISECTORLOS_H
#define KX_ISECTORLOS_H

#include <ku/kuBase.h>
#include <ku/kuVec.h>
#include <kx/kxPositionable.h>

#include <mutex>

class ksNode;

// A line-of-sight probe: a segment from its position along its heading and pitch, of length
// setSegmentRange, tested against the target's geometry whose isect mask shares a bit with the
// probe's. An isector service casts it and stores the result here.
// The segment starts at the absolute position and points along body +Y turned by heading and
// pitch (roll is ignored): (-sin h cos p, cos h cos p, sin p).
// Threads: settings and cast on the application thread; results are stored on the application
// thread (asynchronous services store theirs in kxIsectorService::finishAll) and read under the
// probe's lock.
class KX_API kxIsectorLOS : public kuBase, public kxPositionable {
public:
    // Mode bits.
    enum Mode {
        MODE_ENABLED = 1,   // the probe is cast
        MODE_BACKFACES = 2, // back-facing triangles count as hits
        MODE_NORMAL = 4,    // the hit triangle's normal is kept
        MODE_NEAREST = 8,   // the nearest hit along the segment (otherwise any hit)
        MODE_DEFAULT = MODE_ENABLED | MODE_BACKFACES | MODE_NORMAL
    };

    kxIsectorLOS();

    void setMode(int mode) { m_mode = mode; }
    int getMode() const { return m_mode; }
    void setIsectMask(unsigned int mask) { m_isectMask = mask; }
    unsigned int getIsectMask() const { return m_isectMask; }
    void setTarget(const ksNode* target);
    const ksNode* getTarget() const;
    void setSegmentRange(double range) { m_segmentRange = range; }
    double getSegmentRange() const { return m_segmentRange; }

    // Casts the probe now against its target's geometry and stores the result (nearest hit
    // with MODE_NEAREST, otherwise any hit on the segment). 1 on a hit; -32767 on none, and for
    // a probe without MODE_ENABLED or without a target (the stored result is cleared).
    // Application thread: it brings the target's ray-tracing scene up to date, waiting for
    // asynchronous casts that are using it.
    int cast();

    // 1 and the hit point (world coordinates) when the last cast hit; -32767 otherwise.
    int getHitPoint(kuVec3d* point) const;
    // 1 and the hit triangle's unit normal when the last cast hit; -32767 otherwise.
    int getHitNormal(kuVec3f* normal) const;
    // Both at once, under one lock (either output may be null).
    int getHit(kuVec3d* point, kuVec3f* normal) const;
    // As getHit, without the lock: application thread only. Results are stored on that thread
    // alone (a service stores its run's results between frames), so nothing can race this read.
    int getHitUnlocked(kuVec3d* point, kuVec3f* normal) const {
        if (!m_hit)
            return KU_FAILURE;
        if (point)
            *point = m_hitPoint;
        if (normal)
            *normal = m_hitNormal;
        return KU_SUCCESS;
    }
    // Written by the isector service.
    void setHit(const kuVec3d& point, const kuVec3f& normal);
    void clearHit();

    // Shared by the probes aimed at one target.
    class TargetWatch;

    const ClassType* getClassType() const override;
    static ClassType* getStaticClassType();
    static int initializeClass();
    static int shutdownClass();

protected:
    ~kxIsectorLOS() override;

private:
    int m_mode = MODE_DEFAULT;
    unsigned int m_isectMask = 0xffffffffu;
    double m_segmentRange = 1000.0;
    // Not a counted reference: a probe of a lobe in the scene that it targets would otherwise
    // keep that scene (and itself) alive for ever. A watch on the target, shared by every probe
    // aimed at it, clears it when the target goes away.
    const ksNode* m_target = nullptr;

    mutable std::mutex m_hitMutex;
    bool m_hit = false;
    kuVec3d m_hitPoint;
    kuVec3f m_hitNormal;
};

#endif
