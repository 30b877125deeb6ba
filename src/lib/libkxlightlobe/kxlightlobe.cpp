#include "kxlightlobe.h"

#include "kxlightlobeclassregistry.h"
#include "kxlightmap.h"

#include <kr/krDrawContext.h>
#include <kr/krTexture.h>
#include <kr/krTextureFactory.h>
#include <ks/ksChannelBin.h>
#include <ks/ksServiceMgr.h>
#include <ks/ksThreadBuffer.h>
#include <ks/ksTraversal.h>
#include <ku/kuAllocRef.h>
#include <ku/kuNotify.h>
#include <kx/kxIsectorLOS.h>
#include <kx/kxIsectorService.h>
#include <ku/kuMath.h>

#include <GL/gl.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <deque>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

namespace {
kuBase::ClassType* s_classType = nullptr;
int s_nodeId = 0;
kuRef<krTextureFactory> s_textureFactory;
kuRef<kxLightLobe::CullRecordFactory> s_cullRecordFactory;

// Service mode of the lobes' probes: cast at every run.
constexpr int ISECTOR_SERVICE_MODE = 2;
// Isector mode bit the lobes add: the nearest hit along the beam.
constexpr int ISECTOR_MODE_NEAREST = 8;
// krTextureFactory::read mode: cache and build mipmaps.
constexpr int TEXTURE_READ_MODE = 3;

// Generated falloff textures by falloff and size: never changed once made, so every lobe with
// the same pair shares one (100,000 lobes would otherwise hold 100,000 identical images).
// Application thread.
std::map<std::pair<int, unsigned int>, kuRef<krTexture>> s_falloffTextures;

// Lets go of the textures no lobe, clone or record holds any more. Only the application thread
// hands a texture out, so one the cache alone holds cannot be taken meanwhile.
void releaseUnusedFalloffTextures() {
    for (auto it = s_falloffTextures.begin(); it != s_falloffTextures.end();)
        it = it->second->getRef() == 1 ? s_falloffTextures.erase(it) : std::next(it);
}

// Finite and small enough to reach single precision (probes and drawing take floats).
bool fitsFloat(const kuVec3d& v) {
    return std::fabs(v.x) <= FLT_MAX && std::fabs(v.y) <= FLT_MAX && std::fabs(v.z) <= FLT_MAX;
}

const kuVec3d NO_VERTEX;

bool sameBits(const kuVec3d& a, const kuVec3d& b) {
    static_assert(sizeof(kuVec3d) == 3 * sizeof(double), "kuVec3d has no padding");
    return std::memcmp(&a, &b, sizeof(kuVec3d)) == 0;
}

// kuMatrixd::getHPR from the matrix's rows already normalised, so they are normalised once.
kuVec3d headingPitchRoll(const kuVec3d (&axes)[3]) {
    const kuVec3d &x = axes[0], &y = axes[1], &z = axes[2];
    const double d = 180.0 / M_PI;
    const double sp = y.z > 1 ? 1.0 : (y.z < -1 ? -1.0 : y.z);
    return {std::atan2(-y.x, y.y) * d, std::asin(sp) * d, std::atan2(-x.z, z.z) * d};
}

// Footprints of clones that are gone, kept until no record can refer to them: a clone may go
// at a rendezvous while the frame culled before it is still being drawn. Made on first use and
// never destroyed, since clones may go after the class has shut down.
struct RetiredFootprints {
    int frame;
    std::unique_ptr<kxLightLobe::Footprint[]> footprints;
};
struct FootprintGraveyard {
    std::mutex mutex;
    // In the order retired, so by frame (a frame number that went back keeps the later ones
    // waiting longer, which is safe).
    std::deque<RetiredFootprints> retired;
};
FootprintGraveyard& footprintGraveyard() {
    static FootprintGraveyard* s_graveyard = new FootprintGraveyard;
    return *s_graveyard;
}

// Lets go of the footprints retired at least kuPipeline::NUM_FRAME_SLOTS frames before frame
// (all of them: once no frame is in flight).
void releaseFootprints(int frame, bool all) {
    FootprintGraveyard& graveyard = footprintGraveyard();
    std::lock_guard<std::mutex> guard(graveyard.mutex);
    auto& retired = graveyard.retired;
    while (!retired.empty() &&
           (all || retired.front().frame <= frame - kuPipeline::NUM_FRAME_SLOTS))
        retired.pop_front();
}
} // namespace

// ---- construction ----

kxLightLobe::kxLightLobe(ksThreadBuffer* threadBuffer) : kxTransform(threadBuffer) {
    registerInstance(s_classType);
    setStaticBoundsEnable(true, true);
    m_cullRecordFactory = s_cullRecordFactory.get();
    for (auto& isector : m_isectors) {
        isector = new kxIsectorLOS;
        isector->setMode(isector->getMode() | ISECTOR_MODE_NEAREST);
    }
    if (kxLightMap::instance()->getIsectorService())
        addIsectorsToService();
}

kxLightLobe::kxLightLobe(ksNode** clones, int index, ksThreadBuffer* threadBuffer)
    : kxTransform(clones, index, threadBuffer) {
    // A clone may be made long after its master was set up: start from the master's enable
    // rather than from "on", or a lobe switched off before a pipeline existed would show there.
    if (const auto* master = static_cast<const kxLightLobe*>(clones[0])) {
        m_enable = master->m_enable;
        m_texture = master->m_texture;
        m_cullRecordFactory = master->m_cullRecordFactory;
    }
    m_footprints = new Footprint[NUM_FOOTPRINTS];
}

kxLightLobe::~kxLightLobe() {
    if (isMasterClone()) {
        unregisterInstance(s_classType);
        // The service holds the probes too: take them out, or they would be cast for ever.
        removeIsectorsFromService();
        m_texture = nullptr;
        releaseUnusedFalloffTextures();
    } else if (m_footprints) {
        FootprintGraveyard& graveyard = footprintGraveyard();
        std::lock_guard<std::mutex> guard(graveyard.mutex);
        graveyard.retired.push_back(
            {ksThread::resolveFrameNumber(), std::unique_ptr<Footprint[]>(m_footprints)});
    }
}

