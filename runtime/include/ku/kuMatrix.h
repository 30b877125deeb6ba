#ifndef KU_MATRIX_H
#define KU_MATRIX_H

#include <ku/kuVec.h>

#include <cmath>

// 4x4 matrix for row vectors: a point p is transformed as p * M, so in A * B, A applies first.
// Translation sits in row 3. Angles are degrees. makeRotate(h, p, r) turns heading about +Z
// (counter-clockwise seen from above), pitch about +X (positive nose up) and roll about +Y
// (positive right side down), applied to a point in the order roll, pitch, heading.
template <class T>
class kuMatrix {
public:
    kuMatrix() { makeIdentity(); }
    explicit kuMatrix(const T* values) { set(values); }
    template <class U>
    explicit kuMatrix(const kuMatrix<U>& o) {
        for (int r = 0; r < 4; ++r)
            for (int c = 0; c < 4; ++c)
                m[r][c] = T(o(r, c));
    }

    void set(const T* values) {
        for (int i = 0; i < 16; ++i)
            m[i / 4][i % 4] = values[i];
    }
    T& operator()(int row, int col) { return m[row][col]; }
    T operator()(int row, int col) const { return m[row][col]; }
    const T* ptr() const { return &m[0][0]; }
    T* ptr() { return &m[0][0]; }

    void makeIdentity() {
        for (int r = 0; r < 4; ++r)
            for (int c = 0; c < 4; ++c)
                m[r][c] = r == c ? T(1) : T(0);
    }
    bool isIdentity() const { return *this == kuMatrix(); }
    void makeTranslate(T x, T y, T z) {
        makeIdentity();
        m[3][0] = x, m[3][1] = y, m[3][2] = z;
    }
    void makeScale(T x, T y, T z) {
        makeIdentity();
        m[0][0] = x, m[1][1] = y, m[2][2] = z;
    }
    void makeRotate(T heading, T pitch, T roll) {
        const T d = T(M_PI / 180.0);
        const T ch = std::cos(heading * d), sh = std::sin(heading * d);
        const T cp = std::cos(pitch * d), sp = std::sin(pitch * d);
        const T cr = std::cos(roll * d), sr = std::sin(roll * d);
        kuMatrix h, p, r;
        h.m[0][0] = ch, h.m[0][1] = sh, h.m[1][0] = -sh, h.m[1][1] = ch;
        p.m[1][1] = cp, p.m[1][2] = sp, p.m[2][1] = -sp, p.m[2][2] = cp;
        r.m[0][0] = cr, r.m[0][2] = -sr, r.m[2][0] = sr, r.m[2][2] = cr;
        *this = r * p * h;
    }
    // Heading, pitch and roll (degrees) of the rotation part; scale is divided out.
    kuVec3<T> getHPR() const {
        kuVec3<T> x(m[0][0], m[0][1], m[0][2]), y(m[1][0], m[1][1], m[1][2]),
            z(m[2][0], m[2][1], m[2][2]);
        x.normalize(), y.normalize(), z.normalize();
        const T d = T(180.0 / M_PI);
        const T sp = y.z > 1 ? T(1) : (y.z < -1 ? T(-1) : y.z);
        return {std::atan2(-y.x, y.y) * d, std::asin(sp) * d, std::atan2(-x.z, z.z) * d};
    }
    kuVec3<T> getTrans() const { return {m[3][0], m[3][1], m[3][2]}; }
    void setTrans(const kuVec3<T>& t) { m[3][0] = t.x, m[3][1] = t.y, m[3][2] = t.z; }

    kuMatrix operator*(const kuMatrix& o) const {
        kuMatrix result;
        for (int r = 0; r < 4; ++r)
            for (int c = 0; c < 4; ++c) {
                T sum = 0;
                for (int k = 0; k < 4; ++k)
                    sum += m[r][k] * o.m[k][c];
                result.m[r][c] = sum;
            }
        return result;
    }
    // this = a * this: a applies first.
    void preMultiply(const kuMatrix& a) { *this = a * *this; }
    // this = this * a: a applies last.
    void postMultiply(const kuMatrix& a) { *this = *this * a; }

    kuVec3<T> transformPoint(const kuVec3<T>& p) const {
        kuVec4<T> r = transform(kuVec4<T>(p, T(1)));
        return r.w != 0 && r.w != 1 ? r.xyz() / r.w : r.xyz();
    }
    kuVec3<T> transformVector(const kuVec3<T>& v) const { return transform(kuVec4<T>(v, 0)).xyz(); }
    kuVec4<T> transform(const kuVec4<T>& v) const {
        kuVec4<T> r;
        for (int c = 0; c < 4; ++c)
            r[c] = v.x * m[0][c] + v.y * m[1][c] + v.z * m[2][c] + v.w * m[3][c];
        return r;
    }

