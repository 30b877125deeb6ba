#include <kr/krGeometry.h>

#include <GL/gl.h>

#include <algorithm>

namespace {
kuBase::ClassType* s_classType = nullptr;
}

namespace {
std::atomic<unsigned long long> s_nextSerial{1};
}

krGeometry::krGeometry() : m_serial(s_nextSerial.fetch_add(1)) {
    registerInstance(s_classType);
}
krGeometry::~krGeometry() {
    unregisterInstance(s_classType);
}

void krGeometry::setPrimitiveType(int type) {
    m_primitiveType = type;
    changed();
}

void krGeometry::setVertices(const std::vector<kuVec3f>& vertices) {
    m_vertices = vertices;
    m_bounds = kuSphered();
    if (!m_vertices.empty()) {
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
        m_bounds = kuSphered(center, radius);
    }
    changed();
}

void krGeometry::changed() {
    m_revision.fetch_add(1, std::memory_order_acq_rel);
    for (std::size_t i = 0; i < m_observers.size(); ++i)
        m_observers[i]->geometryChanged(this);
}

void krGeometry::addObserver(Observer* observer) {
    if (observer)
        m_observers.push_back(observer);
}

void krGeometry::removeObserver(Observer* observer) {
    auto it = std::find(m_observers.begin(), m_observers.end(), observer);
    if (it != m_observers.end())
        m_observers.erase(it);
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

void krGeometry::setPrimitiveLengths(const std::vector<int>& lengths) {
    m_primitiveLengths = lengths;
    changed();
}

int krGeometry::getNumPrimitives() const {
    return m_primitiveLengths.empty() ? 1 : static_cast<int>(m_primitiveLengths.size());
}

template <class Function>
void krGeometry::forEachPrimitive(Function function) const {
    const std::size_t count = m_indices.empty() ? m_vertices.size() : m_indices.size();
    if (m_primitiveLengths.empty()) {
        function(std::size_t(0), count);
        return;
    }
    std::size_t first = 0;
    for (int length : m_primitiveLengths) {
        const std::size_t n = length > 0 ? static_cast<std::size_t>(length) : 0;
        if (first + n > count)
            break;
        function(first, n);
        first += n;
    }
}

std::vector<unsigned int> krGeometry::getTriangleIndices() const {
    std::vector<unsigned int> triangles;
    forEachPrimitive(
        [&](std::size_t first, std::size_t count) { appendTriangles(first, count, triangles); });
    return triangles;
}

void krGeometry::appendTriangles(std::size_t first, std::size_t count,
                                 std::vector<unsigned int>& triangles) const {
    auto index = [this, first](std::size_t i) {
        return m_indices.empty() ? static_cast<unsigned int>(first + i) : m_indices[first + i];
    };
    auto add = [&](unsigned int a, unsigned int b, unsigned int c) {
        const std::size_t n = m_vertices.size();
        if (a < n && b < n && c < n && a != b && b != c && a != c)
            triangles.insert(triangles.end(), {a, b, c});
    };
    switch (m_primitiveType) {
    case PRIMITIVE_TRIANGLES:
        triangles.reserve(triangles.size() + count);
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
}

const kuBase::ClassType* krGeometry::getClassType() const {
    return s_classType;
}
kuBase::ClassType* krGeometry::getStaticClassType() {
    return s_classType;
}

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

void krGeometry::drawImmediate() const {
    static const GLenum modes[] = {GL_POINTS,    GL_LINES,          GL_LINE_STRIP,
                                   GL_TRIANGLES, GL_TRIANGLE_STRIP, GL_TRIANGLE_FAN};
    if (m_primitiveType < 0 || m_primitiveType > PRIMITIVE_TRIANGLE_FAN || m_vertices.empty())
        return;
    if (m_colorBinding == BIND_OVERALL && !m_colors.empty()) {
        const kuVec4f& c = m_colors[0];
        glColor4f(c.x, c.y, c.z, c.w);
    }
    if (m_normalBinding == BIND_OVERALL && !m_normals.empty())
        glNormal3f(m_normals[0].x, m_normals[0].y, m_normals[0].z);
    forEachPrimitive([&](std::size_t first, std::size_t count) {
        glBegin(modes[m_primitiveType]);
        for (std::size_t i = first; i < first + count; ++i) {
            const std::size_t v = m_indices.empty() ? i : m_indices[i];
            if (v >= m_vertices.size())
                continue;
            if (m_colorBinding == BIND_PER_VERTEX && v < m_colors.size())
                glColor4f(m_colors[v].x, m_colors[v].y, m_colors[v].z, m_colors[v].w);
            if (m_normalBinding == BIND_PER_VERTEX && v < m_normals.size())
                glNormal3f(m_normals[v].x, m_normals[v].y, m_normals[v].z);
            if (v < m_texCoords.size())
                glTexCoord2f(m_texCoords[v].x, m_texCoords[v].y);
            glVertex3f(m_vertices[v].x, m_vertices[v].y, m_vertices[v].z);
        }
        glEnd();
    });
}