// ---- registry ----

kxLightLobe* kxLightLobe::create() {
    return new kxLightLobe(nullptr);
}

int kxLightLobe::initializeClass() {
    if (!ksgu::inInitializeClassSession())
        return -32767;
    if (!s_classType) {
        const int status = kxClassRegistry::createClassType(
            s_classType, "kxLightLobe", kxTransform::getStaticClassType(), "kxTransform",
            []() -> kuBase* { return create(); }, true, true);
        if (status != 1)
            return status;
        s_nodeId = ksNode::registerNode(s_classType);
        s_cullRecordFactory = new CullRecordFactory;
        s_textureFactory = new krTextureFactory;
    }
    // Bound again even when the class type existed: the parser may have been made anew.
    configureParser();
    return 1;
}

int kxLightLobe::shutdownClass() {
    if (s_classType) {
        ksNode::unregisterNode(s_classType);
        s_nodeId = 0;
        delete s_classType;
        s_classType = nullptr;
    }
    s_cullRecordFactory.reset();
    s_textureFactory.reset();
    s_falloffTextures.clear();
    releaseFootprints(0, true);
    return 1;
}

void kxLightLobe::releaseRetiredFootprints(int frame) {
    releaseFootprints(frame, false);
}

int kxLightLobe::getNodeId() const {
    return s_nodeId;
}

// ---- clones ----

ksNode* kxLightLobe::createClone(int index, ksThreadBuffer* threadBuffer) const {
    return new kxLightLobe(getClones(), index, threadBuffer);
}

void kxLightLobe::syncWithMasterClone(int token, ksNode** clones) {
    const auto* master = static_cast<const kxLightLobe*>(getClone(0));
    if (!master)
        return;
    switch (token) {
    case TOKEN_ENABLE:
        setEnable(master->m_enable);
        return;
    case TOKEN_VERTICES:
        if (m_footprints)
            std::copy(std::begin(master->m_vertices), std::end(master->m_vertices),
                      footprintToWrite(PART_VERTICES).vertices);
        return;
    case TOKEN_VERTEX_BRIGHTNESS:
        if (m_footprints)
            std::copy(std::begin(master->m_vertexBrightness), std::end(master->m_vertexBrightness),
                      footprintToWrite(PART_BRIGHTNESS).vertexBrightness);
        return;
    case TOKEN_TEXTURE_MATRIX:
        if (m_footprints)
            footprintToWrite(PART_TEXTURE_MATRIX).textureMatrix = master->m_textureMatrix;
        return;
    case TOKEN_ABSOLUTE_POSE:
        if (m_footprints) {
            Footprint& footprint = footprintToWrite(PART_POSE);
            footprint.position = master->m_absolutePosition;
            footprint.orientation = master->m_absoluteOrientation;
        }
        return;
    case TOKEN_TEXTURE:
        m_texture = master->m_texture;
        return;
    case TOKEN_CULL_RECORD_FACTORY:
        m_cullRecordFactory = master->m_cullRecordFactory;
        return;
    default:
        break;
    }
    if (token >= TOKEN_ENABLE)
        kuNotify::print(5, s_classType, "Unhandled MT token %d", token);
    kxTransform::syncWithMasterClone(token, clones);
}

void kxLightLobe::prefetchForSync(int token, const ksNode* clone) const {
    const auto* to = static_cast<const kxLightLobe*>(clone);
    if (!to->m_footprints) {
        kxTransform::prefetchForSync(token, clone);
        return;
    }
    // The footprint the token will write (see footprintToWrite).
    const Footprint& into =
        to->m_footprints[to->m_footprintShown ? (to->m_currentFootprint + 1) % NUM_FOOTPRINTS
                                              : to->m_currentFootprint];
    auto fetch = [](const void* from, const void* target, std::size_t bytes) {
        prefetchBytes(from, bytes, false);
        prefetchBytes(target, bytes, true);
    };
    switch (token) {
    case TOKEN_VERTICES:
        fetch(m_vertices, into.vertices, sizeof(m_vertices));
        return;
    case TOKEN_VERTEX_BRIGHTNESS:
        fetch(m_vertexBrightness, into.vertexBrightness, sizeof(m_vertexBrightness));
        return;
    case TOKEN_TEXTURE_MATRIX:
        fetch(&m_textureMatrix, &into.textureMatrix, sizeof(m_textureMatrix));
        return;
    case TOKEN_ABSOLUTE_POSE:
        fetch(&m_absolutePosition, &into.position, sizeof(m_absolutePosition));
        fetch(&m_absoluteOrientation, &into.orientation, sizeof(m_absoluteOrientation));
        return;
    default:
        kxTransform::prefetchForSync(token, clone);
    }
}

// Records refer to the clone's latest footprint until their frame is drawn. Under the frame
// protocol a rendezvous comes after the cull of the frame before and while at most the two
// frames before are drawn, so a clone whose latest footprint a record refers to takes the
// tokens into the next one: of NUM_FOOTPRINTS (the pipeline's depth), that is the one no record
// still to be drawn refers to. The parts no token brings this time are taken from the one
// before by the next cull (takeStaleParts), since most frames bring them all.
kxLightLobe::Footprint& kxLightLobe::footprintToWrite(unsigned part) {
    if (m_footprintShown) {
        m_currentFootprint = static_cast<unsigned char>((m_currentFootprint + 1) % NUM_FOOTPRINTS);
        m_staleParts = ALL_PARTS;
        m_footprintShown = false;
    }
    m_staleParts = static_cast<unsigned char>(m_staleParts & ~part);
    return m_footprints[m_currentFootprint];
}

