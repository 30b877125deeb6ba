#ifndef KX_TRANSFORM_H
#define KX_TRANSFORM_H

#include <ks/ksTransform.h>
#include <kx/kxPositionable.h>

// A transform node placed by its positionable settings: its matrix is scale, then rotation
// (roll, pitch, heading), then translation to the position.
// Threads: as ksNode.
class KX_API kxTransform : public ksTransform, public kxPositionable {
public:
    // Derived node classes number their update tokens from here.
    enum Token { TOKEN_POSITIONABLE = ksTransform::FIRST_FREE_TOKEN, FIRST_FREE_TOKEN = 15 };

    explicit kxTransform(ksThreadBuffer* threadBuffer = nullptr);

    const ClassType* getClassType() const override;
    int getNodeId() const override;

    // Through the parent chain: the node's origin and axes in world coordinates.
    int getAbsolutePosition(kuVec3d* position, kuVec3d* orientation, kuVec3d* scale,
                            const kxCoordConverter* converter) const override;

    ksNode* createClone(int index, ksThreadBuffer* threadBuffer) const override;
    void syncWithMasterClone(int token, ksNode** clones) override;
    kuBase* makeCopy(int options = 0) const override;
    bool compare(const kuBase* other, int options = 0) const override;
    int copy(const kxTransform* source, int options = 0);

    static ClassType* getStaticClassType();
    static int initializeClass();
    static int shutdownClass();

protected:
    kxTransform(ksNode** clones, int index, ksThreadBuffer* threadBuffer);
    ~kxTransform() override = default;
    void positionableChanged() override;
};

#endif
