#ifndef KS_TRAVERSAL_LOCATE_H
#define KS_TRAVERSAL_LOCATE_H

#include <ks/ksTraversal.h>
#include <ku/kuMatrix.h>

class ksNode;

// Finds where a node lies in the world: walks from the node up through the first parent of
// each node and gathers the matrices of the transforms on the way. It allocates nothing, so it
// can run every frame.
// Threads: whichever thread may read the nodes it walks (the application thread on masters).
class KX_API ksTraversalLocate : public ksTraversal {
public:
    enum Mode {
        MODE_PARENT =
            1,         // the node's parent's coordinates to world (the node's own matrix left out)
        MODE_WORLD = 2 // the node's own coordinates to world
    };
    // Parent chains longer than this are taken for a loop and cut there.
    enum { MAX_DEPTH = 4096 };

    ksTraversalLocate() = default;

    // 1, or -32767 (mode unchanged) for a mode not in Mode.
    int setMode(int mode);
    int getMode() const { return m_mode; }
    // Back to the identity, nothing visited.
    void reset();
    // Locates node: the top matrix becomes the matrix of the mode. RESULT_CONTINUE, or
    // RESULT_STOP for a null node (the top matrix stays the identity).
    int visit(const ksNode* node);
    // The matrix found by the last visit (the identity after reset).
    const kuMatrixd& getTopMatrixStack() const { return m_matrix; }
    // Nodes the last visit passed through, the node itself included.
    int getNumVisited() const { return m_visited; }

private:
    int m_mode = MODE_WORLD;
    kuMatrixd m_matrix;
    int m_visited = 0;
};

#endif
