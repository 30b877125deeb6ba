#include <kr/krFog.h>

#include <GL/gl.h>

#include <algorithm>
#include <cmath>

krFog::krFog() = default;
krFog::~krFog() = default;

bool krFog::Value::operator==(const Value& other) const {
    return type == other.type && density == other.density && nearDistance == other.nearDistance &&
           farDistance == other.farDistance && std::equal(color, color + 4, other.color);
}

float krFog::Value::getAmount(double distance) const {
    double visible = 1.0; // OpenGL's fog factor: the share of the object's own colour
    switch (type) {
    case TYPE_LINEAR:
        visible = farDistance > nearDistance
                      ? (farDistance - distance) / (farDistance - nearDistance)
                      : 1.0;
        break;
    case TYPE_EXP:
        visible = std::exp(-density * distance);
        break;
    case TYPE_EXP2:
        visible = std::exp(-(density * distance) * (density * distance));
        break;
    default:
        break;
    }
    return static_cast<float>(1.0 - std::min(1.0, std::max(0.0, visible)));
}

void krFog::setColor(float r, float g, float b, float a) {
    float* color = m_value.color;
    color[0] = r, color[1] = g, color[2] = b, color[3] = a;
    ++m_revision;
}

void krFog::copyFrom(const krFog& other) {
    setFogValue(other.m_value);
}

void krFog::setFogValue(const Value& value) {
    m_value = value;
    ++m_revision;
}

krFog::Element::Element(bool enable_, krFog* fog) : enable(enable_) {
    setFog(fog);
}

krFog::Element::Element(bool enable_, const Value& value) : enable(enable_) {
    setFogValue(value);
}

krFog::Element::Element(const Element& other) : krElementT(other) {
    *this = other;
}

krFog::Element& krFog::Element::operator=(const Element& other) {
    if (&other == this)
        return *this;
    enable = other.enable;
    setFog(other.m_fog);
    m_revision = other.m_revision;
    m_value = other.m_value;
    m_holdsValue = other.m_holdsValue;
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
    m_holdsValue = false;
}

void krFog::Element::setFogValue(const Value& value) {
    setFog(nullptr);
    m_value = value;
    m_holdsValue = true;
}

bool krFog::Element::operator==(const Element& other) const {
    if (enable != other.enable)
        return false;
    if (!enable)
        return true; // no fog, whichever fog it names
    if (m_fog != other.m_fog || m_holdsValue != other.m_holdsValue)
        return false;
    if (m_holdsValue)
        return m_value == other.m_value;
    // A fog changed since either value was taken counts as a different value.
    return !m_fog || (m_revision == m_fog->getRevision() && other.m_revision == m_revision);
}

void krFog::Element::apply(krDrawContext&) const {
    const Value* value = getFogValue();
    if (!enable || !value) {
        glDisable(GL_FOG);
        return;
    }
    if (m_fog)
        m_revision = m_fog->getRevision();
    glEnable(GL_FOG);
    const int type = value->type;
    glFogi(GL_FOG_MODE, type == TYPE_LINEAR ? GL_LINEAR : (type == TYPE_EXP2 ? GL_EXP2 : GL_EXP));
    glFogf(GL_FOG_DENSITY, value->density);
    glFogf(GL_FOG_START, value->nearDistance);
    glFogf(GL_FOG_END, value->farDistance);
    glFogfv(GL_FOG_COLOR, value->color);
}
