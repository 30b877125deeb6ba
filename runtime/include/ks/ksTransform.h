#ifndef KS_TRANSFORM_H
#define KS_TRANSFORM_H

#include <ks/ksNode.h>
#include <ku/kuMatrix.h>

// A node that places its children with a matrix (row vectors: child point * matrix = point in
// this node's parent's coordinates), and carries the static flag: a static transform is not
// expected to move, so work that depends on its place may be done once.
// Threads: as ksNode.
class KX_API ksTransform : public ksNode {
public:
    enum Token { TOKEN_MATRIX = ksNode::FIRST_FREE_TOKEN, TOKEN_STATIC, FIRST_FREE_TOKEN };

    explicit ksTransform(ksThreadBuffer* threadBuffer = nullptr);

    const ClassType* getClassType() const override;

    void setMatrix(const kuMatrixd& matrix);
    const kuMatrixd& getMatrix() const { return m_matrix; }
    void setStaticEnable(bool enable);
    bool getStaticEnable() const { return m_static; }

    // Visits the children with this node's matrix applied.
    int cull(ksTraversalCull* traversal) override;
    // The matrix from this node's coordinates to world coordinates, through the first parent
    // of each node up the chain.
    kuMatrixd getWorldMatrix() const;

    ksNode* createClone(int index, ksThreadBuffer* threadBuffer) const override;
    void syncWithMasterClone(int token, ksNode** clones) override;
    kuBase* makeCopy(int options = 0) const override;
    bool compare(const kuBase* other, int options = 0) const override;
    int copy(const ksTransform* source, int options = 0);

    static ClassType* getStaticClassType();
    static int initializeClass();
    static int shutdownClass();

protected:
    // The children's bounds carried through the matrix (static bounds are kept as set).
    kuSphered computeBounds() const override;
    ksTransform(ksNode** clones, int index, ksThreadBuffer* threadBuffer);
    ~ksTransform() override = default;

private:
    kuMatrixd m_matrix;
    bool m_static = false;
};

#endif
