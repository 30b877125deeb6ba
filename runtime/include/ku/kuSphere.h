#ifndef KU_SPHERE_H
#define KU_SPHERE_H

#include <ku/kuVec.h>

#include <cmath>

// A bounding sphere; a negative radius means "empty" (nothing bounded yet).
template <class T>
struct kuSphere {
    kuVec3<T> center;
    T radius = T(-1);
    kuSphere() = default;
    kuSphere(const kuVec3<T>& c, T r) : center(c), radius(r) {}
    bool valid() const { return radius >= 0; }
    // Grows to contain other (an empty sphere takes other as it is).
    void expandBy(const kuSphere& other) {
        if (!other.valid())
            return;
        if (!valid()) {
            *this = other;
            return;
        }
        const kuVec3<T> d = other.center - center;
        // hypot does not overflow where the squares would (spheres 1e154 apart and more).
        const T dist = std::hypot(d.x, d.y, d.z);
        // Beyond what the arithmetic can hold the sphere stays as it is rather than become NaN.
        if (!std::isfinite(dist) || !std::isfinite(dist + radius + other.radius))
            return;
        if (dist + other.radius <= radius)
            return;
        if (dist + radius <= other.radius) {
            *this = other;
            return;
        }
        const T newRadius = (dist + radius + other.radius) / 2;
        center = center + d * ((newRadius - radius) / dist);
        radius = newRadius;
    }
    bool operator==(const kuSphere& o) const { return center == o.center && radius == o.radius; }
    bool operator!=(const kuSphere& o) const { return !(*this == o); }
};

typedef kuSphere<float> kuSpheref;
typedef kuSphere<double> kuSphered;

#endif
