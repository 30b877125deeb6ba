#ifndef KX_COORDCONVERTER_H
#define KX_COORDCONVERTER_H

#include <ku/kuBase.h>
#include <ku/kuVec.h>

// Converts between a local Cartesian frame (x east, y north, z up, metres) and geodetic
// coordinates (latitude and longitude in degrees, altitude in metres). Implementations come
// from the "kxcoordsys" module.
// Threads: conversions are const and may run on any thread.
class KX_API kxCoordConverter : public kuBase {
public:
    // Both return 1, or -32767 when the input cannot be converted.
    virtual int toGeodetic(const kuVec3d& local, kuVec3d* geodetic) const = 0;
    virtual int toLocal(const kuVec3d& geodetic, kuVec3d* local) const = 0;

    const ClassType* getClassType() const override;
    static ClassType* getStaticClassType();
    static int initializeClass();
    static int shutdownClass();

protected:
    ~kxCoordConverter() override = default;
};

#endif
