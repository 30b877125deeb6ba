#ifndef KX_TERRAIN_H
#define KX_TERRAIN_H

#include <ks/ksGeometry.h>

#include <cstdint>
#include <vector>

// Procedural ground: a square heightfield mesh centred on the origin, size units on a side,
// resolution cells per side (two triangles per cell), heights from seeded value noise of the
// given amplitude (0: flat ground at z = 0). The same seed always gives the same ground.
// Threads: application thread.
class KX_API kxTerrain : public ksGeometry {
public:
    explicit kxTerrain(ksThreadBuffer* threadBuffer = nullptr);

    void setSeed(std::uint32_t seed) { m_seed = seed; }
    std::uint32_t getSeed() const { return m_seed; }
    void setSize(double size) { m_size = size; }
    double getSize() const { return m_size; }
    void setResolution(int cells) { m_resolution = cells; }
    int getResolution() const { return m_resolution; }
    void setAmplitude(double amplitude) { m_amplitude = amplitude; }
    double getAmplitude() const { return m_amplitude; }
    // Length of the noise's largest features, in units.
    void setFeatureSize(double length) { m_featureSize = length; }
    double getFeatureSize() const { return m_featureSize; }

    // Makes the mesh from the settings. 1, or -32767 when the settings cannot give a mesh
    // (size not positive, resolution outside 1..4096).
    int build();
    int getNumTriangles() const { return 2 * m_resolution * m_resolution; }
    // Height of the mesh surface (as triangulated) at (x, y); 0 outside the terrain.
    double getHeightAt(double x, double y) const;

    const ClassType* getClassType() const override;
    static ClassType* getStaticClassType();
    static int initializeClass();
    static int shutdownClass();

protected:
    ~kxTerrain() override = default;

private:
    double noise(double x, double y) const;
    double gridHeight(int i, int j) const;

    std::uint32_t m_seed = 1;
    double m_size = 2000.0;
    int m_resolution = 64;
    double m_amplitude = 20.0;
    double m_featureSize = 400.0;
    std::vector<float> m_heights; // (resolution + 1)^2, row-major from the south-west corner
    int m_builtResolution = 0;
    double m_builtSize = 0;
};

#endif