const kxLightLobe::Footprint& kxLightLobe::footprintHolding(unsigned part) const {
    const int before = (m_currentFootprint + NUM_FOOTPRINTS - 1) % NUM_FOOTPRINTS;
    return m_footprints[(m_staleParts & part) ? before : m_currentFootprint];
}

void kxLightLobe::takeStaleParts() {
    const Footprint& before = footprintHolding(ALL_PARTS);
    Footprint& latest = m_footprints[m_currentFootprint];
    if (m_staleParts & PART_VERTICES)
        std::copy(std::begin(before.vertices), std::end(before.vertices), latest.vertices);
    if (m_staleParts & PART_BRIGHTNESS)
        std::copy(std::begin(before.vertexBrightness), std::end(before.vertexBrightness),
                  latest.vertexBrightness);
    if (m_staleParts & PART_TEXTURE_MATRIX)
        latest.textureMatrix = before.textureMatrix;
    if (m_staleParts & PART_POSE) {
        latest.position = before.position;
        latest.orientation = before.orientation;
    }
    m_staleParts = 0;
}

// ---- copy and compare ----

kuBase* kxLightLobe::makeCopy(int options) const {
    kuRef<kxLightLobe> lobe = new kxLightLobe(nullptr);
    if (lobe->copy(this, options) != 1)
        return nullptr;
    return lobe.release();
}

int kxLightLobe::copy(const kxLightLobe* source, int options) {
    if (source == this)
        return 1;
    if (!source)
        return -32767;
    if (!(options & COPY_EXCLUDE_BASE)) {
        const int status = kxTransform::copy(source, options);
        if (status != 1)
            return status;
    }
    setEnable(source->m_enable);
    setBrightness(source->m_brightness);
    setSpreadAngle(source->m_spreadAngle);
    setFadeRange(source->m_fadeRange);
    setFalloff(source->m_falloff);
    if (source->m_customTexture && !source->m_textureFile.empty())
        setTextureFile(source->m_textureFile.c_str());
    else
        setTextureSize(source->m_textureSize);
    setIsectEnable(source->m_isectEnable);
    setIsectMask(source->getIsectMask());
    return 1;
}

bool kxLightLobe::compare(const kuBase* other, int options) const {
    if (other == this)
        return true;
    if (!other || other->getClassType() != getClassType())
        return false;
    const auto* lobe = static_cast<const kxLightLobe*>(other);
    if (!(options & COPY_EXCLUDE_BASE) && !kxTransform::compare(other, options))
        return false;
    return m_enable == lobe->m_enable && m_brightness == lobe->m_brightness &&
           m_spreadAngle == lobe->m_spreadAngle && m_fadeRange == lobe->m_fadeRange &&
           m_falloff == lobe->m_falloff && m_textureFile == lobe->m_textureFile &&
           m_textureSize == lobe->m_textureSize && m_isectEnable == lobe->m_isectEnable &&
           getIsectMask() == lobe->getIsectMask();
}

// ---- properties ----

int kxLightLobe::setEnable(bool enable) {
    if (enable != m_enable) {
        m_enable = enable;
        if (ksThreadBuffer* buffer = getThreadBuffer())
            buffer->appendUpdate(this, TOKEN_ENABLE, nullptr, false);
    }
    return 1;
}

void kxLightLobe::setFalloff(Falloff falloff) {
    const int value = static_cast<int>(falloff);
    if (value != FALLOFF_LINEAR && value != FALLOFF_SQUARED && value != FALLOFF_CUBIC) {
        // Kept out of m_falloff: a value outside the enumeration is not a Falloff at all.
        kuNotify::print(5, s_classType, "Light lobe %s: falloff %d is not a falloff; kept %d",
                        getName(), value, static_cast<int>(m_falloff));
        return;
    }
    m_falloff = falloff;
    if (!m_textureFile.empty())
        kuNotify::print(5, s_classType,
                        "Setting falloff on a light lobe when a texture file has been specified "
                        "has no effect");
    else
        createTex();
}

void kxLightLobe::setTextureSize(unsigned int size) {
    m_textureSize = size;
    if (!m_textureFile.empty())
        kuNotify::print(5, s_classType,
                        "Setting texture size on a light lobe when a texture file has been "
                        "specified has no effect");
    else
        createTex();
}

int kxLightLobe::setTextureFile(const char* fileName) {
    if (!fileName || !*fileName)
        return 1;
    if (!s_textureFactory)
        s_textureFactory = new krTextureFactory;
    kuRef<krTexture> texture =
        s_textureFactory->read(fileName, nullptr, nullptr, nullptr, TEXTURE_READ_MODE);
    // A file that cannot be read leaves the lobe without texture, as it asked for this one.
    setTexture(texture.get());
    if (!texture)
        return -32767;
    m_textureFile = fileName;
    return 1;
}

krTexture* kxLightLobe::getTexture() const {
    return m_texture.get();
}

const kuMatrixf& kxLightLobe::getTextureMatrix() const {
    return m_footprints ? footprintHolding(PART_TEXTURE_MATRIX).textureMatrix : m_textureMatrix;
}

const kuVec3d& kxLightLobe::getVertex(int index) const {
    if (index < 0 || index >= NUM_VERTICES)
        return NO_VERTEX;
    return m_footprints ? footprintHolding(PART_VERTICES).vertices[index] : m_vertices[index];
}

float kxLightLobe::getVertexBrightness(int index) const {
    if (index < 0 || index >= NUM_VERTICES)
        return 0.0f;
    return m_footprints ? footprintHolding(PART_BRIGHTNESS).vertexBrightness[index]
                        : m_vertexBrightness[index];
}

const kuVec3d& kxLightLobe::getAbsolutePositionValue() const {
    return m_footprints ? footprintHolding(PART_POSE).position : m_absolutePosition;
}

const kuVec3d& kxLightLobe::getAbsoluteOrientationValue() const {
    return m_footprints ? footprintHolding(PART_POSE).orientation : m_absoluteOrientation;
}

