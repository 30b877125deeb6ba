#include "kx/detail/kxLineOfSightScene.h"

#include <kr/krGeometry.h>
#include <ks/ksGeometry.h>
#include <ks/ksTransform.h>
#include <ku/kuMatrix.h>
#include <ku/kuNotify.h>
#include <kx/kxIsectorLOS.h>

#include <embree3/rtcore.h>
#include <pmmintrin.h>
#include <xmmintrin.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <mutex>

namespace {

constexpr unsigned int ALL_BITS = 0xffffffffu;

void forgetTarget(const ksNode* target, const ksNode::Subscriber* watch);

// Drops a target's scene when the target is deleted: the cache does not keep targets alive.
class TargetWatch : public ksNode::Subscriber {
public:
    void notify(int event, ksNode* node, void*, int*) override {
        if (event == ksNode::EVENT_DELETE)
            forgetTarget(node, this);
    }
};

struct CacheEntry {
    std::shared_ptr<kxLineOfSightScene> scene;
    kuRef<TargetWatch> watch;
};

// The device and the per-target cache. Never destroyed, so that nothing is released during
// static destruction; releaseAll empties the cache at kernel shutdown, and the device, made
// once, lasts as long as the process.
struct Shared {
    std::mutex mutex;
    RTCDevice device = nullptr;
    bool rayMaskSupported = false;
    bool filterSupported = false;
    bool rayMaskEnable = true;
    std::map<const ksNode*, CacheEntry> scenes;
};

Shared& shared() {
    static Shared* s = new Shared;
    return *s;
}

void forgetTarget(const ksNode* target, const ksNode::Subscriber* watch) {
    std::shared_ptr<kxLineOfSightScene> dropped;
    {
        Shared& s = shared();
        std::lock_guard<std::mutex> guard(s.mutex);
        auto it = s.scenes.find(target);
        if (it == s.scenes.end() || it->second.watch.get() != watch)
            return;
        dropped = std::move(it->second.scene);
        s.scenes.erase(it);
    }
    // Released outside the lock: the scene's references may delete other nodes.
}

void deviceError(void*, RTCError code, const char* message) {
    kuNotify::print(kuNotify::WARN, kxIsectorLOS::getStaticClassType(),
                    "kxIsectorLOS: ray tracer error %d: %s", static_cast<int>(code),
                    message ? message : "");
}

// Called with the shared mutex held.
bool ensureDevice(Shared& s) {
    if (s.device)
        return true;
    s.device = rtcNewDevice(nullptr);
    if (!s.device) {
        kuNotify::print(kuNotify::FAIL, kxIsectorLOS::getStaticClassType(),
                        "kxIsectorLOS: unable to create the ray tracer (error %d)",
                        static_cast<int>(rtcGetDeviceError(nullptr)));
        return false;
    }
    rtcSetDeviceErrorFunction(s.device, deviceError, nullptr);
    s.rayMaskSupported =
        rtcGetDeviceProperty(s.device, RTC_DEVICE_PROPERTY_RAY_MASK_SUPPORTED) != 0;
    s.filterSupported =
        rtcGetDeviceProperty(s.device, RTC_DEVICE_PROPERTY_FILTER_FUNCTION_SUPPORTED) != 0;
    if (!s.filterSupported)
        kuNotify::print(kuNotify::WARN, kxIsectorLOS::getStaticClassType(),
                        "kxIsectorLOS: the ray tracer has no filter functions; back faces always "
                        "count and only one mask per path is honoured");
    if (rtcGetDeviceProperty(s.device, RTC_DEVICE_PROPERTY_BACKFACE_CULLING_ENABLED))
        kuNotify::print(kuNotify::WARN, kxIsectorLOS::getStaticClassType(),
                        "kxIsectorLOS: the ray tracer culls back faces; MODE_BACKFACES is ignored");
    return true;
}

// The masks a path must all pass, reduced: all-ones masks always pass a non-zero probe mask,
// and a mask that contains another one passes whenever that one does.
std::vector<unsigned int> significantMasks(std::vector<unsigned int> path) {
    std::sort(path.begin(), path.end());
    path.erase(std::unique(path.begin(), path.end()), path.end());
    std::vector<unsigned int> result;
    for (unsigned int mask : path) {
        if (mask == ALL_BITS)
            continue;
        const bool redundant = std::any_of(path.begin(), path.end(), [mask](unsigned int other) {
            return other != mask && (other & ~mask) == 0;
        });
        if (!redundant)
            result.push_back(mask);
    }
    return result;
}

// The linear part's inverse transpose: carries object-space normals to world space for row
// vectors (n' = n * N). False when the linear part is singular.
bool normalMatrix(const kuMatrixd& matrix, float out[9]) {
    kuMatrixd linear = matrix;
    linear.setTrans(kuVec3d());
    if (!linear.invert())
        return false;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            out[r * 3 + c] = static_cast<float>(linear(c, r));
    return true;
}

// Embree's 3x4 column-major layout holds the images of the x, y, z axes and the origin, which
// are the rows of a row-vector matrix.
void instanceTransform(const kuMatrixd& matrix, float out[12]) {
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 3; ++c)
            out[r * 3 + c] = static_cast<float>(matrix(r, c));
}

