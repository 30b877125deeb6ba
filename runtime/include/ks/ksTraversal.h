#ifndef KS_TRAVERSAL_H
#define KS_TRAVERSAL_H

#include <ku/kuExport.h>
#include <ku/kuMatrix.h>
#include <ku/kuSphere.h>

#include <vector>

class ksChannel;
class ksChannelBinMgr;
class ksNode;

class KX_API ksTraversal {
public:
    // What a node's visit tells the traversal.
    enum Result {
        RESULT_STOP = 1,    // a subscriber took over: nothing more for this node
        RESULT_PRUNE = 2,   // skip the node's children
        RESULT_CONTINUE = 4 // carry on
    };
};

// The cull of one channel for one frame, over one pipeline's clones: walks the scene, skips
// nodes outside the channel's cull mask or view frustum and lets each node leave cull records
// in the channel's bins.
// Threads: the channel's cull thread (the application thread in serial mode).
class KX_API ksTraversalCull : public ksTraversal {
public:
    ksTraversalCull(ksChannel* channel, ksChannelBinMgr* binMgr, int channelId, int cloneIndex,
                    int frame);

    // Walks root (a clone of this traversal's pipeline). Returns the root's result.
    int traverse(ksNode* root);
    // Visits each child of node that passes the mask and frustum tests.
    void traverseChildren(ksNode* node);

    ksChannelBinMgr* getChannelBinMgr() const { return m_binMgr; }
    int getChannelId() const { return m_channelId; }
    int getCloneIndex() const { return m_cloneIndex; }
    int getFrameNumber() const { return m_frame; }
    const ksChannel* getChannel() const { return m_channel; }

    // The model matrix of the node being visited (its coordinates to world coordinates).
    const kuMatrixd& getModelMatrix() const { return level().model; }
    // model * view: the node's coordinates to the channel's eye coordinates.
    kuMatrixd getModelView() const;
    // A transform node's visit: local applies before the matrix of its parents.
    void pushModelMatrix(const kuMatrixd& local);
    void popModelMatrix();
    // True when a sphere in the current model coordinates lies wholly outside the frustum.
    bool isOutside(const kuSphered& bounds) const;

    int getNumVisited() const { return m_visited; }

private:
    ksChannel* m_channel;
    ksChannelBinMgr* m_binMgr;
    int m_channelId;
    int m_cloneIndex;
    int m_frame;
    unsigned int m_cullMask = 0xffffffffu;
    kuMatrixd m_view;
    double m_planes[6][4]; // eye-space frustum planes, inside where a·x+b·y+c·z+d >= 0
    bool m_hasFrustum;
    // Per nested transform: its model matrix, and the model-view matrix with its largest axis
    // scale, made once at the push rather than for every node tested beneath it.
    struct Level {
        kuMatrixd model;
        kuMatrixd modelView;
        double scale = 1.0;
    };
    const Level& level() const { return m_deeper.empty() ? m_levels[m_depth] : m_deeper.back(); }
    void setModel(Level& level, const kuMatrixd& model) const;
    // A fixed stack, so that a cull allocates nothing, with a heap continuation for unusually
    // deep scenes.
    enum { MAX_DEPTH = 64 };
    Level m_levels[MAX_DEPTH];
    int m_depth = 0;
    std::vector<Level> m_deeper;
    int m_visited = 0;
};

#endif
