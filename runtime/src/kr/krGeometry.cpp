#include <kr/krGeometry.h>

#include <algorithm>

namespace {
kuBase::ClassType* s_classType = nullptr;
}

krGeometry::krGeometry() { registerInstance(s_classType); }
krGeometry::~krGeometry() { unregisterInstance(s_classType); }

void krGeometry::setPrimitiveType(int type) {
    m_primitiveType = type;
    changed();
}

void krGeometry::setVertices(const std::vector<kuVec3f>& vertices) {
    m_vertices = vertices;
    changed();
}

void krGeometry::setNormals(const std::vector<kuVec3f>& normals, int binding) {
    m_normals = normals;
    m_normalBinding = binding;
    changed();
}

void krGeometry::setColors(const std::vector<kuVec4f>& colors, int binding) {
    m_colors = colors;
    m_colorBinding = binding;
    changed();
}

void krGeometry::setTexCoords(const std::vector<kuVec2f>& texCoords) {
    m_texCoords = texCoords;
    changed();
}

void krGeometry::setIndices(const std::vector<unsigned int>& indices) {
    m_indices = indices;
    changed();
}

std::vector<unsigned int> krGeometry::getTriangleIndices() const {
    const std::size_t count = m_indices.empty() ? m_vertices.size() : m_indices.size();
    auto index = [this](std::size_t i) {
        return m_indices.empty() ? static_cast<unsigned int>(i) : m_indices[i];
    };
    std::vector<unsigned int> triangles;
    auto add = [&](unsigned int a, unsigned int b, unsigned int c) {
        const std::size_t n = m_vertices.size();
        if (a < n && b < n && c < n && a != b && b != c && a != c)
            triangles.insert(triangles.end(), {a, b, c});
    };
    switch (m_primitiveType) {
    case PRIMITIVE_TRIANGLES:
        triangles.reserve(count);
        for (std::size_t i = 0; i + 2 < count; i += 3)
            add(index(i), index(i + 1), index(i + 2));
        break;
    case PRIMITIVE_TRIANGLE_STRIP:
        // Every other triangle is flipped so that all keep the strip's winding.
        for (std::size_t i = 0; i + 2 < count; ++i) {
            if (i % 2 == 0)
                add(index(i), index(i + 1), index(i + 2));
            else
                add(index(i + 1), index(i), index(i + 2));
        }
        break;
    case PRIMITIVE_TRIANGLE_FAN:
        for (std::size_t i = 1; i + 1 < count; ++i)
            add(index(0), index(i), index(i + 1));
        break;
    default:
        break;
    }
    return triangles;
}

kuSphered krGeometry::getBounds() const {
    if (m_vertices.empty())
        return kuSphered();
    kuVec3d lo(m_vertices[0]), hi(m_vertices[0]);
    for (const kuVec3f& v : m_vertices)
        for (int a = 0; a < 3; ++a) {
            lo[a] = std::min(lo[a], double(v[a]));
            hi[a] = std::max(hi[a], double(v[a]));
        }
    const kuVec3d center = (lo + hi) * 0.5;
    double radius = 0;
    for (const kuVec3f& v : m_vertices)
        radius = std::max(radius, (kuVec3d(v) - center).length());
    return kuSphered(center, radius);
}

const kuBase::ClassType* krGeometry::getClassType() const { return s_classType; }
kuBase::ClassType* krGeometry::getStaticClassType() { return s_classType; }

int krGeometry::initializeClass() {
    if (!s_classType)
        s_classType =
            new ClassType("krGeometry", kuBase::getStaticClassType(), nullptr, true, false);
    return KU_SUCCESS;
}

int krGeometry::shutdownClass() {
    delete s_classType;
    s_classType = nullptr;
    return KU_SUCCESS;
}