RTCScene newScene(RTCDevice device, RTCSceneFlags flags, RTCBuildQuality quality) {
    RTCScene scene = rtcNewScene(device);
    rtcSetSceneFlags(scene, flags);
    rtcSetSceneBuildQuality(scene, quality);
    return scene;
}

// Scenes of triangles run the query's filter (mask and back-face rules) through the intersect
// context. The top level holds only instances and needs no filter path: with it, every query
// pays for a slower traversal of the top level.
constexpr RTCSceneFlags TRIANGLE_SCENE_FLAGS = RTC_SCENE_FLAG_CONTEXT_FILTER_FUNCTION;

// A triangle mesh of geometry, its vertices carried by toWorld when given. Null when the
// geometry has no triangles.
RTCGeometry newMesh(RTCDevice device, const krGeometry& geometry, const kuMatrixd* toWorld) {
    const std::vector<unsigned int> triangles = geometry.getTriangleIndices();
    const std::vector<kuVec3f>& vertices = geometry.getVertices();
    if (triangles.empty())
        return nullptr;
    RTCGeometry mesh = rtcNewGeometry(device, RTC_GEOMETRY_TYPE_TRIANGLE);
    auto* vertexData = static_cast<float*>(rtcSetNewGeometryBuffer(
        mesh, RTC_BUFFER_TYPE_VERTEX, 0, RTC_FORMAT_FLOAT3, 3 * sizeof(float), vertices.size()));
    auto* indexData = static_cast<unsigned int*>(
        rtcSetNewGeometryBuffer(mesh, RTC_BUFFER_TYPE_INDEX, 0, RTC_FORMAT_UINT3,
                                3 * sizeof(unsigned int), triangles.size() / 3));
    if (!vertexData || !indexData) {
        rtcReleaseGeometry(mesh);
        return nullptr;
    }
    for (std::size_t i = 0; i < vertices.size(); ++i) {
        kuVec3f v = vertices[i];
        if (toWorld)
            v = kuVec3f(toWorld->transformPoint(kuVec3d(v)));
        vertexData[3 * i] = v.x, vertexData[3 * i + 1] = v.y, vertexData[3 * i + 2] = v.z;
    }
    std::memcpy(indexData, triangles.data(), triangles.size() * sizeof(unsigned int));
    return mesh;
}

} // namespace

// One geometry node reached from the target, with what decides whether its part of the
// acceleration structure is still valid. References keep the identities stable.
struct kxLineOfSightScene::Item {
    kuRef<const ksGeometry> node;
    unsigned int revision = 0;
    std::vector<kuRef<const krGeometry>> geometries;
    std::vector<unsigned int> geometryRevisions;
    std::vector<unsigned int> masks; // every one must share a bit with the probe's mask
    kuMatrixd matrix;                // node coordinates to world
    bool dynamic = false;            // under a transform that is not static

    bool sameContent(const Item& other) const {
        return node.get() == other.node.get() && revision == other.revision &&
               geometryRevisions == other.geometryRevisions && masks == other.masks &&
               dynamic == other.dynamic &&
               std::equal(geometries.begin(), geometries.end(), other.geometries.begin(),
                          other.geometries.end(),
                          [](const kuRef<const krGeometry>& a, const kuRef<const krGeometry>& b) {
                              return a.get() == b.get();
                          });
    }
};

