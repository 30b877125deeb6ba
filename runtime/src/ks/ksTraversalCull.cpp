#include <ks/ksTraversal.h>

#include <ks/ksChannel.h>
#include <ks/ksNode.h>

#include <algorithm>
#include <cmath>

ksTraversalCull::ksTraversalCull(ksChannel* channel, ksChannelBinMgr* binMgr, int channelId,
                                 int cloneIndex, int frame)
    : m_channel(channel), m_binMgr(binMgr), m_channelId(channelId), m_cloneIndex(cloneIndex),
      m_frame(frame), m_hasFrustum(channel != nullptr) {
    if (!channel)
        return;
    // The frame's copies: the application thread may be changing the live ones.
    const ksChannel::FrameSettings settings = channel->getFrameSettings();
    m_cullMask = settings.cullMask;
    m_view = channel->getViewMatrix();
    // Planes of the projection's frustum in eye space (Gribb and Hartmann), with row vectors:
    // clip = eye * P, so the columns of P play the part of rows.
    const kuMatrixd p = settings.getProjectionMatrix();
    auto column = [&p](int c, double out[4]) {
        for (int r = 0; r < 4; ++r)
            out[r] = p(r, c);
    };
    double c0[4], c1[4], c2[4], c3[4];
    column(0, c0), column(1, c1), column(2, c2), column(3, c3);
    for (int i = 0; i < 4; ++i) {
        m_planes[0][i] = c3[i] + c0[i];
        m_planes[1][i] = c3[i] - c0[i];
        m_planes[2][i] = c3[i] + c1[i];
        m_planes[3][i] = c3[i] - c1[i];
        m_planes[4][i] = c3[i] + c2[i];
        m_planes[5][i] = c3[i] - c2[i];
    }
    for (auto& plane : m_planes) {
        const double length =
            std::sqrt(plane[0] * plane[0] + plane[1] * plane[1] + plane[2] * plane[2]);
        if (length > 0)
            for (double& value : plane)
                value /= length;
    }
    setModel(m_levels[0], kuMatrixd());
}

void ksTraversalCull::setModel(Level& level, const kuMatrixd& model) const {
    level.model = model;
    level.modelView = model * m_view;
    level.scale = 0;
    for (int r = 0; r < 3; ++r)
        level.scale = std::max(
            level.scale,
            kuVec3d(level.modelView(r, 0), level.modelView(r, 1), level.modelView(r, 2)).length());
}

kuMatrixd ksTraversalCull::getModelView() const {
    return level().modelView;
}

void ksTraversalCull::pushModelMatrix(const kuMatrixd& local) {
    const kuMatrixd model = local * getModelMatrix();
    if (m_deeper.empty() && m_depth + 1 < MAX_DEPTH) {
        setModel(m_levels[++m_depth], model);
    } else {
        m_deeper.emplace_back();
        setModel(m_deeper.back(), model);
    }
}

void ksTraversalCull::popModelMatrix() {
    if (!m_deeper.empty())
        m_deeper.pop_back();
    else if (m_depth > 0)
        --m_depth;
}

bool ksTraversalCull::isOutside(const kuSphered& bounds) const {
    if (!m_hasFrustum || !bounds.valid())
        return false;
    const Level& current = level();
    const kuVec3d center = current.modelView.transformPoint(bounds.center);
    const double radius = bounds.radius * current.scale;
    for (const auto& plane : m_planes)
        if (plane[0] * center.x + plane[1] * center.y + plane[2] * center.z + plane[3] < -radius)
            return true;
    return false;
}

int ksTraversalCull::traverse(ksNode* root) {
    if (!root || !(root->getCullMask() & m_cullMask))
        return RESULT_CONTINUE;
    if (isOutside(root->getBounds()))
        return RESULT_CONTINUE;
    ++m_visited;
    return root->cull(this);
}

void ksTraversalCull::traverseChildren(ksNode* node) {
    // Children lie apart in memory: the first lines of one a few ahead are asked for while
    // this one is visited (a node keeps what a cull reads of it there).
    constexpr int AHEAD = 2;
    const int count = node->getNumChildren();
    for (int i = 0; i < count; ++i) {
        if (i + AHEAD < count) {
            const char* next = reinterpret_cast<const char*>(node->getChild(i + AHEAD));
            __builtin_prefetch(next);
            __builtin_prefetch(next + 64);
            __builtin_prefetch(next + 127);
        }
        traverse(node->getChild(i));
    }
}
