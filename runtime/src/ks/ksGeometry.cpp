#include <ks/ksGeometry.h>

#include <kr/krDrawContext.h>
#include <kr/krGeometry.h>
#include <kr/krRenderElements.h>
#include <kr/krState.h>
#include <ks/ksChannelBin.h>
#include <ks/ksTraversal.h>

namespace {
kuBase::ClassType* s_classType = nullptr;
}

struct ksGeometry::Slot {
    kuRef<krGeometry> geometry;
    kuRef<krState> state;
    int binId = 0;
};

namespace {
typedef ksCullRecordFactoryDerived<ksGeometryCullRecord, ksCullRecordPool<ksGeometryCullRecord>,
                                   ksCullRecordFactory>
    GeometryRecordFactory;

GeometryRecordFactory* recordFactory() {
    // Lives for the process: records of a frame in flight may outlive any one node.
    static GeometryRecordFactory* s_factory = [] {
        auto* factory = new GeometryRecordFactory;
        factory->ref();
        return factory;
    }();
    return s_factory;
}

// Slots without a state of their own: lit, depth-tested, and taking the techniques every
// shaderized state inherits (the lights a module projects onto the scene, for instance).
krState* defaultState() {
    static krState* s_state = [] {
        auto* state = new krState(true);
        state->ref();
        state->setElement(krLighting::Element(true));
        state->setShaderized(true);
        return state;
    }();
    return s_state;
}
} // namespace

ksGeometry::ksGeometry(ksThreadBuffer* threadBuffer) : ksNode(threadBuffer) {}

ksGeometry::ksGeometry(ksNode** clones, int index, ksThreadBuffer* threadBuffer)
    : ksNode(clones, index, threadBuffer) {
    const auto* master = static_cast<const ksGeometry*>(clones[0]);
    m_slots = master->m_slots;
    m_slotRevision = master->m_slotRevision;
}

ksGeometry::~ksGeometry() = default;

int ksGeometry::getNumGeometries() const {
    return static_cast<int>(m_slots.size());
}

int ksGeometry::setGeometry(krGeometry* geometry, int index) {
    if (index < 0)
        return KU_FAILURE;
    if (static_cast<std::size_t>(index) >= m_slots.size())
        m_slots.resize(static_cast<std::size_t>(index) + 1);
    m_slots[static_cast<std::size_t>(index)].geometry = geometry;
    ++m_slotRevision;
    queueUpdate(TOKEN_GEOMETRY);
    return KU_SUCCESS;
}

krGeometry* ksGeometry::getGeometry(int index) const {
    return index >= 0 && index < getNumGeometries()
               ? m_slots[static_cast<std::size_t>(index)].geometry.get()
               : nullptr;
}

int ksGeometry::setChannelBinId(int binId, int index) {
    if (index < 0)
        return KU_FAILURE;
    if (static_cast<std::size_t>(index) >= m_slots.size())
        m_slots.resize(static_cast<std::size_t>(index) + 1);
    m_slots[static_cast<std::size_t>(index)].binId = binId;
    queueUpdate(TOKEN_GEOMETRY);
    return KU_SUCCESS;
}

int ksGeometry::getChannelBinId(int index) const {
    return index >= 0 && index < getNumGeometries() ? m_slots[static_cast<std::size_t>(index)].binId
                                                    : 0;
}

int ksGeometry::setState(krState* state, int index) {
    if (index < 0)
        return KU_FAILURE;
    if (static_cast<std::size_t>(index) >= m_slots.size())
        m_slots.resize(static_cast<std::size_t>(index) + 1);
    m_slots[static_cast<std::size_t>(index)].state = state;
    queueUpdate(TOKEN_GEOMETRY);
    return KU_SUCCESS;
}

krState* ksGeometry::getState(int index) const {
    return index >= 0 && index < getNumGeometries()
               ? m_slots[static_cast<std::size_t>(index)].state.get()
               : nullptr;
}

int ksGeometry::cull(ksTraversalCull* traversal) {
    int result = ksTraversal::RESULT_CONTINUE;
    notifySubscribers(EVENT_CULL, traversal, &result);
    if (result & ksTraversal::RESULT_STOP)
        return ksTraversal::RESULT_STOP;
    ksChannelBinMgr* bins = traversal->getChannelBinMgr();
    if (!bins)
        return ksTraversal::RESULT_CONTINUE;
    const kuMatrixd modelView = traversal->getModelView();
    for (const Slot& slot : m_slots) {
        ksChannelBin* bin = slot.geometry ? bins->getBin(slot.binId) : nullptr;
        if (!bin)
            continue;
        auto* record = static_cast<ksGeometryCullRecord*>(recordFactory()->create(
            traversal->getChannelId(), ksCullRecord::FLAG_MODELVIEW | ksCullRecord::FLAG_STATE));
        if (!record)
            continue;
        record->geometry = slot.geometry.get();
        record->setModelView(modelView);
        record->setState(slot.state ? slot.state.get() : defaultState());
        bin->insert(record, nullptr);
    }
    return ksTraversal::RESULT_CONTINUE;
}

void ksGeometryCullRecord::processDraw(krDrawContext* context) {
    if (context)
        context->drawGeometry(geometry.get());
}

void ksGeometryCullRecord::recycle() {
    geometry = nullptr;
    ksCullRecord::recycle();
}

unsigned int ksGeometry::getGeometryRevision() const {
    unsigned int revision = m_slotRevision;
    for (const Slot& slot : m_slots)
        if (slot.geometry)
            revision = revision * 31u + slot.geometry->getRevision();
    return revision;
}

kuSphered ksGeometry::getBounds() const {
    if (getStaticBoundsEnable())
        return ksNode::getBounds();
    kuSphered bounds;
    for (const Slot& slot : m_slots)
        if (slot.geometry)
            bounds.expandBy(slot.geometry->getBounds());
    return bounds;
}

ksNode* ksGeometry::createClone(int index, ksThreadBuffer* threadBuffer) const {
    return new ksGeometry(getClones(), index, threadBuffer);
}

void ksGeometry::syncWithMasterClone(int token, ksNode** clones) {
    const auto* master = clones ? static_cast<const ksGeometry*>(clones[0]) : nullptr;
    if (!master || master == this)
        return;
    if (token == TOKEN_GEOMETRY) {
        m_slots = master->m_slots;
        m_slotRevision = master->m_slotRevision;
        return;
    }
    ksNode::syncWithMasterClone(token, clones);
}

const kuBase::ClassType* ksGeometry::getClassType() const {
    return s_classType;
}
int ksGeometry::getNodeId() const {
    return getRegisteredNodeId(s_classType);
}
kuBase::ClassType* ksGeometry::getStaticClassType() {
    return s_classType;
}

int ksGeometry::initializeClass() {
    if (!s_classType)
        s_classType =
            new ClassType("ksGeometry", ksNode::getStaticClassType(), nullptr, true, false);
    registerNode(s_classType);
    return KU_SUCCESS;
}

int ksGeometry::shutdownClass() {
    unregisterNode(s_classType);
    delete s_classType;
    s_classType = nullptr;
    return KU_SUCCESS;
}
