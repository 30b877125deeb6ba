#include <kx/kxShapes.h>

#include <kr/krGeometry.h>

namespace {
kuBase::ClassType* s_boxType = nullptr;
kuBase::ClassType* s_planeType = nullptr;

// One flat face: four corners counter-clockwise seen from where normal points.
void addFace(std::vector<kuVec3f>& vertices, std::vector<kuVec3f>& normals,
             std::vector<unsigned int>& indices, const kuVec3f& center, const kuVec3f& u,
             const kuVec3f& v, const kuVec3f& normal) {
    const auto base = static_cast<unsigned int>(vertices.size());
    vertices.insert(vertices.end(),
                    {center - u - v, center + u - v, center + u + v, center - u + v});
    normals.insert(normals.end(), 4, normal);
    indices.insert(indices.end(), {base, base + 1, base + 2, base, base + 2, base + 3});
}

// A new geometry object each time: clones keep drawing the one they hold until they take the
// master's change at the frame boundary.
void setShape(ksGeometry* node, const char* name, const std::vector<kuVec3f>& vertices,
              const std::vector<kuVec3f>& normals, const std::vector<unsigned int>& indices,
              const kuVec4f& color) {
    kuRef<krGeometry> geometry = new krGeometry;
    geometry->setName(name);
    geometry->setPrimitiveType(krGeometry::PRIMITIVE_TRIANGLES);
    geometry->setVertices(vertices);
    geometry->setNormals(normals, krGeometry::BIND_PER_VERTEX);
    geometry->setColors({color}, krGeometry::BIND_OVERALL);
    geometry->setIndices(indices);
    node->setGeometry(geometry.get(), 0);
}

bool positive(double value) {
    return value > 0 && value < 1e300;
}
} // namespace

// ---- kxBox ----

kxBox::kxBox(ksThreadBuffer* threadBuffer) : ksGeometry(threadBuffer) {
    rebuild();
}
kxBox::~kxBox() = default;

int kxBox::setSize(double width, double length, double height) {
    if (!positive(width) || !positive(length) || !positive(height))
        return KU_FAILURE;
    m_width = width, m_length = length, m_height = height;
    rebuild();
    return KU_SUCCESS;
}

void kxBox::getSize(double& width, double& length, double& height) const {
    width = m_width, length = m_length, height = m_height;
}

void kxBox::setColor(float r, float g, float b, float a) {
    m_color = kuVec4f(r, g, b, a);
    rebuild();
}

void kxBox::rebuild() {
    const float hx = float(m_width / 2), hy = float(m_length / 2), hz = float(m_height / 2);
    const kuVec3f c(0, 0, hz), x(hx, 0, 0), y(0, hy, 0), z(0, 0, hz);
    const kuVec3f ex(1, 0, 0), ey(0, 1, 0), ez(0, 0, 1);
    std::vector<kuVec3f> vertices, normals;
    std::vector<unsigned int> indices;
    // Each face's (u, v) pair has u x v along the outward normal.
    addFace(vertices, normals, indices, c + x, y, z, ex);
    addFace(vertices, normals, indices, c - x, z, y, -ex);
    addFace(vertices, normals, indices, c + y, z, x, ey);
    addFace(vertices, normals, indices, c - y, x, z, -ey);
    addFace(vertices, normals, indices, c + z, x, y, ez);
    addFace(vertices, normals, indices, c - z, y, x, -ez);
    setShape(this, "Box Geometry", vertices, normals, indices, m_color);
}

const kuBase::ClassType* kxBox::getClassType() const {
    return s_boxType;
}
kuBase::ClassType* kxBox::getStaticClassType() {
    return s_boxType;
}
kuBase* kxBox::create() {
    return new kxBox;
}

int kxBox::initializeClass() {
    if (!s_boxType)
        s_boxType = new ClassType("kxBox", ksGeometry::getStaticClassType(), create, true, false);
    registerNode(s_boxType);
    return KU_SUCCESS;
}

int kxBox::shutdownClass() {
    unregisterNode(s_boxType);
    delete s_boxType;
    s_boxType = nullptr;
    return KU_SUCCESS;
}

// ---- kxPlane ----

kxPlane::kxPlane(ksThreadBuffer* threadBuffer) : ksGeometry(threadBuffer) {
    rebuild();
}
kxPlane::~kxPlane() = default;

int kxPlane::setSize(double width, double length) {
    if (!positive(width) || !positive(length))
        return KU_FAILURE;
    m_width = width, m_length = length;
    rebuild();
    return KU_SUCCESS;
}

void kxPlane::getSize(double& width, double& length) const {
    width = m_width, length = m_length;
}

void kxPlane::setColor(float r, float g, float b, float a) {
    m_color = kuVec4f(r, g, b, a);
    rebuild();
}

void kxPlane::rebuild() {
    std::vector<kuVec3f> vertices, normals;
    std::vector<unsigned int> indices;
    addFace(vertices, normals, indices, kuVec3f(0, 0, 0), kuVec3f(float(m_width / 2), 0, 0),
            kuVec3f(0, float(m_length / 2), 0), kuVec3f(0, 0, 1));
    setShape(this, "Plane Geometry", vertices, normals, indices, m_color);
}

const kuBase::ClassType* kxPlane::getClassType() const {
    return s_planeType;
}
kuBase::ClassType* kxPlane::getStaticClassType() {
    return s_planeType;
}
kuBase* kxPlane::create() {
    return new kxPlane;
}

int kxPlane::initializeClass() {
    if (!s_planeType)
        s_planeType =
            new ClassType("kxPlane", ksGeometry::getStaticClassType(), create, true, false);
    registerNode(s_planeType);
    return KU_SUCCESS;
}

int kxPlane::shutdownClass() {
    unregisterNode(s_planeType);
    delete s_planeType;
    s_planeType = nullptr;
    return KU_SUCCESS;
}
