#ifndef KX_DETAIL_LINEOFSIGHTSCENE_H
#define KX_DETAIL_LINEOFSIGHTSCENE_H

#include <ku/kuMemBase.h>
#include <ku/kuVec.h>
#include <kx/kxIsectorLOS.h>

#include <atomic>
#include <cmath>
#include <memory>
#include <shared_mutex>
#include <vector>

class ksNode;

// The ray-tracing scene of one probe target, in world coordinates. Geometry under no transform
// or only static ones is baked into one static scene; each geometry node under a moving
// transform gets a scene of its own, placed by an instance, so a moving object costs a new
// instance matrix and a refit of the small top level. Scenes are cached per target node (without
// keeping it alive: a target's deletion drops its scene) and shared by every probe and service;
// a scene holds the geometry nodes it was built from until its next update. The ray-tracing
// device is made on first use.
// Threads: obtain, update and releaseAll on the application thread. cast on any thread while
// holding lockForCasting(); update takes the lock exclusively, so it waits for casts in flight.
// Exported only so that tests can watch rebuilds; not part of the installed interface.
class KX_API kxLineOfSightScene {
public:
    // One probe, as the caster needs it (taken from the probe on the application thread).
    struct Query {
        kuVec3d origin;
        double heading = 0, pitch = 0; // degrees
        double range = 0;
        unsigned int mask = 0xffffffffu;
        int mode = 0; // kxIsectorLOS::Mode bits

        bool operator==(const Query& other) const {
            return origin == other.origin && heading == other.heading && pitch == other.pitch &&
                   range == other.range && mask == other.mask && mode == other.mode;
        }
    };
    struct Result {
        bool hit = false;
        kuVec3d point;
        kuVec3f normal; // unit, facing against the ray
    };

    ~kxLineOfSightScene();
    kxLineOfSightScene(const kxLineOfSightScene&) = delete;
    kxLineOfSightScene& operator=(const kxLineOfSightScene&) = delete;

    // The target's scene brought up to date with the scene graph (made on first use); null
    // when the ray-tracing device cannot be made.
    static std::shared_ptr<kxLineOfSightScene> obtain(const ksNode* target);
    // Drops every cached scene and the nodes it holds (a later obtain makes them again); the
    // device lasts as long as the process. Scenes still referenced elsewhere stay usable until
    // released.
    static void releaseAll();
    static int getNumCachedScenes();

    // The probe's segment: position and heading/pitch (roll ignored) from its absolute placement.
    static Query makeQuery(const kxIsectorLOS& probe);

    // Re-reads the target's subtree; rebuilds only what changed.
    void update();
    std::shared_lock<std::shared_mutex> lockForCasting() const {
        return std::shared_lock<std::shared_mutex>(m_mutex);
    }
    // The unit direction of a heading and pitch in degrees: body +Y turned by pitch, then
    // heading.
    static kuVec3d directionOf(double heading, double pitch);
    // Casts along direction (directionOf the query's heading and pitch, which callers may keep
    // from run to run). Caller holds lockForCasting() and has set flush-to-zero
    // (FloatModeGuard).
    void cast(const Query& query, const kuVec3d& direction, Result* result) const;

    // Counters for tests: updates that rebuilt acceleration structures, and updates that only
    // moved instances.
    int getRebuildCount() const { return m_rebuildCount; }
    int getRefitCount() const { return m_refitCount; }

    // True: each path's first significant mask is its geometry's ray mask (when the device has
    // ray masks) and the filter checks the others; false: the filter checks them all. Affects
    // scenes built afterwards (for tests).
    static void setRayMaskEnable(bool enable);

    // Flush-to-zero and denormals-are-zero for the current thread while alive; the previous
    // mode comes back at the end, so the application's own arithmetic is untouched.
    class KX_API FloatModeGuard {
    public:
        FloatModeGuard();
        ~FloatModeGuard();
        FloatModeGuard(const FloatModeGuard&) = delete;
        FloatModeGuard& operator=(const FloatModeGuard&) = delete;

    private:
        unsigned int m_saved;
    };

    struct Item;
    struct Committed;

private:
    explicit kxLineOfSightScene(const ksNode* target);

    const ksNode* m_target; // the cache drops the scene when the target is deleted
    mutable std::shared_mutex m_mutex;
    std::vector<Item> m_items;
    std::unique_ptr<Committed> m_committed;
    int m_rebuildCount = 0;
    int m_refitCount = 0;
};

// The probes of one run: prepared on the application thread (scenes brought up to date, each
// probe's segment, mask and mode copied), cast on any thread without touching the scene graph,
// and stored into the probes on the application thread.
class KX_API kxLineOfSightBatch {
public:
    // Replaces the batch with these probes (references to the previous run's probes are kept
    // until then, or until clear).
    void prepare(const std::vector<kxIsectorLOS*>& probes);
    // Casts the prepared probes that no other caster has taken yet, a chunk at a time, so that
    // threads may share a run (a thread waiting for a worker's run casts with it rather than
    // sleep); each probe is cast once per prepare. Stops early when cancel becomes true
    // (results are then incomplete and should be dropped).
    void castAll(const std::atomic<bool>* cancel = nullptr);
    // Stores each probe's result (hit or cleared).
    void store();
    // Drops the probes and scenes (application thread: this may release nodes).
    void clear();
    bool empty() const { return m_jobs.empty(); }

private:
    static constexpr std::size_t NO_SCENE = ~std::size_t(0);
    // What prepare writes and the caster reads...
    struct Job {
        kuRef<kxIsectorLOS> probe;
        std::size_t scene = NO_SCENE;
        kxLineOfSightScene::Query query;
    };
    // ... and what the caster writes and store reads, apart, so that the two threads of an
    // asynchronous run do not pass the same cache lines back and forth.
    struct Cast {
        kxLineOfSightScene::Result result;
        // The direction last computed and its angles: a probe that did not turn since the
        // previous run spares its trigonometry.
        kuVec3d direction;
        double aimedHeading = std::nan(""), aimedPitch = std::nan("");
    };
    std::vector<std::shared_ptr<kxLineOfSightScene>> m_scenes;
    std::vector<Job> m_jobs;            // in probe order
    std::vector<Cast> m_casts;          // by job
    std::atomic<std::size_t> m_next{0}; // the first job no caster has taken
};

#endif
