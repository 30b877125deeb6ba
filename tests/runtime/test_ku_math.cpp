// Vectors, matrices (row vectors: p' = p * M) and bounding spheres.
#include <ku/kuMatrix.h>
#include <ku/kuSphere.h>
#include <ku/kuVec.h>

#include <gtest/gtest.h>

#include <cmath>
#include <iterator>
#include <ostream>

template <class T>
std::ostream& operator<<(std::ostream& out, const kuVec3<T>& v) {
    return out << "(" << v.x << ", " << v.y << ", " << v.z << ")";
}

namespace {

template <class T>
struct Tolerance;
template <>
struct Tolerance<float> {
    static constexpr float value = 1e-5f;
    static constexpr float degrees = 2e-3f;
};
template <>
struct Tolerance<double> {
    static constexpr double value = 1e-12;
    static constexpr double degrees = 1e-9;
};

template <class T>
::testing::AssertionResult near(const kuVec3<T>& actual, const kuVec3<T>& expected, T tolerance) {
    for (int i = 0; i < 3; ++i)
        if (!(std::fabs(actual[i] - expected[i]) <= tolerance))
            return ::testing::AssertionFailure() << actual << " differs from " << expected;
    return ::testing::AssertionSuccess();
}

template <class T>
::testing::AssertionResult nearIdentity(const kuMatrix<T>& m, T tolerance) {
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            if (!(std::fabs(m(r, c) - (r == c ? T(1) : T(0))) <= tolerance))
                return ::testing::AssertionFailure()
                       << "element (" << r << ", " << c << ") is " << m(r, c);
    return ::testing::AssertionSuccess();
}

template <class T>
kuMatrix<T> rotation(T h, T p, T r) {
    kuMatrix<T> m;
    m.makeRotate(h, p, r);
    return m;
}
template <class T>
kuMatrix<T> translation(T x, T y, T z) {
    kuMatrix<T> m;
    m.makeTranslate(x, y, z);
    return m;
}
template <class T>
kuMatrix<T> scale(T x, T y, T z) {
    kuMatrix<T> m;
    m.makeScale(x, y, z);
    return m;
}

// ---- vectors ----

TEST(KuVecTest, CrossDotAndNormalize) {
    const kuVec3d x(1, 0, 0), y(0, 1, 0), z(0, 0, 1);
    EXPECT_EQ(x.cross(y), z);
    EXPECT_EQ(y.cross(z), x);
    EXPECT_EQ(z.cross(x), y);
    EXPECT_EQ(y.cross(x), -z);
    EXPECT_EQ(kuVec3d(1, 2, 3).dot(kuVec3d(4, -5, 6)), 12.0);

    kuVec3d v(3, 0, 4);
    EXPECT_EQ(v.normalize(), 5.0);
    EXPECT_TRUE(near(v, kuVec3d(0.6, 0, 0.8), 1e-15));
    kuVec3d zero;
    EXPECT_EQ(zero.normalize(), 0.0);
    EXPECT_EQ(zero, kuVec3d());
}

// ---- matrices, for both element types ----

template <class T>
class KuMatrixTest : public ::testing::Test {};
using ElementTypes = ::testing::Types<float, double>;
TYPED_TEST_SUITE(KuMatrixTest, ElementTypes);

// Each case worked out by hand: heading turns +X toward +Y about +Z, pitch lifts +Y (forward)
// toward +Z, roll drops +X (the right side) toward -Z; the order is roll, pitch, heading.
TYPED_TEST(KuMatrixTest, RotationsMoveAxesWhereWorkedOutByHand) {
    using T = TypeParam;
    using V = kuVec3<T>;
    const T s = T(std::sqrt(0.5));
    struct Case {
        T h, p, r;
        V in, out;
    };
    const Case cases[] = {
        // heading alone
        {90, 0, 0, V(0, 1, 0), V(-1, 0, 0)},
        {90, 0, 0, V(1, 0, 0), V(0, 1, 0)},
        {90, 0, 0, V(0, 0, 1), V(0, 0, 1)},
        {-90, 0, 0, V(0, 1, 0), V(1, 0, 0)},
        {45, 0, 0, V(0, 1, 0), V(-s, s, 0)},
        // pitch alone
        {0, 90, 0, V(0, 1, 0), V(0, 0, 1)},
        {0, 90, 0, V(0, 0, 1), V(0, -1, 0)},
        {0, 90, 0, V(1, 0, 0), V(1, 0, 0)},
        {0, -90, 0, V(0, 1, 0), V(0, 0, -1)},
        // roll alone
        {0, 0, 90, V(1, 0, 0), V(0, 0, -1)},
        {0, 0, 90, V(0, 0, 1), V(1, 0, 0)},
        {0, 0, 90, V(0, 1, 0), V(0, 1, 0)},
        // combined: roll first, then pitch, then heading
        {0, 90, 90, V(1, 0, 0), V(0, 1, 0)},   // -Z after roll, lifted to +Y by pitch
        {0, 90, 90, V(0, 0, 1), V(1, 0, 0)},   // +X after roll, pitch keeps it
        {90, 0, 90, V(0, 0, 1), V(0, 1, 0)},   // +X after roll, turned to +Y
        {90, 90, 90, V(1, 0, 0), V(-1, 0, 0)}, // -Z, +Y, then -X
        {90, 90, 90, V(0, 1, 0), V(0, 0, 1)},  // +Y, +Z, +Z
        {90, 90, 90, V(0, 0, 1), V(0, 1, 0)},  // +X, +X, +Y
        {90, 45, 0, V(0, 1, 0), V(-s, 0, s)},  // raised 45 degrees, then turned left
    };
    for (const Case& k : cases) {
        const kuMatrix<T> m = rotation(k.h, k.p, k.r);
        EXPECT_TRUE(near(m.transformVector(k.in), k.out, Tolerance<T>::value))
            << "hpr (" << k.h << ", " << k.p << ", " << k.r << ") of " << k.in;
        EXPECT_TRUE(near(m.transformPoint(k.in), k.out, Tolerance<T>::value))
            << "hpr (" << k.h << ", " << k.p << ", " << k.r << ") of " << k.in;
    }
}

TYPED_TEST(KuMatrixTest, GetHprRecoversTheAngles) {
    using T = TypeParam;
    const T angles[][3] = {{0, 0, 0},      {30, 0, 0},   {-120, 0, 0},     {170, 0, 0},
                           {0, 45, 0},     {0, -60, 0},  {0, 0, 30},       {0, 0, -150},
                           {0, 0, 179},    {45, 30, 60}, {-135, -75, 120}, {10, 80, -10},
                           {-170, 20, -95}};
    for (const auto& a : angles) {
        const kuVec3<T> expected(a[0], a[1], a[2]);
        const kuMatrix<T> m = rotation(a[0], a[1], a[2]);
        EXPECT_TRUE(near(m.getHPR(), expected, Tolerance<T>::degrees));
        // A uniform scale, and any scale applied before the rotation, are divided out.
        EXPECT_TRUE(near((m * scale(T(3), T(3), T(3))).getHPR(), expected, Tolerance<T>::degrees));
        EXPECT_TRUE(
            near((scale(T(2), T(0.5), T(4)) * m).getHPR(), expected, Tolerance<T>::degrees));
    }
}

TYPED_TEST(KuMatrixTest, PreMultiplyAppliesFirstAndPostMultiplyLast) {
    using T = TypeParam;
    using V = kuVec3<T>;
    const kuMatrix<T> move = translation(T(1), T(0), T(0));
    const kuMatrix<T> turn = rotation(T(90), T(0), T(0));

    kuMatrix<T> pre = turn;
    pre.preMultiply(move); // move to +X, then turn: ends on +Y
    EXPECT_TRUE(near(pre.transformPoint(V(0, 0, 0)), V(0, 1, 0), Tolerance<T>::value));
    EXPECT_TRUE(near((move * turn).transformPoint(V(0, 0, 0)), V(0, 1, 0), Tolerance<T>::value));

    kuMatrix<T> post = turn;
    post.postMultiply(move); // turn (the origin stays), then move
    EXPECT_TRUE(near(post.transformPoint(V(0, 0, 0)), V(1, 0, 0), Tolerance<T>::value));
    EXPECT_TRUE(near(post.transformPoint(V(0, 2, 0)), V(-1, 0, 0), Tolerance<T>::value));
}

TYPED_TEST(KuMatrixTest, TranslationMovesPointsButNotVectors) {
    using T = TypeParam;
    using V = kuVec3<T>;
    kuMatrix<T> m = translation(T(1), T(2), T(3));
    EXPECT_EQ(m.getTrans(), V(1, 2, 3));
    EXPECT_EQ(m.transformPoint(V(1, 1, 1)), V(2, 3, 4));
    EXPECT_EQ(m.transformVector(V(1, 1, 1)), V(1, 1, 1));
    m.setTrans(V(-4, 5, 0));
    EXPECT_EQ(m.transformPoint(V(0, 0, 0)), V(-4, 5, 0));

    EXPECT_EQ(scale(T(2), T(3), T(4)).transformPoint(V(1, -1, 1)), V(2, -3, 4));
    const kuMatrix<T> turned = rotation(T(90), T(0), T(0)) * translation(T(10), T(0), T(0));
    EXPECT_TRUE(near(turned.transformPoint(V(0, 1, 0)), V(9, 0, 0), Tolerance<T>::value));
    EXPECT_TRUE(near(turned.transformVector(V(0, 1, 0)), V(-1, 0, 0), Tolerance<T>::value));
}

TYPED_TEST(KuMatrixTest, TransformPointDividesByW) {
    using T = TypeParam;
    using V = kuVec3<T>;
    kuMatrix<T> homogeneous;
    homogeneous(3, 3) = 2;
    EXPECT_EQ(homogeneous.transformPoint(V(2, 4, 6)), V(1, 2, 3));

    kuMatrix<T> perspective; // w = z
    perspective(2, 3) = 1;
    perspective(3, 3) = 0;
    EXPECT_TRUE(near(perspective.transformPoint(V(1, 2, 4)), V(T(0.25), T(0.5), T(1)),
                     Tolerance<T>::value));
}

TYPED_TEST(KuMatrixTest, InvertUndoesTheMatrix) {
    using T = TypeParam;
    const T general[16] = {2, 0, 1, 0, 1, 3, 0, 1, 0, 1, 4, 0, 1, 0, 0, 2};
    const kuMatrix<T> matrices[] = {
        translation(T(1), T(-2), T(3)),
        scale(T(2), T(4), T(0.5)),
        rotation(T(30), T(40), T(50)) * translation(T(1), T(2), T(3)),
        scale(T(2), T(1), T(3)) * rotation(T(-100), T(10), T(-20)),
        kuMatrix<T>(general),
    };
    for (std::size_t i = 0; i < std::size(matrices); ++i) {
        kuMatrix<T> inverse = matrices[i];
        ASSERT_TRUE(inverse.invert()) << "matrix " << i;
        EXPECT_TRUE(nearIdentity(matrices[i] * inverse, Tolerance<T>::value * 10)) << i;
        EXPECT_TRUE(nearIdentity(inverse * matrices[i], Tolerance<T>::value * 10)) << i;
    }

    // Inverses known in closed form.
    kuMatrix<T> m = translation(T(1), T(-2), T(3));
    ASSERT_TRUE(m.invert());
    EXPECT_EQ(m, translation(T(-1), T(2), T(-3)));
    m = scale(T(2), T(4), T(0.5));
    ASSERT_TRUE(m.invert());
    EXPECT_EQ(m, scale(T(0.5), T(0.25), T(2)));
    kuMatrix<T> shear, unshear;
    shear(1, 0) = 2;
    unshear(1, 0) = -2;
    ASSERT_TRUE(shear.invert());
    EXPECT_EQ(shear, unshear);
}

TYPED_TEST(KuMatrixTest, InvertOfASingularMatrixFailsAndKeepsIt) {
    using T = TypeParam;
    const T repeatedRow[16] = {1, 2, 3, 4, 1, 2, 3, 4, 0, 0, 1, 0, 0, 0, 0, 1};
    const T zeros[16] = {};
    const kuMatrix<T> singular[] = {scale(T(1), T(0), T(1)), kuMatrix<T>(repeatedRow),
                                    kuMatrix<T>(zeros)};
    for (std::size_t i = 0; i < std::size(singular); ++i) {
        kuMatrix<T> m = singular[i];
        EXPECT_FALSE(m.invert()) << "matrix " << i;
        EXPECT_EQ(m, singular[i]) << "matrix " << i;
    }
}

// ---- spheres ----

TEST(KuSphereTest, ExpandByCoversBothSpheres) {
    using S = kuSphered;
    using V = kuVec3d;
    struct Case {
        const char* what;
        S start, other, expected;
    };
    const Case cases[] = {
        {"empty takes the other", S(), S(V(1, 2, 3), 2), S(V(1, 2, 3), 2)},
        {"empty other is ignored", S(V(1, 2, 3), 2), S(), S(V(1, 2, 3), 2)},
        {"empty stays empty", S(), S(), S()},
        {"contained", S(V(0, 0, 0), 10), S(V(1, 0, 0), 2), S(V(0, 0, 0), 10)},
        {"touching inside", S(V(0, 0, 0), 2), S(V(1, 0, 0), 1), S(V(0, 0, 0), 2)},
        {"containing", S(V(1, 0, 0), 1), S(V(0, 0, 0), 5), S(V(0, 0, 0), 5)},
        {"disjoint", S(V(0, 0, 0), 1), S(V(4, 0, 0), 1), S(V(2, 0, 0), 3)},
        {"overlapping", S(V(0, 0, 0), 2), S(V(0, 3, 0), 2), S(V(0, 1.5, 0), 3.5)},
        {"unequal, diagonal", S(V(0, 0, 0), 1), S(V(3, 4, 0), 2), S(V(1.8, 2.4, 0), 4)},
        {"two points", S(V(0, 0, 0), 0), S(V(0, 0, 4), 0), S(V(0, 0, 2), 2)},
    };
    for (const Case& k : cases) {
        S sphere = k.start;
        sphere.expandBy(k.other);
        EXPECT_EQ(sphere.valid(), k.expected.valid()) << k.what;
        if (!k.expected.valid())
            continue;
        EXPECT_TRUE(near(sphere.center, k.expected.center, 1e-12)) << k.what;
        EXPECT_NEAR(sphere.radius, k.expected.radius, 1e-12) << k.what;
        for (const S& part : {k.start, k.other}) {
            if (!part.valid())
                continue;
            EXPECT_LE((part.center - sphere.center).length() + part.radius, sphere.radius + 1e-12)
                << k.what;
        }
    }
}

} // namespace
