#include <kx/kxTerrain.h>

#include <kr/krGeometry.h>

#include <algorithm>
#include <cmath>

namespace {
kuBase::ClassType* s_classType = nullptr;

std::uint32_t hash(std::uint32_t seed, std::uint32_t x, std::uint32_t y) {
    std::uint32_t h = seed * 0x9E3779B1u ^ x * 0x85EBCA77u ^ y * 0xC2B2AE3Du;
    h ^= h >> 15;
    h *= 0x2C1B3C6Du;
    h ^= h >> 12;
    h *= 0x297A2D39u;
    h ^= h >> 15;
    return h;
}

// Lattice value in [-1, 1].
double lattice(std::uint32_t seed, std::uint32_t x, std::uint32_t y) {
    return hash(seed, x, y) / 2147483647.5 - 1.0;
}

// The lattice cell of a coordinate in cells, as the bits of a 32-bit integer: cells repeat
// every 2^32, so that coordinates beyond the integer range (or no number) stay defined while
// every other cell keeps its value.
std::uint32_t cell(double v) {
    if (!std::isfinite(v))
        return 0;
    return static_cast<std::uint32_t>(static_cast<std::int64_t>(std::fmod(v, 4294967296.0)));
}

double smooth(double t) {
    return t * t * (3.0 - 2.0 * t);
}
} // namespace

kxTerrain::kxTerrain(ksThreadBuffer* threadBuffer) : ksGeometry(threadBuffer) {}

double kxTerrain::noise(double x, double y) const {
    // Four octaves of value noise, each half the size and amplitude of the one before.
    double total = 0, weight = 1, norm = 0, scale = 1.0 / m_featureSize;
    for (int octave = 0; octave < 4; ++octave) {
        const double fx = x * scale, fy = y * scale;
        const double x0 = std::floor(fx), y0 = std::floor(fy);
        const std::uint32_t ix = cell(x0), iy = cell(y0);
        const double tx = smooth(fx - x0), ty = smooth(fy - y0);
        const std::uint32_t seed = m_seed + static_cast<std::uint32_t>(octave) * 1013u;
        const double a = lattice(seed, ix, iy), b = lattice(seed, ix + 1u, iy);
        const double c = lattice(seed, ix, iy + 1u), d = lattice(seed, ix + 1u, iy + 1u);
        total += weight * ((a + (b - a) * tx) + ((c + (d - c) * tx) - (a + (b - a) * tx)) * ty);
        norm += weight;
        weight *= 0.5;
        scale *= 2.0;
    }
    return total / norm;
}

double kxTerrain::gridHeight(int i, int j) const {
    return m_heights[static_cast<std::size_t>(j) * (m_builtResolution + 1) + i];
}

int kxTerrain::build() {
    if (!(m_size > 0) || m_resolution < 1 || m_resolution > 4096 || !(m_featureSize > 0))
        return KU_FAILURE;
    const int n = m_resolution;
    const double step = m_size / n, origin = -m_size / 2;
    std::vector<kuVec3f> vertices;
    vertices.reserve(static_cast<std::size_t>(n + 1) * (n + 1));
    m_heights.assign(static_cast<std::size_t>(n + 1) * (n + 1), 0.0f);
    for (int j = 0; j <= n; ++j)
        for (int i = 0; i <= n; ++i) {
            const double x = origin + i * step, y = origin + j * step;
            const float z = m_amplitude == 0 ? 0.0f : float(m_amplitude * noise(x, y));
            m_heights[static_cast<std::size_t>(j) * (n + 1) + i] = z;
            vertices.emplace_back(float(x), float(y), z);
        }
    // Normals from central differences of the heights.
    std::vector<kuVec3f> normals(vertices.size());
    for (int j = 0; j <= n; ++j)
        for (int i = 0; i <= n; ++i) {
            auto h = [&](int a, int b) {
                a = std::max(0, std::min(n, a));
                b = std::max(0, std::min(n, b));
                return double(m_heights[static_cast<std::size_t>(b) * (n + 1) + a]);
            };
            kuVec3d normal(-(h(i + 1, j) - h(i - 1, j)) / (2 * step),
                           -(h(i, j + 1) - h(i, j - 1)) / (2 * step), 1.0);
            normal.normalize();
            normals[static_cast<std::size_t>(j) * (n + 1) + i] = kuVec3f(normal);
        }
    std::vector<unsigned int> indices;
    indices.reserve(static_cast<std::size_t>(n) * n * 6);
    for (int j = 0; j < n; ++j)
        for (int i = 0; i < n; ++i) {
            const unsigned int a = static_cast<unsigned int>(j * (n + 1) + i);
            const unsigned int b = a + 1, c = a + static_cast<unsigned int>(n + 1), d = c + 1;
            // Counter-clockwise seen from above: the front faces point up.
            indices.insert(indices.end(), {a, b, d, a, d, c});
        }
    kuRef<krGeometry> geometry = new krGeometry;
    geometry->setName("Terrain Geometry");
    geometry->setPrimitiveType(krGeometry::PRIMITIVE_TRIANGLES);
    geometry->setVertices(vertices);
    geometry->setNormals(normals, krGeometry::BIND_PER_VERTEX);
    geometry->setColors({kuVec4f(0.45f, 0.42f, 0.35f, 1.0f)}, krGeometry::BIND_OVERALL);
    geometry->setIndices(indices);
    setGeometry(geometry.get(), 0);
    m_builtResolution = n;
    m_builtSize = m_size;
    return KU_SUCCESS;
}

double kxTerrain::getHeightAt(double x, double y) const {
    if (m_builtResolution == 0)
        return 0;
    const double step = m_builtSize / m_builtResolution;
    const double fx = (x + m_builtSize / 2) / step, fy = (y + m_builtSize / 2) / step;
    if (!(fx >= 0 && fy >= 0 && fx <= m_builtResolution && fy <= m_builtResolution))
        return 0; // off the terrain, or no number
    const int i = std::min(static_cast<int>(fx), m_builtResolution - 1);
    const int j = std::min(static_cast<int>(fy), m_builtResolution - 1);
    const double u = fx - i, v = fy - j;
    const double a = gridHeight(i, j), b = gridHeight(i + 1, j);
    const double c = gridHeight(i, j + 1), d = gridHeight(i + 1, j + 1);
    // The cell is split along the a-d diagonal: triangle (a, b, d) below it, (a, d, c) above.
    if (u >= v)
        return a + (b - a) * u + (d - b) * v;
    return a + (d - c) * u + (c - a) * v;
}

const kuBase::ClassType* kxTerrain::getClassType() const {
    return s_classType;
}
kuBase::ClassType* kxTerrain::getStaticClassType() {
    return s_classType;
}

int kxTerrain::initializeClass() {
    if (!s_classType)
        s_classType =
            new ClassType("kxTerrain", ksGeometry::getStaticClassType(), nullptr, true, false);
    registerNode(s_classType);
    return KU_SUCCESS;
}

int kxTerrain::shutdownClass() {
    unregisterNode(s_classType);
    delete s_classType;
    s_classType = nullptr;
    return KU_SUCCESS;
}