namespace {

// Per top-level instance: how to bring its normals to world space and the masks the filter
// checks for each of its geometries (by geometry id inside the instanced scene).
struct InstanceInfo {
    float normal[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    std::vector<std::vector<unsigned int>> filterMasks;
};

} // namespace

// What casts read: committed ray-tracing scenes and their tables. Replaced as a whole on a
// rebuild; only instance transforms change in place (under the exclusive lock).
struct kxLineOfSightScene::Committed {
    RTCScene top = nullptr;
    RTCScene staticScene = nullptr; // carried over to the next rebuild when unchanged
    // What rays enter: the static scene itself while nothing moves (its vertices are already
    // in world space, and entering an instance costs every ray a transform), else the top.
    RTCScene castScene = nullptr;
    std::vector<InstanceInfo> staticInfo; // 0 or 1 entry: the static instance's
    std::vector<RTCScene> objectScenes;
    std::vector<RTCGeometry> objectInstances; // one per dynamic item, in item order
    std::vector<InstanceInfo> instances;      // by top-level geometry id
    unsigned int firstObjectId = 0;
    bool rayMasks = false;

    // The instance a hit came through; a hit in the static scene cast directly reports none.
    const InstanceInfo* instanceOf(unsigned int instID) const {
        if (instID < instances.size())
            return &instances[instID];
        return castScene != top && !instances.empty() ? &instances[0] : nullptr;
    }
    bool filterSupported = false;
    bool hasFilterMasks = false;

