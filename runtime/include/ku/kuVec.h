#ifndef KU_VEC_H
#define KU_VEC_H

#include <cmath>

// Small fixed-size vectors. Plain values: no allocation, no virtual functions.
template <class T>
struct kuVec2 {
    T x = 0, y = 0;
    kuVec2() = default;
    kuVec2(T x_, T y_) : x(x_), y(y_) {}
    T& operator[](int i) { return i == 0 ? x : y; }
    T operator[](int i) const { return i == 0 ? x : y; }
    kuVec2 operator+(const kuVec2& o) const { return {x + o.x, y + o.y}; }
    kuVec2 operator-(const kuVec2& o) const { return {x - o.x, y - o.y}; }
    kuVec2 operator*(T s) const { return {x * s, y * s}; }
    bool operator==(const kuVec2& o) const { return x == o.x && y == o.y; }
    bool operator!=(const kuVec2& o) const { return !(*this == o); }
};

template <class T>
struct kuVec3 {
    T x = 0, y = 0, z = 0;
    kuVec3() = default;
    kuVec3(T x_, T y_, T z_) : x(x_), y(y_), z(z_) {}
    template <class U>
    explicit kuVec3(const kuVec3<U>& o) : x(T(o.x)), y(T(o.y)), z(T(o.z)) {}

    void set(T x_, T y_, T z_) { x = x_, y = y_, z = z_; }
    T& operator[](int i) { return i == 0 ? x : (i == 1 ? y : z); }
    T operator[](int i) const { return i == 0 ? x : (i == 1 ? y : z); }
    kuVec3 operator+(const kuVec3& o) const { return {x + o.x, y + o.y, z + o.z}; }
    kuVec3 operator-(const kuVec3& o) const { return {x - o.x, y - o.y, z - o.z}; }
    kuVec3 operator-() const { return {-x, -y, -z}; }
    kuVec3 operator*(T s) const { return {x * s, y * s, z * s}; }
    kuVec3 operator/(T s) const { return {x / s, y / s, z / s}; }
    kuVec3& operator+=(const kuVec3& o) { return *this = *this + o; }
    kuVec3& operator-=(const kuVec3& o) { return *this = *this - o; }
    kuVec3& operator*=(T s) { return *this = *this * s; }
    bool operator==(const kuVec3& o) const { return x == o.x && y == o.y && z == o.z; }
    bool operator!=(const kuVec3& o) const { return !(*this == o); }

    T dot(const kuVec3& o) const { return x * o.x + y * o.y + z * o.z; }
    kuVec3 cross(const kuVec3& o) const {
        return {y * o.z - z * o.y, z * o.x - x * o.z, x * o.y - y * o.x};
    }
    T length2() const { return dot(*this); }
    T length() const { return std::sqrt(length2()); }
    // Scales to unit length; a zero vector stays zero. Returns the previous length.
    T normalize() {
        const T len = length();
        if (len > 0)
            *this = *this / len;
        return len;
    }
};

template <class T>
struct kuVec4 {
    T x = 0, y = 0, z = 0, w = 0;
    kuVec4() = default;
    kuVec4(T x_, T y_, T z_, T w_) : x(x_), y(y_), z(z_), w(w_) {}
    kuVec4(const kuVec3<T>& v, T w_) : x(v.x), y(v.y), z(v.z), w(w_) {}
    T& operator[](int i) { return i == 0 ? x : (i == 1 ? y : (i == 2 ? z : w)); }
    T operator[](int i) const { return i == 0 ? x : (i == 1 ? y : (i == 2 ? z : w)); }
    kuVec3<T> xyz() const { return {x, y, z}; }
    bool operator==(const kuVec4& o) const { return x == o.x && y == o.y && z == o.z && w == o.w; }
    bool operator!=(const kuVec4& o) const { return !(*this == o); }
};

typedef kuVec2<float> kuVec2f;
typedef kuVec3<float> kuVec3f;
typedef kuVec3<double> kuVec3d;
typedef kuVec4<float> kuVec4f;
typedef kuVec4<double> kuVec4d;

#endif