kxIsectorLOS* kxLightLobe::getIsector(int index) const {
    return index >= 0 && index < NUM_ISECTORS ? m_isectors[index].get() : nullptr;
}

void kxLightLobe::setIsectMask(unsigned int mask) {
    for (auto& isector : m_isectors)
        if (isector)
            isector->setIsectMask(mask);
}

unsigned int kxLightLobe::getIsectMask() const {
    return m_isectors[0] ? m_isectors[0]->getIsectMask() : 0u;
}

void kxLightLobe::setIsectEnable(bool enable) {
    if (!enable) {
        // The probes leave at the next update with a valid hit, so the lobe keeps a footprint.
        m_removeIsectorsPending = true;
        return;
    }
    if (getStaticEnable()) {
        kuNotify::print(5, s_classType, "Can't enable isectors for static light lobe %s",
                        getName());
        return;
    }
    addIsectorsToService();
    m_isectEnable = true;
}

void kxLightLobe::preConfigure() {
    addIsectorsToService();
}

// ---- footprint ----

void kxLightLobe::update(ksNode* target) {
    if (!m_enable)
        return;
    const bool isStatic = getStaticEnable();
    if (isStatic && !m_wasStatic) {
        m_staticDone = false;
        m_wasStatic = true;
    } else if (isStatic && m_wasStatic && m_staticDone) {
        return; // frozen on its first footprint
    } else if (!isStatic && m_wasStatic) {
        addIsectorsToService();
        m_isectEnable = true;
        m_wasStatic = false;
    }
    if (!m_texture)
        createTex();
    // One walk up the parents gives the absolute pose (as getAbsolutePosition does, with no
    // converter) and the lobe's axes, which the footprint would otherwise turn out of the
    // heading, pitch and roll again.
    const kuMatrixd world = getWorldMatrix();
    m_absolutePosition = world.getTrans();
    // The axes and the heading, pitch and roll follow from the world matrix's turn and scale
    // alone: a lobe that has not turned keeps them (compared bit for bit).
    double turn[3][3];
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            turn[r][c] = world(r, c);
    if (!m_axesMade || std::memcmp(turn, m_axesTurn, sizeof(turn)) != 0) {
        makeAxes(turn);
        std::memcpy(m_axesTurn, turn, sizeof(turn));
        m_axesMade = true;
    }
    kuMatrixd rotation;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            rotation(r, c) = m_axes[r][c];

    // A centre that is no number would spread NaN through every parent's bounds: such a lobe
    // bounds nothing (an empty sphere is never culled and never merged).
    const kuVec3d centre = getPosition();
    const kuSphered bounds = fitsFloat(centre) ? kuSphered(centre, m_fadeRange) : kuSphered();
    // Setting the bounds tells every parent and queues a token: a lobe that stays where it is
    // (a searchlight that only turns, say) does not set them again.
    // Static bounds take new bounds as they are: one call tells the parents once.
    if (!getStaticBoundsEnable()) {
        setBounds(bounds, true);
        setStaticBoundsEnable(true, true);
    } else if (!(ksNode::getBounds() == bounds)) {
        setBounds(bounds, true);
    }

    const bool hit = castIsectors(target);
    computeVerts(rotation);
    computeTexMat();
    static const int tokens[] = {TOKEN_VERTICES, TOKEN_VERTEX_BRIGHTNESS, TOKEN_TEXTURE_MATRIX,
                                 TOKEN_ABSOLUTE_POSE};
    if (ksThreadBuffer* buffer = getThreadBuffer())
        buffer->appendUpdates(this, tokens, 4);

    if (hit && ((m_wasStatic && m_isectEnable) || m_removeIsectorsPending)) {
        kuNotify::print(2, s_classType, "Removing isectors for lobe %s from service", getName());
        removeIsectorsFromService();
        m_isectEnable = false;
        m_removeIsectorsPending = false;
    }
    if (hit)
        m_staticDone = true;
}

// Both with the intent to write: the update writes the lobe and its probes.
void kxLightLobe::prefetchForUpdate() const {
    prefetchBytes(this, sizeof(*this), true);
}

void kxLightLobe::prefetchIsectorsForUpdate() const {
    for (const auto& isector : m_isectors)
        if (isector)
            prefetchBytes(isector.get(), sizeof(kxIsectorLOS), true);
}

void kxLightLobe::makeAxes(const double (&turn)[3][3]) {
    kuMatrixd rotation;
    bool rotationFromWorld = true;
    kuVec3d axes[3];
    for (int r = 0; r < 3; ++r) {
        kuVec3d& axis = axes[r];
        axis.set(turn[r][0], turn[r][1], turn[r][2]);
        rotationFromWorld = rotationFromWorld && axis.normalize() > 0;
        for (int c = 0; c < 3; ++c)
            rotation(r, c) = axis[c];
    }
    m_absoluteOrientation = headingPitchRoll(axes);
    // A scale above the lobe that shears its axes: the axes are those of the heading, pitch
    // and roll, as for any other pose.
    for (int a = 0; a < 3 && rotationFromWorld; ++a) {
        const int b = (a + 1) % 3;
        const double dot = rotation(a, 0) * rotation(b, 0) + rotation(a, 1) * rotation(b, 1) +
                           rotation(a, 2) * rotation(b, 2);
        rotationFromWorld = std::fabs(dot) < 1e-9;
    }
    if (!rotationFromWorld)
        rotation.makeRotate(m_absoluteOrientation.x, m_absoluteOrientation.y,
                            m_absoluteOrientation.z);
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            m_axes[r][c] = rotation(r, c);
}

