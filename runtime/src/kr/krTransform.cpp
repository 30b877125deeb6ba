#include <kr/krTransform.h>

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
