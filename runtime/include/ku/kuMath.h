#ifndef KU_MATH_H
#define KU_MATH_H

#include <cmath>

// Numeric constants in the precision of T.
template <class T>
struct kuMath {
    static constexpr T PI = T(3.14159265358979323846);
    static constexpr T DEG2RAD = T(3.14159265358979323846 / 180.0);
    static constexpr T RAD2DEG = T(180.0 / 3.14159265358979323846);
    static constexpr T LN2 = T(0.69314718055994530942);
    // Magnitudes at or below this count as zero.
    static constexpr T ZERO_THRESHOLD = T(1e-6);
    // Stands for "too large to matter" (an infinite density, a range never reached).
    static constexpr T BIG_NUMBER = T(1e30);
};

#endif