bool kxLightLobe::castIsectors(ksNode* target) {
    const double q = m_spreadAngle / 4.0;
    const double h = m_absoluteOrientation.x, p = m_absoluteOrientation.y;
    // A quarter of the spread off the axis, at 120 degree steps: one below, two above.
    const double headings[NUM_ISECTORS] = {h, h + 0.866 * q, h - 0.866 * q};
    const double pitches[NUM_ISECTORS] = {p - q, p + 0.5 * q, p + 0.5 * q};
    // Rays from a pose that is no number (or beyond single precision) cannot be cast: the
    // probes get no length, so they find nothing until the pose is usable again.
    bool usable = fitsFloat(m_absolutePosition) && std::isfinite(m_absoluteOrientation.z);
    for (int i = 0; i < NUM_ISECTORS; ++i)
        usable = usable && std::isfinite(headings[i]) && std::isfinite(pitches[i]);
    if (!usable) {
        if (!m_poseUnusable)
            kuNotify::print(5, s_classType,
                            "Light lobe %s: position, direction or spread angle is not a usable "
                            "number; it lights nothing",
                            getName());
        m_poseUnusable = true;
        for (auto& isector : m_isectors)
            isector->setSegmentRange(0.0);
        return false;
    }
    m_poseUnusable = false;
    // A lobe that has not moved leaves its probes as they are: no calls, no writes. Compared
    // bit for bit, so that even the sign of a zero is passed on as before.
    const kuVec3d& position = m_absolutePosition;
    for (int i = 0; i < NUM_ISECTORS; ++i) {
        kxIsectorLOS* isector = m_isectors[i].get();
        isector->setTarget(target);
        if (!sameBits(isector->getPosition(), position))
            isector->setPosition(position.x, position.y, position.z, nullptr);
        const kuVec3d orientation(headings[i], pitches[i], 0.0);
        if (!sameBits(isector->getOrientation(), orientation))
            isector->setRotate(orientation.x, orientation.y, orientation.z, false);
        isector->setSegmentRange(4.0 * m_fadeRange);
    }
    const kuVec3d& a = m_absolutePosition;
    if (kuNotify::isWanted(kuNotify::TRACE))
        kuNotify::print(
            2, s_classType,
            "Isector 1 pos: (%f,%f,%f),(%f,%f,0.0)\nIsector 2 pos: (%f,%f,%f),(%f,%f,0.0)"
            "\nIsector 3 pos: (%f,%f,%f),(%f,%f,0.0)",
            a.x, a.y, a.z, headings[0], pitches[0], a.x, a.y, a.z, headings[1], pitches[1], a.x,
            a.y, a.z, headings[2], pitches[2]);

    kuVec3d points[NUM_ISECTORS];
    kuVec3d normals[NUM_ISECTORS];
    bool valid[NUM_ISECTORS];
    for (int i = 0; i < NUM_ISECTORS; ++i) {
        kuVec3f normal;
        // The service stores results between frames on this thread: no lock needed to read them.
        valid[i] = m_isectors[i]->getHitUnlocked(&points[i], &normal) == 1;
        if (valid[i])
            normals[i] = kuVec3d(normal);
    }

    kuVec3d hitPoint, hitNormal;
    int count = 0;
    if (valid[0] && valid[1] && valid[2]) {
        hitPoint = (points[0] + points[1] + points[2]) / 3.0;
        hitNormal = (points[0] - points[1]).cross(points[1] - points[2]);
        count = 3;
    } else {
        for (int i = 0; i < NUM_ISECTORS; ++i) {
            if (!valid[i])
                continue;
            if (count == 0) {
                hitPoint = points[i];
                hitNormal = normals[i];
            } else {
                hitPoint = (hitPoint + points[i]) / 2.0;
                hitNormal = (hitNormal + normals[i]) / 2.0;
            }
            ++count;
        }
    }
    if (count == 0)
        return false;

    kuVec3d unit = hitNormal;
    // Collinear hits or opposing normals give no plane: keep the last one rather than make a
    // zero plane that would turn the footprint into NaNs.
    // A squared length is finite exactly when the length is: no square roots for the test.
    if (!(unit.normalize() > 0) || !std::isfinite(unit.length2()) ||
        !std::isfinite(hitPoint.length2()))
        return false;
    m_hitPoint = hitPoint;
    m_hitNormal = hitNormal;
    double d = hitPoint.dot(unit);
    if (-1e-06 < d && d < 1e-06)
        d = 0.01;
    m_groundPlane = unit * d;
    if (kuNotify::isWanted(kuNotify::TRACE))
        kuNotify::print(2, s_classType, "Got valid hit for lobe %s: pt (%g,%g,%g) norm (%g,%g,%g)",
                        getName(), hitPoint.x, hitPoint.y, hitPoint.z, m_groundPlane.x,
                        m_groundPlane.y, m_groundPlane.z);
    return true;
}

void kxLightLobe::computeVerts() {
    // Rolled, pitched, then headed.
    kuMatrixd rotation;
    rotation.makeRotate(m_absoluteOrientation.x, m_absoluteOrientation.y, m_absoluteOrientation.z);
    computeVerts(rotation);
}

