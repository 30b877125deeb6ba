#include <ks/ksTransform.h>

#include <ks/ksTraversal.h>

#include <algorithm>
#include <cmath>

namespace {
kuBase::ClassType* s_classType = nullptr;
}

ksTransform::ksTransform(ksThreadBuffer* threadBuffer) : ksNode(threadBuffer) {}

ksTransform::ksTransform(ksNode** clones, int index, ksThreadBuffer* threadBuffer)
    : ksNode(clones, index, threadBuffer) {
    const auto* master = static_cast<const ksTransform*>(clones[0]);
    m_matrix = master->m_matrix;
    m_static = master->m_static;
}

const kuBase::ClassType* ksTransform::getClassType() const {
    return s_classType;
}

void ksTransform::setMatrix(const kuMatrixd& matrix) {
    m_matrix = matrix;
    // Static bounds are already in the parent's coordinates: the matrix does not move them.
    if (!getStaticBoundsEnable())
        dirtyBounds();
    queueUpdate(TOKEN_MATRIX);
}

void ksTransform::setStaticEnable(bool enable) {
    m_static = enable;
    queueUpdate(TOKEN_STATIC);
}

kuSphered ksTransform::computeBounds() const {
    const kuSphered local = ksNode::computeBounds();
    if (getStaticBoundsEnable())
        return local;
    if (!local.valid())
        return local;
    // The radius grows with the largest axis scale of the matrix.
    double scale = 0;
    for (int r = 0; r < 3; ++r) {
        const kuVec3d axis(m_matrix(r, 0), m_matrix(r, 1), m_matrix(r, 2));
        scale = std::max(scale, axis.length());
    }
    const kuVec3d center = m_matrix.transformPoint(local.center);
    const double radius = local.radius * scale;
    // A matrix that is no number bounds nothing: a NaN centre would spread through every
    // parent's bounds and could cull the whole scene.
    if (!std::isfinite(center.x) || !std::isfinite(center.y) || !std::isfinite(center.z) ||
        !(radius >= 0))
        return kuSphered();
    return kuSphered(center, radius);
}

int ksTransform::cull(ksTraversalCull* traversal) {
    traversal->pushModelMatrix(m_matrix);
    const int result = ksNode::cull(traversal);
    traversal->popModelMatrix();
    return result;
}

kuMatrixd ksTransform::getWorldMatrix() const {
    kuMatrixd world = m_matrix;
    for (const ksNode* node = getParent(0); node; node = node->getParent(0))
        if (auto* transform = dynamic_cast<const ksTransform*>(node))
            world.postMultiply(transform->m_matrix);
    return world;
}

ksNode* ksTransform::createClone(int index, ksThreadBuffer* threadBuffer) const {
    return new ksTransform(getClones(), index, threadBuffer);
}

void ksTransform::syncWithMasterClone(int token, ksNode** clones) {
    const auto* master = clones ? static_cast<const ksTransform*>(clones[0]) : nullptr;
    if (!master || master == this)
        return;
    switch (token) {
    case TOKEN_MATRIX:
        m_matrix = master->m_matrix;
        if (!getStaticBoundsEnable())
            dirtyBounds();
        break;
    case TOKEN_STATIC:
        m_static = master->m_static;
        break;
    default:
        ksNode::syncWithMasterClone(token, clones);
        break;
    }
}

kuBase* ksTransform::makeCopy(int options) const {
    kuRef<ksTransform> node = new ksTransform(nullptr);
    if (node->copy(this, options) != KU_SUCCESS)
        return nullptr;
    return node.release();
}

int ksTransform::copy(const ksTransform* source, int options) {
    if (source == this)
        return KU_SUCCESS;
    if (!source)
        return KU_FAILURE;
    const int status = ksNode::copy(source, options);
    if (status != KU_SUCCESS)
        return status;
    setMatrix(source->m_matrix);
    setStaticEnable(source->m_static);
    return KU_SUCCESS;
}

bool ksTransform::compare(const kuBase* other, int options) const {
    if (other == this)
        return true;
    if (!ksNode::compare(other, options))
        return false;
    const auto* transform = static_cast<const ksTransform*>(other);
    return m_matrix == transform->m_matrix && m_static == transform->m_static;
}

kuBase::ClassType* ksTransform::getStaticClassType() {
    return s_classType;
}

int ksTransform::initializeClass() {
    if (!s_classType)
        s_classType =
            new ClassType("ksTransform", ksNode::getStaticClassType(), nullptr, true, false);
    registerNode(s_classType);
    return KU_SUCCESS;
}

int ksTransform::shutdownClass() {
    unregisterNode(s_classType);
    delete s_classType;
    s_classType = nullptr;
    return KU_SUCCESS;
}
