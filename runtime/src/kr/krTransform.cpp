#include <kr/krTransform.h>

#include <cmath>

#include <GL/gl.h>

void krTransform::ElementModelView::apply(krDrawContext&) const {
    glMatrixMode(GL_MODELVIEW);
    glLoadMatrixd(matrix.ptr());
}

krTransform::ElementProjection krTransform::ElementProjection::ortho(double left, double right,
                                                                     double bottom, double top,
                                                                     double nearClip,
                                                                     double farClip) {
    kuMatrixd m;
    m(0, 0) = 2 / (right - left);
    m(1, 1) = 2 / (top - bottom);
    m(2, 2) = -2 / (farClip - nearClip);
    m(3, 0) = -(right + left) / (right - left);
    m(3, 1) = -(top + bottom) / (top - bottom);
    m(3, 2) = -(farClip + nearClip) / (farClip - nearClip);
    return ElementProjection(m);
}

int krTransform::ElementProjection::makeSymmetric(double fovX, double fovY, double nearClip,
                                                  double farClip) {
    // Written to be false for NaN as well.
    if (!(fovX > 0 && fovX <= 180 && fovY > 0 && fovY <= 180 && nearClip > 0 && farClip > nearClip))
        return -32767;
    const double deg2rad = M_PI / 180.0;
    kuMatrixd m;
    m(0, 0) = 1 / std::tan(fovX * 0.5 * deg2rad);
    m(1, 1) = 1 / std::tan(fovY * 0.5 * deg2rad);
    m(2, 2) = -(farClip + nearClip) / (farClip - nearClip);
    m(2, 3) = -1;
    m(3, 2) = -2 * farClip * nearClip / (farClip - nearClip);
    m(3, 3) = 0;
    matrix = m;
    return 1;
}

void krTransform::ElementProjection::apply(krDrawContext&) const {
    glMatrixMode(GL_PROJECTION);
    glLoadMatrixd(matrix.ptr());
    glMatrixMode(GL_MODELVIEW);
}

void krTransform::ElementTexture::apply(krDrawContext&) const {
    glActiveTexture(GL_TEXTURE0);
    glMatrixMode(GL_TEXTURE);
    glLoadMatrixf(matrix.ptr());
    glMatrixMode(GL_MODELVIEW);
}