void kxLightLobe::computeVerts(const kuMatrixd& rotation) {
    const bool trace = kuNotify::isWanted(kuNotify::TRACE);
    // A lobe-local direction (x, y, z) points along x*axes[0] + y*axes[1] + z*axes[2] in the
    // world; the lobe sits at its absolute position.
    double axes[3][3];
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            axes[r][c] = rotation(r, c);
    const kuVec3d& origin = m_absolutePosition;

    // Half-width of the beam at unit distance and the rays' inverse lengths depend on the spread
    // angle alone: made again only when it changes.
    if (!m_footprintMade || m_footprintSpread != m_spreadAngle) {
        // Both steps in single precision.
        const float angle = static_cast<float>(m_spreadAngle / 114.59156);
        const float t = static_cast<float>(std::tan(static_cast<double>(angle)));
        const double outer = t, inner = 0.3333 * t;
        m_footprintOuter = outer;
        m_footprintInner = inner;
        // A rotation keeps lengths, so a ray's length is that of its lobe-local direction
        // (x, 1, z): by symmetry only three differ.
        m_footprintInverse[0] = 1.0 / std::sqrt(1.0 + 2.0 * outer * outer);
        m_footprintInverse[1] = 1.0 / std::sqrt(1.0 + outer * outer + inner * inner);
        m_footprintInverse[2] = 1.0 / std::sqrt(1.0 + 2.0 * inner * inner);
        m_footprintSpread = m_spreadAngle;
        m_footprintMade = true;
    }
    const double outer = m_footprintOuter, inner = m_footprintInner;
    const double rowZ[4] = {outer, inner, -inner, -outer};
    const double columnX[4] = {-outer, -inner, inner, outer};
    const double oo = m_footprintInverse[0], oi = m_footprintInverse[1], ii = m_footprintInverse[2];
    const double inverse[4][4] = {
        {oo, oi, oi, oo}, {oi, ii, ii, oi}, {oi, ii, ii, oi}, {oo, oi, oi, oo}};

    const kuVec3d& plane = m_groundPlane;
    const double numer = plane.dot(plane - origin);
    // The plane's normal along each lobe axis: plane . ray without turning every ray first.
    const double planeAlong[3] = {plane.dot(kuVec3d(axes[0][0], axes[0][1], axes[0][2])),
                                  plane.dot(kuVec3d(axes[1][0], axes[1][1], axes[1][2])),
                                  plane.dot(kuVec3d(axes[2][0], axes[2][1], axes[2][2]))};
    const double fadeRange = m_fadeRange;
    const double inverseFadeRange = 1.0 / fadeRange;
    const double brightnessAtLobe = m_brightness;

    // A ray before normalising is (x * axes[0] + axes[1]) + z * axes[2]: the first sum depends
    // on the column alone, the second term on the row alone, so each is made four times rather
    // than sixteen (in the same order of operations, so the same bits).
    double columnRay[3][4], rowRay[3][4], columnAlong[4], rowAlong[4];
    for (int i = 0; i < 4; ++i) {
        for (int c = 0; c < 3; ++c) {
            columnRay[c][i] = columnX[i] * axes[0][c] + axes[1][c];
            rowRay[c][i] = rowZ[i] * axes[2][c];
        }
        columnAlong[i] = columnX[i] * planeAlong[0] + planeAlong[1];
        rowAlong[i] = rowZ[i] * planeAlong[2];
    }

    // Sixteen rays side by side (one array per coordinate); a vertex that is not a finite point
    // in front of the lobe is redone one by one below. The test is stricter than finiteness
    // (coordinates beyond 1e150 are redone too), which the slow path settles exactly.
    double rayX[NUM_VERTICES], rayY[NUM_VERTICES], rayZ[NUM_VERTICES], along[NUM_VERTICES];
    double brightness[NUM_VERTICES];
    const double originX = origin.x, originY = origin.y, originZ = origin.z;
    // Row by row, four lanes of the same operations: the compiler may run them on vectors.
    for (int row = 0; row < 4; ++row) {
        const int k = 4 * row;
        for (int column = 0; column < 4; ++column) {
            const double inv = inverse[row][column];
            rayX[k + column] = (columnRay[0][column] + rowRay[0][row]) * inv;
            rayY[k + column] = (columnRay[1][column] + rowRay[1][row]) * inv;
            rayZ[k + column] = (columnRay[2][column] + rowRay[2][row]) * inv;
            // Along the unit ray the distance from the lobe is the ray parameter itself.
            along[k + column] = numer / ((columnAlong[column] + rowAlong[row]) * inv);
        }
    }
    // Straight into the footprint; NaN fails every comparison.
    constexpr double LARGE = 1e150;
    bool regular = true;
    for (int k = 0; k < NUM_VERTICES; ++k) {
        const double t = along[k];
        const double x = originX + rayX[k] * t, y = originY + rayY[k] * t,
                     z = originZ + rayZ[k] * t;
        const double fade = 1.0 - t * inverseFadeRange;
        const double b = t < fadeRange ? brightnessAtLobe * fade * fade : 0.0;
        brightness[k] = b;
        m_vertices[k].set(x, y, z);
        m_vertexBrightness[k] = b > 0 ? static_cast<float>(b) : 0.0f;
        regular &= (t > 0) & (std::fabs(x) <= LARGE) & (std::fabs(y) <= LARGE) &
                   (std::fabs(z) <= LARGE) & (std::fabs(b) <= DBL_MAX);
    }
    const bool irregular = !regular;
    if (!irregular && !trace)
        return;

    kuVec3d below;
    bool belowKnown = false;
    const bool originFinite = std::isfinite(origin.length());
    for (int k = 0; k < NUM_VERTICES; ++k) {
        kuVec3d point = m_vertices[k];
        double b = brightness[k];
        if (along[k] > 0) {
            if (trace)
                kuNotify::print(2, s_classType, "Lobe %s pt %d good, t=%f", getName(), k, along[k]);
        } else {
            // The ray runs parallel to the ground or away from it: the vertex goes far out
            // along the ground in the ray's direction.
            if (trace)
                kuNotify::print(2, s_classType, "Lobe %s pt %d out at infinity, t=%f", getName(), k,
                                along[k]);
            if (!belowKnown) {
                below = origin + plane * (numer / plane.dot(plane));
                belowKnown = true;
            }
            kuVec3d u = kuVec3d(rayX[k], rayY[k], rayZ[k]).cross(plane);
            u.normalize();
            kuVec3d w = plane.cross(u);
            w.normalize();
            point = below + w * 100000.0;
            b = 0;
            const double dist = (point - origin).length();
            if (dist < fadeRange) {
                const double fade = 1.0 - dist / fadeRange;
                b = brightnessAtLobe * fade * fade;
            }
        }
        // Without a plane yet, or from a non-finite pose, there is no footprint: keep the
        // vertex finite (at the lobe, or the origin) and dark, so nothing is drawn.
        if (!std::isfinite(point.length()) || !std::isfinite(b)) {
            point = originFinite ? origin : kuVec3d();
            b = 0;
        }
        m_vertexBrightness[k] = b > 0 ? static_cast<float>(b) : 0.0f;
        m_vertices[k] = point;
        if (trace)
            kuNotify::print(2, s_classType, "Setting lobe %s pt %d: (%g,%g,%g) br: %g", getName(),
                            k, point.x, point.y, point.z,
                            static_cast<double>(m_vertexBrightness[k]));
    }
}