    kuMatrix transposed() const {
        kuMatrix t;
        for (int r = 0; r < 4; ++r)
            for (int c = 0; c < 4; ++c)
                t.m[r][c] = m[c][r];
        return t;
    }
    // General inverse by cofactors; false (and this left unchanged) for a singular matrix.
    bool invert() {
        const T* a = ptr();
        T inv[16];
        inv[0] = a[5] * a[10] * a[15] - a[5] * a[11] * a[14] - a[9] * a[6] * a[15] +
                 a[9] * a[7] * a[14] + a[13] * a[6] * a[11] - a[13] * a[7] * a[10];
        inv[4] = -a[4] * a[10] * a[15] + a[4] * a[11] * a[14] + a[8] * a[6] * a[15] -
                 a[8] * a[7] * a[14] - a[12] * a[6] * a[11] + a[12] * a[7] * a[10];
        inv[8] = a[4] * a[9] * a[15] - a[4] * a[11] * a[13] - a[8] * a[5] * a[15] +
                 a[8] * a[7] * a[13] + a[12] * a[5] * a[11] - a[12] * a[7] * a[9];
        inv[12] = -a[4] * a[9] * a[14] + a[4] * a[10] * a[13] + a[8] * a[5] * a[14] -
                  a[8] * a[6] * a[13] - a[12] * a[5] * a[10] + a[12] * a[6] * a[9];
        inv[1] = -a[1] * a[10] * a[15] + a[1] * a[11] * a[14] + a[9] * a[2] * a[15] -
                 a[9] * a[3] * a[14] - a[13] * a[2] * a[11] + a[13] * a[3] * a[10];
        inv[5] = a[0] * a[10] * a[15] - a[0] * a[11] * a[14] - a[8] * a[2] * a[15] +
                 a[8] * a[3] * a[14] + a[12] * a[2] * a[11] - a[12] * a[3] * a[10];
        inv[9] = -a[0] * a[9] * a[15] + a[0] * a[11] * a[13] + a[8] * a[1] * a[15] -
                 a[8] * a[3] * a[13] - a[12] * a[1] * a[11] + a[12] * a[3] * a[9];
        inv[13] = a[0] * a[9] * a[14] - a[0] * a[10] * a[13] - a[8] * a[1] * a[14] +
                  a[8] * a[2] * a[13] + a[12] * a[1] * a[10] - a[12] * a[2] * a[9];
        inv[2] = a[1] * a[6] * a[15] - a[1] * a[7] * a[14] - a[5] * a[2] * a[15] +
                 a[5] * a[3] * a[14] + a[13] * a[2] * a[7] - a[13] * a[3] * a[6];
        inv[6] = -a[0] * a[6] * a[15] + a[0] * a[7] * a[14] + a[4] * a[2] * a[15] -
                 a[4] * a[3] * a[14] - a[12] * a[2] * a[7] + a[12] * a[3] * a[6];
        inv[10] = a[0] * a[5] * a[15] - a[0] * a[7] * a[13] - a[4] * a[1] * a[15] +
                  a[4] * a[3] * a[13] + a[12] * a[1] * a[7] - a[12] * a[3] * a[5];
        inv[14] = -a[0] * a[5] * a[14] + a[0] * a[6] * a[13] + a[4] * a[1] * a[14] -
                  a[4] * a[2] * a[13] - a[12] * a[1] * a[6] + a[12] * a[2] * a[5];
        inv[3] = -a[1] * a[6] * a[11] + a[1] * a[7] * a[10] + a[5] * a[2] * a[11] -
                 a[5] * a[3] * a[10] - a[9] * a[2] * a[7] + a[9] * a[3] * a[6];
        inv[7] = a[0] * a[6] * a[11] - a[0] * a[7] * a[10] - a[4] * a[2] * a[11] +
                 a[4] * a[3] * a[10] + a[8] * a[2] * a[7] - a[8] * a[3] * a[6];
        inv[11] = -a[0] * a[5] * a[11] + a[0] * a[7] * a[9] + a[4] * a[1] * a[11] -
                  a[4] * a[3] * a[9] - a[8] * a[1] * a[7] + a[8] * a[3] * a[5];
        inv[15] = a[0] * a[5] * a[10] - a[0] * a[6] * a[9] - a[4] * a[1] * a[10] +
                  a[4] * a[2] * a[9] + a[8] * a[1] * a[6] - a[8] * a[2] * a[5];
        const T det = a[0] * inv[0] + a[1] * inv[4] + a[2] * inv[8] + a[3] * inv[12];
        if (det == 0)
            return false;
        for (int i = 0; i < 16; ++i)
            inv[i] /= det;
        set(inv);
        return true;
    }

    bool operator==(const kuMatrix& o) const {
        for (int i = 0; i < 16; ++i)
            if (ptr()[i] != o.ptr()[i])
                return false;
        return true;
    }
    bool operator!=(const kuMatrix& o) const { return !(*this == o); }

private:
    T m[4][4];
};

typedef kuMatrix<float> kuMatrixf;
typedef kuMatrix<double> kuMatrixd;

#endif
