#ifndef KX_COORDCONVERTERFLATEARTH_H
#define KX_COORDCONVERTERFLATEARTH_H

#include <kx/kxCoordConverter.h>

#define KXCOORDSYS_API __attribute__((visibility("default")))

// Local flat-earth conversion about an origin (latitude, longitude in degrees): x east and
// y north along the tangent plane, scaled by the WGS-84 radii of curvature at the origin,
// z the altitude. Accurate to metres within tens of kilometres of the origin.
// Threads: conversions may run on any thread; setOrigin on the application thread.
class KXCOORDSYS_API kxCoordConverterFlatEarth : public kxCoordConverter {
public:
    kxCoordConverterFlatEarth();

    // 1, or -32767 for a latitude outside (-90, 90).
    int setOrigin(double latitude, double longitude);
    double getOriginLatitude() const { return m_latitude; }
    double getOriginLongitude() const { return m_longitude; }

    int toGeodetic(const kuVec3d& local, kuVec3d* geodetic) const override;
    int toLocal(const kuVec3d& geodetic, kuVec3d* local) const override;

    const ClassType* getClassType() const override;
    static ClassType* getStaticClassType();
    static kuBase* create();
    static int initializeClass();
    static int shutdownClass();

protected:
    ~kxCoordConverterFlatEarth() override;

private:
    double m_latitude = 0, m_longitude = 0;
    // Metres per degree of latitude and of longitude at the origin.
    double m_metresPerDegreeLat = 0, m_metresPerDegreeLon = 0;
};

#endif