void kxLightLobe::computeTexMat() {
    // It depends on the spread angle alone.
    if (m_textureMatrixMade && m_spreadAngle == m_textureMatrixSpread)
        return;
    m_textureMatrixMade = true;
    m_textureMatrixSpread = m_spreadAngle;
    kuMatrixf step;
    m_textureMatrix.makeTranslate(0.5f, 0.5f, 0.4554f);
    step.makeScale(0.5f, 0.5f, 0.5f);
    m_textureMatrix.preMultiply(step);

    const float r = static_cast<float>(std::tan(m_spreadAngle * 0.5 * kuMath<double>::DEG2RAD));
    if (!(r > 0.0f) || !std::isfinite(r)) {
        // No cone to project across: send every point to the texture's black border.
        m_textureMatrix.makeScale(0.0f, 0.0f, 0.0f);
        m_textureMatrix(3, 0) = m_textureMatrix(3, 1) = -1.0f;
        m_textureMatrix(3, 3) = 1.0f;
        return;
    }
    const float l = -r, top = r, bottom = -r, n = 1.0f, f = 100.0f;
    kuMatrixf frustum;
    frustum(0, 0) = 2 * n / (r - l);
    frustum(1, 1) = 2 * n / (top - bottom);
    frustum(2, 0) = (r + l) / (r - l);
    frustum(2, 1) = (top + bottom) / (top - bottom);
    frustum(2, 2) = -(f + n) / (f - n);
    frustum(2, 3) = -1.0f;
    frustum(3, 2) = -(2 * f * n) / (f - n);
    frustum(3, 3) = 0.0f;
    m_textureMatrix.preMultiply(frustum);
}

void kxLightLobe::addIsectorsToService() {
    kxIsectorService* service = kxLightMap::instance()->getIsectorService();
    kuNotify::print(2, s_classType, "Adding isectors for lobe %s to service", getName());
    if (!service)
        return;
    for (auto& isector : m_isectors)
        if (isector)
            service->addIsector(isector.get(), ISECTOR_SERVICE_MODE);
}

void kxLightLobe::removeIsectorsFromService() {
    // The light map may already be gone at process end; do not make a new one for this.
    kxLightMap* map = kxLightMap::getStaticClassType() ? kxLightMap::instance() : nullptr;
    kxIsectorService* service = map ? map->getIsectorService() : nullptr;
    if (!service)
        return;
    for (auto& isector : m_isectors)
        if (isector && service->hasIsector(isector.get()))
            service->removeIsector(isector.get());
}

// ---- cull ----

void kxLightLobe::setCullRecordFactory(ksCullRecordFactory* factory) {
    m_cullRecordFactory = factory;
    if (ksThreadBuffer* buffer = getThreadBuffer())
        buffer->appendUpdate(this, TOKEN_CULL_RECORD_FACTORY, nullptr, true);
}

ksCullRecordFactory* kxLightLobe::getCullRecordFactory() const {
    return m_cullRecordFactory.get();
}

kxLightLobe::CullRecordFactory* kxLightLobe::getSharedCullRecordFactory() {
    return s_cullRecordFactory.get();
}

int kxLightLobe::cull(ksTraversalCull* traversal) {
    if (!m_enable || !traversal)
        return ksTraversal::RESULT_CONTINUE;
    int result = ksTraversal::RESULT_CONTINUE;
    notifySubscribers(EVENT_CULL, traversal, &result);
    if (result & 1)
        return ksTraversal::RESULT_STOP;

    ksChannelBinMgr* bins = traversal->getChannelBinMgr();
    ksChannelBin* bin = bins ? bins->getBin(kxLightMap::getMapCreateBinID()) : nullptr;
    ksCullRecordFactory* factory = m_cullRecordFactory.get();
    if (!bins) {
        kuNotify::print(5, s_classType, "Could not get channel bin manager for light lobe %s",
                        getName());
    } else if (!bin) {
        kuNotify::print(5, s_classType, "Could not get channel bin for light lobe %s", getName());
    } else if (CullRecord* record =
                   factory ? static_cast<CullRecord*>(factory->create(traversal->getChannelId(), 0))
                           : nullptr) {
        krTexture* texture = m_texture.get();
        const bool textureEnabled = texture != nullptr;
        // A recycled record usually holds this texture already: no reference traffic then, and
        // the state itself is not touched.
        if (record->texture != texture || record->textureEnabled != textureEnabled) {
            krTexture::State* state = record->textureElement.begin_texture_state()->get();
            if (state->getTexture() != texture)
                state->setTexture(texture);
            state->setEnable(textureEnabled);
            record->texture = texture;
            record->textureEnabled = textureEnabled;
        }
        // A texture that could not be made has no image: drawn without it, the lobe would light
        // its whole footprint square, so it lights nothing.
        record->imageless = texture && (texture->getWidth() <= 0 || texture->getHeight() <= 0);
        if (m_footprints) {
            if (m_staleParts)
                takeStaleParts();
            record->footprint = &m_footprints[m_currentFootprint];
            if (!m_footprintShown)
                m_footprintShown = true;
        } else {
            // A master culled directly: its values change with the next update, so they are
            // copied.
            record->footprint = nullptr;
            record->textureTransform.matrix = m_textureMatrix;
            record->position = m_absolutePosition;
            record->orientation = m_absoluteOrientation;
            for (int k = 0; k < NUM_VERTICES; ++k) {
                record->vertexBrightness[k] = record->imageless ? 0.0f : m_vertexBrightness[k];
                record->vertices[k] = m_vertices[k];
            }
        }
        bin->insert(record, nullptr);
        if (kuNotify::isWanted(kuNotify::TRACE))
            kuNotify::print(2, s_classType, "Added cull record for light lobe %s in frame %d",
                            getName(), ksThread::resolveFrameNumber());
    } else {
        // Channel ids of 256 and above have no pool: refuse rather than write past the pools.
        kuNotify::print(5, s_classType,
                        "No cull record for light lobe %s in channel %d (no pool for it)",
                        getName(), traversal->getChannelId());
    }
    return ksNode::cull(traversal) == ksTraversal::RESULT_STOP ? ksTraversal::RESULT_STOP
                                                               : ksTraversal::RESULT_CONTINUE;
}