    ~Committed() {
        for (RTCGeometry instance : objectInstances)
            rtcReleaseGeometry(instance);
        for (RTCScene scene : objectScenes)
            rtcReleaseScene(scene);
        if (staticScene)
            rtcReleaseScene(staticScene);
        if (top)
            rtcReleaseScene(top);
    }
};

namespace {

using Item = kxLineOfSightScene::Item;

void collect(const ksNode* node, const kuMatrixd& parentToWorld, bool dynamic,
             std::vector<unsigned int>& path, std::vector<Item>& items) {
    const unsigned int mask = node->getIsectMask();
    if (mask == 0)
        return; // no probe can reach anything below
    path.push_back(mask);
    kuMatrixd matrix = parentToWorld;
    if (const auto* transform = dynamic_cast<const ksTransform*>(node)) {
        matrix = transform->getMatrix() * parentToWorld;
        dynamic = dynamic || !transform->getStaticEnable();
    }
    if (const auto* geometryNode = dynamic_cast<const ksGeometry*>(node)) {
        Item item;
        for (int i = 0; i < geometryNode->getNumGeometries(); ++i)
            if (const krGeometry* geometry = geometryNode->getGeometry(i)) {
                item.geometries.emplace_back(geometry);
                item.geometryRevisions.push_back(geometry->getRevision());
            }
        if (!item.geometries.empty()) {
            item.node = geometryNode;
            item.revision = geometryNode->getGeometryRevision();
            item.masks = significantMasks(path);
            item.matrix = matrix;
            item.dynamic = dynamic;
            items.push_back(std::move(item));
        }
    }
    for (int i = 0; i < node->getNumChildren(); ++i)
        if (const ksNode* child = node->getChild(i))
            collect(child, matrix, dynamic, path, items);
    path.pop_back();
}

bool sameStatic(const std::vector<Item>& a, const std::vector<Item>& b) {
    auto next = [](const std::vector<Item>& items, std::size_t i) {
        while (i < items.size() && items[i].dynamic)
            ++i;
        return i;
    };
    std::size_t i = next(a, 0), j = next(b, 0);
    for (; i < a.size() && j < b.size(); i = next(a, i + 1), j = next(b, j + 1))
        if (!a[i].sameContent(b[j]) || a[i].matrix != b[j].matrix)
            return false;
    return i == a.size() && j == b.size();
}

bool sameDynamicStructure(const std::vector<Item>& a, const std::vector<Item>& b) {
    auto next = [](const std::vector<Item>& items, std::size_t i) {
        while (i < items.size() && !items[i].dynamic)
            ++i;
        return i;
    };
    std::size_t i = next(a, 0), j = next(b, 0);
    for (; i < a.size() && j < b.size(); i = next(a, i + 1), j = next(b, j + 1))
        if (!a[i].sameContent(b[j]))
            return false;
    return i == a.size() && j == b.size();
}

// The geometry mask and the filter's share of an item's masks.
unsigned int geometryMask(const Item& item, bool rayMasks) {
    return rayMasks && !item.masks.empty() ? item.masks.front() : ALL_BITS;
}
std::vector<unsigned int> filterMasks(const Item& item, bool rayMasks) {
    if (!rayMasks || item.masks.empty())
        return item.masks;
    return std::vector<unsigned int>(item.masks.begin() + 1, item.masks.end());
}

// Adds item's meshes to scene (world-space vertices when toWorld is given), recording their
// filter masks by geometry id.
void addItem(RTCDevice device, RTCScene scene, RTCBuildQuality quality, const Item& item,
             const kuMatrixd* toWorld, bool rayMasks, InstanceInfo& info) {
    for (const kuRef<const krGeometry>& geometry : item.geometries) {
        RTCGeometry mesh = newMesh(device, *geometry, toWorld);
        if (!mesh)
            continue;
        rtcSetGeometryBuildQuality(mesh, quality);
        rtcSetGeometryMask(mesh, geometryMask(item, rayMasks));
        rtcCommitGeometry(mesh);
        const auto id = static_cast<unsigned int>(info.filterMasks.size());
        rtcAttachGeometryByID(scene, mesh, id);
        rtcReleaseGeometry(mesh);
        info.filterMasks.push_back(filterMasks(item, rayMasks));
    }
}

// Places an object instance; a singular matrix disables it (it has no volume to hit).
void placeInstance(RTCGeometry instance, const kuMatrixd& matrix, InstanceInfo& info) {
    const bool invertible = normalMatrix(matrix, info.normal);
    float xfm[12];
    instanceTransform(invertible ? matrix : kuMatrixd(), xfm);
    rtcSetGeometryTransform(instance, 0, RTC_FORMAT_FLOAT3X4_COLUMN_MAJOR, xfm);
    rtcSetGeometryMask(instance, ALL_BITS);
    if (invertible)
        rtcEnableGeometry(instance);
    else
        rtcDisableGeometry(instance);
    rtcCommitGeometry(instance);
}

bool hasFilterMasks(const std::vector<InstanceInfo>& infos) {
    for (const InstanceInfo& info : infos)
        for (const auto& masks : info.filterMasks)
            if (!masks.empty())
                return true;
    return false;
}

// The per-query state the filter sees; the intersect context must come first.
struct QueryContext {
    RTCIntersectContext context;
    const kxLineOfSightScene::Committed* committed;
    unsigned int probeMask;
    bool rejectBackfaces;
    bool recordAny;
    // Any-hit queries: the first accepted hit.
    bool found = false;
    float t = 0;
    float ng[3] = {0, 0, 0};
    unsigned int instID = RTC_INVALID_GEOMETRY_ID;
};

void filterHit(const RTCFilterFunctionNArguments* args);

} // namespace

kxLineOfSightScene::kxLineOfSightScene(const ksNode* target) : m_target(target) {}
kxLineOfSightScene::~kxLineOfSightScene() = default;

std::shared_ptr<kxLineOfSightScene> kxLineOfSightScene::obtain(const ksNode* target) {
    if (!target)
        return nullptr;
    if (const ksNode* master = target->getClone(0))
        target = master;
    std::shared_ptr<kxLineOfSightScene> scene;
    kuRef<TargetWatch> newWatch;
    {
        Shared& s = shared();
        std::lock_guard<std::mutex> guard(s.mutex);
        if (!ensureDevice(s))
            return nullptr;
        CacheEntry& entry = s.scenes[target];
        if (!entry.scene) {
            entry.scene.reset(new kxLineOfSightScene(target));
            entry.watch = new TargetWatch;
            newWatch = entry.watch;
        }
        scene = entry.scene;
    }
    // The subscriber list is the node's bookkeeping, not part of its value.
    if (newWatch)
        const_cast<ksNode*>(target)->addSubscriber(ksNode::EVENT_DELETE, newWatch.get());
    scene->update();
    return scene;
}

void kxLineOfSightScene::releaseAll() {
    std::map<const ksNode*, CacheEntry> dropped;
    {
        Shared& s = shared();
        std::lock_guard<std::mutex> guard(s.mutex);
        dropped.swap(s.scenes);
    }
    // Every target in the cache is alive: a deleted one has left it.
    for (auto& [target, entry] : dropped)
        const_cast<ksNode*>(target)->removeSubscriber(ksNode::EVENT_DELETE, entry.watch.get());
    // The device stays: the ray tracer's worker threads outlive it anyway, and a second device
    // would hand them new objects through their scheduler, whose synchronisation the race
    // detector cannot see.
}

int kxLineOfSightScene::getNumCachedScenes() {
    Shared& s = shared();
    std::lock_guard<std::mutex> guard(s.mutex);
    return static_cast<int>(s.scenes.size());
}

void kxLineOfSightScene::setRayMaskEnable(bool enable) {
    Shared& s = shared();
    std::lock_guard<std::mutex> guard(s.mutex);
    s.rayMaskEnable = enable;
}

kxLineOfSightScene::Query kxLineOfSightScene::makeQuery(const kxIsectorLOS& probe) {
    Query query;
    kuVec3d orientation;
    if (probe.getAbsolutePosition(&query.origin, &orientation, nullptr, nullptr) != KU_SUCCESS) {
        query.origin = probe.getPosition();
        orientation = probe.getOrientation();
    }
    query.heading = orientation.x;
    query.pitch = orientation.y;
    query.range = probe.getSegmentRange();
    query.mask = probe.getIsectMask();
    query.mode = probe.getMode();
    return query;
}

void kxLineOfSightScene::update() {
    // Matrices from the world down to the target's parent, through first parents as
    // ksTransform::getWorldMatrix does.
    kuMatrixd parentToWorld;
    bool dynamic = false;
    for (const ksNode* node = m_target->getParent(0); node; node = node->getParent(0))
        if (const auto* transform = dynamic_cast<const ksTransform*>(node)) {
            parentToWorld.postMultiply(transform->getMatrix());
            dynamic = dynamic || !transform->getStaticEnable();
        }
    std::vector<Item> items;
    std::vector<unsigned int> path;
    collect(m_target, parentToWorld, dynamic, path, items);

    const bool staticSame = m_committed && sameStatic(items, m_items);
    const bool dynamicSame = m_committed && sameDynamicStructure(items, m_items);
    if (staticSame && dynamicSame) {
        // Only object matrices may have moved: new instance transforms and a refit of the top
        // level, which casts must not see half done.
        std::vector<const kuMatrixd*> before;
        for (const Item& item : m_items)
            if (item.dynamic)
                before.push_back(&item.matrix);
        std::vector<std::pair<std::size_t, const kuMatrixd*>> moved;
        for (std::size_t i = 0, k = 0; i < items.size(); ++i)
            if (items[i].dynamic) {
                if (items[i].matrix != *before[k])
                    moved.emplace_back(k, &items[i].matrix);
                ++k;
            }
        if (!moved.empty()) {
            std::unique_lock<std::shared_mutex> guard(m_mutex);
            Committed& c = *m_committed;
            for (const auto& [k, matrix] : moved)
                placeInstance(c.objectInstances[k], *matrix, c.instances[c.firstObjectId + k]);
            rtcCommitScene(c.top);
            ++m_refitCount;
        }
        m_items = std::move(items);
        return;
    }

    // Build the new structures outside the lock; casts go on with the old ones meanwhile.
    Shared& s = shared();
    RTCDevice device;
    bool rayMasks, filterSupported;
    {
        std::lock_guard<std::mutex> guard(s.mutex);
        device = s.device;
        rayMasks = s.rayMaskEnable && s.rayMaskSupported;
        filterSupported = s.filterSupported;
    }
    auto committed = std::make_unique<Committed>();
    Committed& c = *committed;
    c.rayMasks = rayMasks;
    c.filterSupported = filterSupported;
    if (staticSame && m_committed->rayMasks == rayMasks) {
        c.staticScene = m_committed->staticScene;
        if (c.staticScene)
            rtcRetainScene(c.staticScene);
        c.staticInfo = m_committed->staticInfo;
    } else {
        bool any = false;
        for (const Item& item : items)
            any = any || !item.dynamic;
        if (any) {
            c.staticScene = newScene(device, TRIANGLE_SCENE_FLAGS, RTC_BUILD_QUALITY_MEDIUM);
            c.staticInfo.resize(1);
            for (const Item& item : items)
                if (!item.dynamic)
                    addItem(device, c.staticScene, RTC_BUILD_QUALITY_MEDIUM, item,
                            item.matrix.isIdentity() ? nullptr : &item.matrix, rayMasks,
                            c.staticInfo[0]);
            rtcCommitScene(c.staticScene);
        }
    }
    // The top level is small and rebuilt whenever an object moves: favour build speed.
    c.top = newScene(device, RTC_SCENE_FLAG_DYNAMIC, RTC_BUILD_QUALITY_LOW);
    if (c.staticScene) {
        RTCGeometry instance = rtcNewGeometry(device, RTC_GEOMETRY_TYPE_INSTANCE);
        rtcSetGeometryInstancedScene(instance, c.staticScene);
        placeInstance(instance, kuMatrixd(), c.staticInfo[0]);
        rtcAttachGeometryByID(c.top, instance, 0);
        rtcReleaseGeometry(instance);
        c.instances.push_back(c.staticInfo[0]);
    }
    c.firstObjectId = static_cast<unsigned int>(c.instances.size());
    for (const Item& item : items) {
        if (!item.dynamic)
            continue;
        InstanceInfo info;
        RTCScene scene = newScene(device, TRIANGLE_SCENE_FLAGS, RTC_BUILD_QUALITY_MEDIUM);
        addItem(device, scene, RTC_BUILD_QUALITY_MEDIUM, item, nullptr, rayMasks, info);
        rtcCommitScene(scene);
        RTCGeometry instance = rtcNewGeometry(device, RTC_GEOMETRY_TYPE_INSTANCE);
        rtcSetGeometryInstancedScene(instance, scene);
        placeInstance(instance, item.matrix, info);
        rtcAttachGeometryByID(c.top, instance, static_cast<unsigned int>(c.instances.size()));
        c.objectScenes.push_back(scene);
        c.objectInstances.push_back(instance);
        c.instances.push_back(std::move(info));
    }
    rtcCommitScene(c.top);
    c.castScene = c.objectScenes.empty() && c.staticScene ? c.staticScene : c.top;
    c.hasFilterMasks = hasFilterMasks(c.instances);

    std::unique_ptr<Committed> old;
    {
        std::unique_lock<std::shared_mutex> guard(m_mutex);
        old = std::move(m_committed);
        m_committed = std::move(committed);
    }
    m_items = std::move(items);
    ++m_rebuildCount;
}

kuVec3d kxLineOfSightScene::directionOf(double heading, double pitch) {
    const double d = M_PI / 180.0;
    const double ch = std::cos(heading * d), sh = std::sin(heading * d);
    const double cp = std::cos(pitch * d), sp = std::sin(pitch * d);
    return kuVec3d(-sh * cp, ch * cp, sp);
}

void kxLineOfSightScene::cast(const Query& query, const kuVec3d& direction, Result* result) const {
    *result = Result();
    const Committed* c = m_committed.get();
    if (!c || query.mask == 0 || !(query.range > 0))
        return;
    // The ray tracer works in single precision and aborts on rays it cannot hold; a segment
    // from a point that is not a number, or beyond its reach, meets nothing.
    constexpr double REACH = 1.0e18;
    for (int i = 0; i < 3; ++i)
        if (!(std::fabs(query.origin[i]) < REACH) || !std::isfinite(direction[i]))
            return;
    QueryContext qc;
    rtcInitIntersectContext(&qc.context);
    qc.committed = c;
    qc.probeMask = query.mask;
    qc.rejectBackfaces = !(query.mode & kxIsectorLOS::MODE_BACKFACES) && c->filterSupported;
    qc.recordAny = !(query.mode & kxIsectorLOS::MODE_NEAREST) && c->filterSupported;
    const bool maskFilter = query.mask != ALL_BITS && c->hasFilterMasks;
    if (qc.rejectBackfaces || qc.recordAny || maskFilter)
        qc.context.filter = filterHit;

    RTCRayHit rayHit;
    RTCRay& ray = rayHit.ray;
    ray.org_x = static_cast<float>(query.origin.x);
    ray.org_y = static_cast<float>(query.origin.y);
    ray.org_z = static_cast<float>(query.origin.z);
    ray.dir_x = static_cast<float>(direction.x);
    ray.dir_y = static_cast<float>(direction.y);
    ray.dir_z = static_cast<float>(direction.z);
    ray.tnear = 0.0f;
    ray.tfar = static_cast<float>(std::min(query.range, 3.0e38));
    ray.time = 0.0f;
    ray.mask = c->rayMasks ? query.mask : ALL_BITS;
    ray.id = 0;
    ray.flags = 0;
    rayHit.hit.geomID = RTC_INVALID_GEOMETRY_ID;
    rayHit.hit.primID = RTC_INVALID_GEOMETRY_ID;
    rayHit.hit.instID[0] = RTC_INVALID_GEOMETRY_ID;

    float t, ng[3];
    unsigned int instID;
    if (qc.recordAny) {
        // Any accepted hit ends the search; the filter keeps what it accepted.
        rtcOccluded1(c->castScene, &qc.context, &ray);
        if (!qc.found)
            return;
        t = qc.t;
        std::copy(qc.ng, qc.ng + 3, ng);
        instID = qc.instID;
    } else {
        rtcIntersect1(c->castScene, &qc.context, &rayHit);
        if (rayHit.hit.geomID == RTC_INVALID_GEOMETRY_ID)
            return;
        t = ray.tfar;
        ng[0] = rayHit.hit.Ng_x, ng[1] = rayHit.hit.Ng_y, ng[2] = rayHit.hit.Ng_z;
        instID = rayHit.hit.instID[0];
    }
    // Normals come back in the instanced scene's space.
    kuVec3d normal(ng[0], ng[1], ng[2]);
    if (const InstanceInfo* info = c->instanceOf(instID)) {
        const float* n = info->normal;
        normal = kuVec3d(ng[0] * n[0] + ng[1] * n[3] + ng[2] * n[6],
                         ng[0] * n[1] + ng[1] * n[4] + ng[2] * n[7],
                         ng[0] * n[2] + ng[1] * n[5] + ng[2] * n[8]);
    }
    normal.normalize();
    if (normal.dot(direction) > 0)
        normal = -normal;
    result->hit = true;
    result->point = query.origin + direction * static_cast<double>(t);
    result->normal = kuVec3f(normal);
}

namespace {
void filterHit(const RTCFilterFunctionNArguments* args) {
    auto* qc = reinterpret_cast<QueryContext*>(args->context);
    const unsigned int n = args->N;
    for (unsigned int i = 0; i < n; ++i) {
        if (args->valid[i] != -1)
            continue;
        const unsigned int instID = RTCHitN_instID(args->hit, n, i, 0);
        const unsigned int geomID = RTCHitN_geomID(args->hit, n, i);
        const InstanceInfo* info = qc->committed->instanceOf(instID);
        if (qc->probeMask != ALL_BITS && info) {
            const auto& table = info->filterMasks;
            if (geomID < table.size())
                for (unsigned int mask : table[geomID])
                    if ((mask & qc->probeMask) == 0) {
                        args->valid[i] = 0;
                        break;
                    }
            if (args->valid[i] == 0)
                continue;
        }
        const float ngx = RTCHitN_Ng_x(args->hit, n, i), ngy = RTCHitN_Ng_y(args->hit, n, i),
                    ngz = RTCHitN_Ng_z(args->hit, n, i);
        // Ray and normal are both in the instanced scene's space here, and the sign of their
        // dot product is the same as in world space.
        if (qc->rejectBackfaces && ngx * RTCRayN_dir_x(args->ray, n, i) +
                                           ngy * RTCRayN_dir_y(args->ray, n, i) +
                                           ngz * RTCRayN_dir_z(args->ray, n, i) >
                                       0.0f) {
            args->valid[i] = 0;
            continue;
        }
        if (qc->recordAny) {
            const float t = RTCRayN_tfar(args->ray, n, i);
            if (!qc->found || t < qc->t) {
                qc->found = true;
                qc->t = t;
                qc->ng[0] = ngx, qc->ng[1] = ngy, qc->ng[2] = ngz;
                qc->instID = instID;
            }
        }
    }
}
} // namespace

kxLineOfSightScene::FloatModeGuard::FloatModeGuard() : m_saved(_mm_getcsr()) {
    _MM_SET_FLUSH_ZERO_MODE(_MM_FLUSH_ZERO_ON);
    _MM_SET_DENORMALS_ZERO_MODE(_MM_DENORMALS_ZERO_ON);
}

kxLineOfSightScene::FloatModeGuard::~FloatModeGuard() {
    _mm_setcsr(m_saved);
}

void kxLineOfSightBatch::prepare(const std::vector<kxIsectorLOS*>& probes) {
    // Jobs are kept from run to run: a probe already in its place keeps its reference, which
    // spares two atomic operations per probe and frame.
    m_scenes.clear();
    m_jobs.resize(probes.size());
    m_casts.resize(probes.size());
    m_next.store(0, std::memory_order_relaxed);
    std::map<const ksNode*, std::size_t> sceneIndex;
    const ksNode* lastTarget = nullptr;
    std::size_t lastScene = NO_SCENE;
    // A job is written only where it changed: the caster's thread read it in the previous
    // run, and writing a line back costs far more than reading it.
    for (std::size_t i = 0; i < probes.size(); ++i) {
        kxIsectorLOS* probe = probes[i];
        Job& job = m_jobs[i];
        if (job.probe.get() != probe)
            job.probe = probe;
        std::size_t scene = NO_SCENE;
        const ksNode* target = probe->getTarget();
        if ((probe->getMode() & kxIsectorLOS::MODE_ENABLED) && target) {
            if (target != lastTarget) {
                auto found = sceneIndex.find(target);
                if (found == sceneIndex.end()) {
                    std::shared_ptr<kxLineOfSightScene> obtained =
                        kxLineOfSightScene::obtain(target);
                    found = sceneIndex.emplace(target, obtained ? m_scenes.size() : NO_SCENE).first;
                    if (obtained)
                        m_scenes.push_back(std::move(obtained));
                }
                lastTarget = target;
                lastScene = found->second;
            }
            scene = lastScene;
        }
        if (job.scene != scene)
            job.scene = scene;
        if (scene == NO_SCENE)
            continue;
        const kxLineOfSightScene::Query query = kxLineOfSightScene::makeQuery(*probe);
        if (!(job.query == query))
            job.query = query;
    }
}

void kxLineOfSightBatch::castAll(const std::atomic<bool>* cancel) {
    kxLineOfSightScene::FloatModeGuard floatMode;
    // Every scene of the run stays locked for casting until the end: updates wait for it.
    std::vector<std::shared_lock<std::shared_mutex>> locks;
    locks.reserve(m_scenes.size());
    for (const auto& scene : m_scenes)
        locks.push_back(scene->lockForCasting());
    // Chunks large enough that taking one costs nothing next to its casts, small enough that
    // two casters finish close together.
    constexpr std::size_t CHUNK = 64;
    const std::size_t count = m_jobs.size();
    for (;;) {
        const std::size_t first = m_next.fetch_add(CHUNK, std::memory_order_relaxed);
        if (first >= count)
            return;
        const std::size_t last = std::min(first + CHUNK, count);
        for (std::size_t i = first; i < last; ++i) {
            const Job& job = m_jobs[i];
            Cast& cast = m_casts[i];
            if (cancel && cancel->load(std::memory_order_relaxed))
                return;
            if (job.scene == NO_SCENE) {
                cast.result.hit = false;
                continue;
            }
            // The trigonometry is done here, on the casting thread, rather than while the
            // application thread prepares the run.
            if (!(job.query.heading == cast.aimedHeading && job.query.pitch == cast.aimedPitch)) {
                cast.direction =
                    kxLineOfSightScene::directionOf(job.query.heading, job.query.pitch);
                cast.aimedHeading = job.query.heading;
                cast.aimedPitch = job.query.pitch;
            }
            m_scenes[job.scene]->cast(job.query, cast.direction, &cast.result);
        }
    }
}

void kxLineOfSightBatch::store() {
    for (std::size_t i = 0; i < m_jobs.size(); ++i) {
        const kxLineOfSightScene::Result& result = m_casts[i].result;
        if (result.hit)
            m_jobs[i].probe->setHit(result.point, result.normal);
        else
            m_jobs[i].probe->clearHit();
    }
}

void kxLineOfSightBatch::clear() {
    m_jobs.clear();
    m_casts.clear();
    m_scenes.clear();
    m_next.store(0, std::memory_order_relaxed);
}
