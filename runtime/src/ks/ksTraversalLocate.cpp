#include <ks/ksTraversalLocate.h>

#include <ks/ksTransform.h>

int ksTraversalLocate::setMode(int mode) {
    if (mode != MODE_PARENT && mode != MODE_WORLD)
        return -32767;
    m_mode = mode;
    return 1;
}

void ksTraversalLocate::reset() {
    m_matrix.makeIdentity();
    m_visited = 0;
}

int ksTraversalLocate::visit(const ksNode* node) {
    reset();
    if (!node)
        return RESULT_STOP;
    // Row vectors: a node's matrix applies before those of the transforms above it.
    for (const ksNode* at = node; at && m_visited < MAX_DEPTH; at = at->getParent(0), ++m_visited) {
        if (at == node && m_mode == MODE_PARENT)
            continue;
        if (auto* transform = dynamic_cast<const ksTransform*>(at))
            m_matrix.postMultiply(transform->getMatrix());
    }
    return RESULT_CONTINUE;
}
