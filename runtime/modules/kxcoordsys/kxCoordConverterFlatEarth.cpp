#include "kxCoordConverterFlatEarth.h"

#include <ks/ksgu.h>

#include <cmath>

namespace {
kuBase::ClassType* s_classType = nullptr;

constexpr double WGS84_A = 6378137.0;
constexpr double WGS84_E2 = 6.69437999014e-3;
constexpr double DEG2RAD = M_PI / 180.0;
} // namespace

kxCoordConverterFlatEarth::kxCoordConverterFlatEarth() {
    registerInstance(s_classType);
    setOrigin(0, 0);
}

kxCoordConverterFlatEarth::~kxCoordConverterFlatEarth() {
    unregisterInstance(s_classType);
}

int kxCoordConverterFlatEarth::setOrigin(double latitude, double longitude) {
    if (!(latitude > -90.0 && latitude < 90.0) || !std::isfinite(longitude))
        return KU_FAILURE;
    m_latitude = latitude;
    m_longitude = longitude;
    const double s = std::sin(latitude * DEG2RAD);
    const double w = std::sqrt(1.0 - WGS84_E2 * s * s);
    const double meridian = WGS84_A * (1.0 - WGS84_E2) / (w * w * w);
    const double primeVertical = WGS84_A / w;
    m_metresPerDegreeLat = meridian * DEG2RAD;
    m_metresPerDegreeLon = primeVertical * std::cos(latitude * DEG2RAD) * DEG2RAD;
    return KU_SUCCESS;
}

int kxCoordConverterFlatEarth::toGeodetic(const kuVec3d& local, kuVec3d* geodetic) const {
    if (!geodetic)
        return KU_FAILURE;
    geodetic->set(m_latitude + local.y / m_metresPerDegreeLat,
                  m_longitude + local.x / m_metresPerDegreeLon, local.z);
    return KU_SUCCESS;
}

int kxCoordConverterFlatEarth::toLocal(const kuVec3d& geodetic, kuVec3d* local) const {
    if (!local)
        return KU_FAILURE;
    // Longitudes are compared the short way round the antimeridian.
    double dLon = std::remainder(geodetic.y - m_longitude, 360.0);
    local->set(dLon * m_metresPerDegreeLon, (geodetic.x - m_latitude) * m_metresPerDegreeLat,
               geodetic.z);
    return KU_SUCCESS;
}

const kuBase::ClassType* kxCoordConverterFlatEarth::getClassType() const {
    return s_classType;
}
kuBase::ClassType* kxCoordConverterFlatEarth::getStaticClassType() {
    return s_classType;
}
kuBase* kxCoordConverterFlatEarth::create() {
    return new kxCoordConverterFlatEarth;
}

int kxCoordConverterFlatEarth::initializeClass() {
    if (!ksgu::inInitializeClassSession())
        return KU_FAILURE;
    if (!s_classType)
        s_classType = new ClassType("kxCoordConverterFlatEarth",
                                    kxCoordConverter::getStaticClassType(), create, true, false);
    return KU_SUCCESS;
}

int kxCoordConverterFlatEarth::shutdownClass() {
    delete s_classType;
    s_classType = nullptr;
    return KU_SUCCESS;
}
