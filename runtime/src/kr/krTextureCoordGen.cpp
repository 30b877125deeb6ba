#include <kr/krTextureCoordGen.h>

#include <GL/gl.h>

void krTextureCoordGen::setMode(int dimension, int mode) {
    if (dimension >= 0 && dimension < 4)
        m_modes[dimension] = mode;
}

int krTextureCoordGen::getMode(int dimension) const {
    return dimension >= 0 && dimension < 4 ? m_modes[dimension] : 0;
}

void krTextureCoordGen::setPlane(int dimension, const kuVec4f& plane) {
    if (dimension >= 0 && dimension < 4)
        m_planes[dimension] = plane;
}

kuVec4f krTextureCoordGen::getPlane(int dimension) const {
    return dimension >= 0 && dimension < 4 ? m_planes[dimension] : kuVec4f();
}

krTextureCoordGen::Element::Element(bool s, bool t, bool r, krTextureCoordGen* generator)
    : enable{s, t, r}, m_generator(generator) {
    if (m_generator)
        m_generator->ref();
}

krTextureCoordGen::Element::Element(const Element& other)
    : krElementT(other), enable{other.enable[0], other.enable[1], other.enable[2]},
      m_generator(other.m_generator) {
    if (m_generator)
        m_generator->ref();
}

krTextureCoordGen::Element& krTextureCoordGen::Element::operator=(const Element& other) {
    if (other.m_generator)
        other.m_generator->ref();
    if (m_generator)
        m_generator->unref();
    m_generator = other.m_generator;
    for (int i = 0; i < 3; ++i)
        enable[i] = other.enable[i];
    return *this;
}

krTextureCoordGen::Element::~Element() {
    if (m_generator)
        m_generator->unref();
}

bool krTextureCoordGen::Element::operator==(const Element& other) const {
    return enable[0] == other.enable[0] && enable[1] == other.enable[1] &&
           enable[2] == other.enable[2] && m_generator == other.m_generator;
}

void krTextureCoordGen::Element::apply(krDrawContext&) const {
    static const GLenum coords[3] = {GL_S, GL_T, GL_R};
    static const GLenum caps[3] = {GL_TEXTURE_GEN_S, GL_TEXTURE_GEN_T, GL_TEXTURE_GEN_R};
    glActiveTexture(GL_TEXTURE0);
    for (int i = 0; i < 3; ++i) {
        if (!enable[i] || !m_generator) {
            glDisable(caps[i]);
            continue;
        }
        const kuVec4f plane = m_generator->getPlane(i);
        const float values[4] = {plane.x, plane.y, plane.z, plane.w};
        if (m_generator->getMode(i) == MODE_EYE_LINEAR) {
            glTexGeni(coords[i], GL_TEXTURE_GEN_MODE, GL_EYE_LINEAR);
            glTexGenfv(coords[i], GL_EYE_PLANE, values);
        } else {
            glTexGeni(coords[i], GL_TEXTURE_GEN_MODE, GL_OBJECT_LINEAR);
            glTexGenfv(coords[i], GL_OBJECT_PLANE, values);
        }
        glEnable(caps[i]);
    }
}