kxLightLobe::CullRecord::CullRecord() {
    textureElement.appendState(new krTexture::State);
    for (float& b : vertexBrightness)
        b = 0.0f;
}

kxLightLobe::CullRecord::CullRecord(const CullRecord& other)
    : ksCullRecord(other), footprint(other.footprint), imageless(other.imageless),
      textureEnabled(other.textureEnabled), texture(other.texture),
      textureTransform(other.textureTransform), position(other.position),
      orientation(other.orientation), textureElement(other.textureElement),
      intensityScale(other.intensityScale) {
    for (int k = 0; k < NUM_VERTICES; ++k) {
        vertexBrightness[k] = other.vertexBrightness[k];
        vertices[k] = other.vertices[k];
    }
    takeFootprint();
}

kxLightLobe::CullRecord& kxLightLobe::CullRecord::operator=(const CullRecord& other) {
    if (this == &other)
        return *this;
    ksCullRecord::operator=(other);
    footprint = other.footprint;
    imageless = other.imageless;
    textureEnabled = other.textureEnabled;
    texture = other.texture;
    textureTransform = other.textureTransform;
    for (int k = 0; k < NUM_VERTICES; ++k) {
        vertexBrightness[k] = other.vertexBrightness[k];
        vertices[k] = other.vertices[k];
    }
    position = other.position;
    orientation = other.orientation;
    textureElement = other.textureElement;
    intensityScale = other.intensityScale;
    takeFootprint();
    return *this;
}

kxLightLobe::CullRecord::~CullRecord() = default;

void kxLightLobe::CullRecord::takeFootprint() {
    const Footprint* from = footprint;
    if (!from)
        return;
    footprint = nullptr;
    textureTransform.matrix = from->textureMatrix;
    position = from->position;
    orientation = from->orientation;
    for (int k = 0; k < NUM_VERTICES; ++k) {
        vertexBrightness[k] = imageless ? 0.0f : from->vertexBrightness[k];
        vertices[k] = from->vertices[k];
    }
}

void kxLightLobe::CullRecord::processDraw(krDrawContext* context) {
    takeFootprint();
    if (context) {
        context->setElement(krTransform::ElementTexture::Id, textureTransform, false);
        context->setElement(krTexture::Element::Id, textureElement, false);
    }
    // A footprint beyond single precision has no place to be drawn (and converting it would
    // be undefined).
    for (const kuVec3d& vertex : vertices)
        if (!fitsFloat(vertex))
            return;
    // Three strips of eight vertices, rows top to bottom; grey levels carry the light, clamped
    // as OpenGL would clamp them, so that no overflowed or NaN colour reaches it.
    for (int row = 0; row < 3; ++row) {
        glBegin(GL_TRIANGLE_STRIP);
        for (int column = 0; column < 4; ++column) {
            for (int k : {4 * row + column, 4 * row + column + 4}) {
                const float level = vertexBrightness[k] * intensityScale;
                const float g = level > 0.0f ? std::min(level, 1.0f) : 0.0f;
                glColor3f(g, g, g);
                glVertex3f(static_cast<float>(vertices[k].x), static_cast<float>(vertices[k].y),
                           static_cast<float>(vertices[k].z));
            }
        }
        glEnd();
    }
}

// ---- texture ----

void kxLightLobe::setTexture(krTexture* texture) {
    m_texture = texture;
    if (ksThreadBuffer* buffer = getThreadBuffer())
        buffer->appendUpdate(this, TOKEN_TEXTURE, nullptr, true);
}

void kxLightLobe::createTex() {
    releaseUnusedFalloffTextures();
    kuRef<krTexture>& shared = s_falloffTextures[{static_cast<int>(m_falloff), m_textureSize}];
    if (!shared)
        shared = makeFalloffTexture();
    // Kept without image: a lobe with no texture would ask for one again every frame.
    if (shared->getWidth() <= 0)
        kuNotify::print(5, s_classType, "Light lobe %s: no texture of size %u can be made",
                        getName(), m_textureSize);
    setTexture(shared.get());
}

kuRef<krTexture> kxLightLobe::makeFalloffTexture() const {
    kuRef<krTexture> texture = new krTexture;
    texture->setWrap(3, 3, 0);
    texture->setMinFilter(2, 0);
    texture->setMagFilter(2);
    texture->setFormat(5, 2);
    const std::size_t side = m_textureSize;
    kuRef<kuAllocRef> bits =
        side > 0 && side <= MAX_TEXTURE_SIZE ? kuAllocRef::malloc(side * side * 3) : nullptr;
    if (bits) {
        kxLightMap::instance()->creatLightTextureBits(static_cast<int>(side), m_falloff,
                                                      bits->data());
        texture->setImageLevel(0, bits.get());
        texture->setDimensions(static_cast<int>(side), static_cast<int>(side), 0);
    }
    return texture;
}

KX_DEFINE_CLASS_REGISTRY(kxLightLobe)
KX_DEFINE_CLASS_REGISTRY_GET(kxLightLobe)
