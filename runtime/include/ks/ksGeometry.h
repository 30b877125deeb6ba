#ifndef KS_GEOMETRY_H
#define KS_GEOMETRY_H

#include <kr/krGeometry.h>
#include <ks/ksCullRecord.h>
#include <ks/ksNode.h>

#include <vector>

class krState;

// A leaf node that draws geometry. Each geometry slot holds a krGeometry and the id of the
// channel bin it is drawn from (0, the scene's opaque bin, by default). Clones share the
// master's geometry objects.
// Threads: as ksNode.
class KX_API ksGeometry : public ksNode {
public:
    enum Token { TOKEN_GEOMETRY = ksNode::FIRST_FREE_TOKEN, FIRST_FREE_TOKEN };

    explicit ksGeometry(ksThreadBuffer* threadBuffer = nullptr);

    // Sets slot index (growing the slot list as needed). 1, or -32767 for a negative index.
    int setGeometry(krGeometry* geometry, int index);
    krGeometry* getGeometry(int index) const;
    int getNumGeometries() const;
    int setChannelBinId(int binId, int index);
    int getChannelBinId(int index) const;
    // The render state a slot is drawn with (null: lit, depth-tested defaults).
    int setState(krState* state, int index);
    krState* getState(int index) const;
    // Changes whenever a slot or a slot's geometry changes.
    unsigned int getGeometryRevision() const;

    // Leaves one record per geometry slot in the slot's bin.
    int cull(ksTraversalCull* traversal) override;
    const ClassType* getClassType() const override;
    int getNodeId() const override;
    ksNode* createClone(int index, ksThreadBuffer* threadBuffer) const override;
    void syncWithMasterClone(int token, ksNode** clones) override;

    static ClassType* getStaticClassType();
    static int initializeClass();
    static int shutdownClass();

protected:
    ksGeometry(ksNode** clones, int index, ksThreadBuffer* threadBuffer);
    ~ksGeometry() override;
    // The slots' geometry bounds (static bounds are kept as set).
    kuSphered computeBounds() const override;

private:
    // The master watches its slots' geometry: an edit lets go of the cached bounds here and
    // tells the clones at the next rendezvous.
    class GeometryWatch : public krGeometry::Observer {
    public:
        explicit GeometryWatch(ksGeometry* owner) : m_owner(owner) {}
        void geometryChanged(krGeometry* geometry) override;

    private:
        ksGeometry* m_owner;
    };
    void watch(krGeometry* geometry, bool enable);

    GeometryWatch m_watch{this};
    struct Slot;
    std::vector<Slot> m_slots;
    unsigned int m_slotRevision = 1;
};

// The record a geometry slot leaves in its bin: draws the geometry with the slot's state.
class KX_API ksGeometryCullRecord : public ksCullRecord {
public:
    void processDraw(krDrawContext* context) override;
    void recycle() override;
    // Held until the record is recycled (the node may drop it while the frame is drawn).
    kuRef<const krGeometry> geometry;
};

#endif
