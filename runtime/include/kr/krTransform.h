#ifndef KR_TRANSFORM_H
#define KR_TRANSFORM_H

#include <kr/krElement.h>
#include <ku/kuMatrix.h>

// The matrix elements of the draw context. Matrices use the runtime's row-vector layout,
// which is OpenGL's column-major memory order, so they load as they are.
class KX_API krTransform {
public:
    class KX_API ElementModelView : public krElementT<ElementModelView, KR_ELEMENT_MODELVIEW> {
    public:
        ElementModelView() = default;
        explicit ElementModelView(const kuMatrixd& m) : matrix(m) {}
        bool operator==(const ElementModelView& o) const { return matrix == o.matrix; }
        void apply(krDrawContext& context) const override;
        kuMatrixd matrix;
    };
    class KX_API ElementProjection : public krElementT<ElementProjection, KR_ELEMENT_PROJECTION> {
    public:
        ElementProjection() = default;
        explicit ElementProjection(const kuMatrixd& m) : matrix(m) {}
        // Orthographic projection of the box [left, right] x [bottom, top] x [near, far].
        static ElementProjection ortho(double left, double right, double bottom, double top,
                                       double nearClip, double farClip);
        // Symmetric perspective: full fields of view across and up in degrees (each in
        // (0, 180]; 180 squeezes the whole half-space ahead into the centre), near and far
        // distances (0 < near < far); the eye looks down -z. 1, or -32767 with the matrix
        // unchanged for values outside those ranges.
        int makeSymmetric(double fovX, double fovY, double nearClip, double farClip);
        bool operator==(const ElementProjection& o) const { return matrix == o.matrix; }
        void apply(krDrawContext& context) const override;
        kuMatrixd matrix;
    };
    // The texture matrix of texture unit 0.
    class KX_API ElementTexture : public krElementT<ElementTexture, KR_ELEMENT_TEXTURE_MATRIX> {
    public:
        ElementTexture() = default;
        explicit ElementTexture(const kuMatrixf& m) : matrix(m) {}
        bool operator==(const ElementTexture& o) const { return matrix == o.matrix; }
        void apply(krDrawContext& context) const override;
        kuMatrixf matrix;
    };
};

#endif
