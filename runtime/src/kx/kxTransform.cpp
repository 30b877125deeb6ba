#include <kx/kxTransform.h>

namespace {
kuBase::ClassType* s_classType = nullptr;
}

kxTransform::kxTransform(ksThreadBuffer* threadBuffer) : ksTransform(threadBuffer) {}

kxTransform::kxTransform(ksNode** clones, int index, ksThreadBuffer* threadBuffer)
    : ksTransform(clones, index, threadBuffer),
      kxPositionable(*static_cast<const kxTransform*>(clones[0])) {
    // The master runs the strategy; the clone only copies where it went.
    markReplica();
}

const kuBase::ClassType* kxTransform::getClassType() const {
    return s_classType;
}

int kxTransform::getNodeId() const {
    return getRegisteredNodeId(s_classType);
}

void kxTransform::positionableChanged() {
    kuMatrixd scale, rotate, translate;
    const kuVec3d& s = getScale();
    const kuVec3d& o = getOrientation();
    const kuVec3d& p = getPosition();
    scale.makeScale(s.x, s.y, s.z);
    rotate.makeRotate(o.x, o.y, o.z);
    translate.makeTranslate(p.x, p.y, p.z);
    setMatrix(scale * rotate * translate);
    queueUpdate(TOKEN_POSITIONABLE);
}

int kxTransform::getAbsolutePosition(kuVec3d* position, kuVec3d* orientation, kuVec3d* scale,
                                     const kxCoordConverter* converter) const {
    const kuMatrixd world = getWorldMatrix();
    if (orientation)
        *orientation = world.getHPR();
    if (scale)
        for (int r = 0; r < 3; ++r)
            (*scale)[r] = kuVec3d(world(r, 0), world(r, 1), world(r, 2)).length();
    return position ? convertToFrame(world.getTrans(), converter, position) : KU_SUCCESS;
}

ksNode* kxTransform::createClone(int index, ksThreadBuffer* threadBuffer) const {
    return new kxTransform(getClones(), index, threadBuffer);
}

void kxTransform::syncWithMasterClone(int token, ksNode** clones) {
    const auto* master = clones ? static_cast<const kxTransform*>(clones[0]) : nullptr;
    if (!master || master == this)
        return;
    if (token == TOKEN_POSITIONABLE) {
        copyPositionable(*master);
        // Take the master's matrix as it is (it may have been set directly).
        ksTransform::syncWithMasterClone(ksTransform::TOKEN_MATRIX, clones);
        return;
    }
    ksTransform::syncWithMasterClone(token, clones);
}

kuBase* kxTransform::makeCopy(int options) const {
    kuRef<kxTransform> node = new kxTransform(nullptr);
    if (node->copy(this, options) != KU_SUCCESS)
        return nullptr;
    return node.release();
}

int kxTransform::copy(const kxTransform* source, int options) {
    if (source == this)
        return KU_SUCCESS;
    if (!source)
        return KU_FAILURE;
    const int status = ksTransform::copy(source, options);
    if (status != KU_SUCCESS)
        return status;
    copyPositionable(*source);
    return KU_SUCCESS;
}

bool kxTransform::compare(const kuBase* other, int options) const {
    if (other == this)
        return true;
    if (!ksTransform::compare(other, options))
        return false;
    return comparePositionable(*static_cast<const kxTransform*>(other));
}

kuBase::ClassType* kxTransform::getStaticClassType() {
    return s_classType;
}

int kxTransform::initializeClass() {
    if (!s_classType)
        s_classType =
            new ClassType("kxTransform", ksTransform::getStaticClassType(), nullptr, true, false);
    registerNode(s_classType);
    return KU_SUCCESS;
}

int kxTransform::shutdownClass() {
    unregisterNode(s_classType);
    delete s_classType;
    s_classType = nullptr;
    return KU_SUCCESS;
}
