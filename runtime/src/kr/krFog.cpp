#include <kr/krFog.h>

#include <GL/gl.h>

#include <algorithm>
#include <cmath>

krFog::krFog() = default;
krFog::~krFog() = default;

void krFog::setColor(float r, float g, float b, float a) {
    m_color[0] = r, m_color[1] = g, m_color[2] = b, m_color[3] = a;
    ++m_revision;
}

float krFog::getValue(double distance) const {
    double visible = 1.0; // OpenGL's fog factor: the share of the object's own colour
    switch (m_type) {
    case TYPE_LINEAR:
        visible = m_far > m_near ? (m_far - distance) / (m_far - m_near) : 1.0;
        break;
    case TYPE_EXP:
        visible = std::exp(-m_density * distance);
        break;
    case TYPE_EXP2:
        visible = std::exp(-(m_density * distance) * (m_density * distance));
        break;
    default:
        break;
    }
    return static_cast<float>(1.0 - std::min(1.0, std::max(0.0, visible)));
}

void krFog::copyFrom(const krFog& other) {
    m_type = other.m_type;
    m_density = other.m_density;
    m_near = other.m_near;
    m_far = other.m_far;
    std::copy(other.m_color, other.m_color + 4, m_color);
    ++m_revision;
}

krFog::Element::Element(bool enable_, krFog* fog) : enable(enable_) {
    setFog(fog);
}

krFog::Element::Element(const Element& other) : krElementT(other), enable(other.enable) {
    setFog(other.m_fog);
    m_revision = other.m_revision;
}

krFog::Element& krFog::Element::operator=(const Element& other) {
    enable = other.enable;
    setFog(other.m_fog);
    m_revision = other.m_revision;
    return *this;
}

krFog::Element::~Element() {
    if (m_fog)
        m_fog->unref();
}

void krFog::Element::setFog(krFog* fog) {
    if (fog)
        fog->ref();
    if (m_fog)
        m_fog->unref();
    m_fog = fog;
    m_revision = fog ? fog->getRevision() : 0;
}

bool krFog::Element::operator==(const Element& other) const {
    if (enable != other.enable || m_fog != other.m_fog)
        return false;
    // A fog changed since either value was taken counts as a different value.
    return !m_fog || (m_revision == m_fog->getRevision() && other.m_revision == m_revision);
}

void krFog::Element::apply(krDrawContext&) const {
    if (!enable || !m_fog) {
        glDisable(GL_FOG);
        return;
    }
    m_revision = m_fog->getRevision();
    glEnable(GL_FOG);
    const int type = m_fog->getType();
    glFogi(GL_FOG_MODE, type == TYPE_LINEAR ? GL_LINEAR : (type == TYPE_EXP2 ? GL_EXP2 : GL_EXP));
    glFogf(GL_FOG_DENSITY, m_fog->getDensity());
    glFogf(GL_FOG_START, m_fog->getNear());
    glFogf(GL_FOG_END, m_fog->getFar());
    glFogfv(GL_FOG_COLOR, m_fog->getColor());
}
