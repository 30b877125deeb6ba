#include <kr/krLight.h>

#include <GL/gl.h>

#include <algorithm>

namespace {
void set4(float* to, float a, float b, float c, float d) {
    to[0] = a, to[1] = b, to[2] = c, to[3] = d;
}
bool equal4(const float* a, const float* b) {
    return std::equal(a, a + 4, b);
}
} // namespace

bool krLight::Source::operator==(const Source& other) const {
    // The values of a light that is off make no difference to the picture.
    return enable == other.enable &&
           (!enable || (equal4(position, other.position) && equal4(ambient, other.ambient) &&
                        equal4(diffuse, other.diffuse) && equal4(specular, other.specular)));
}

void krLight::Source::setPosition(float x, float y, float z, float w) {
    set4(position, x, y, z, w);
}
void krLight::Source::setAmbient(float r, float g, float b, float a) {
    set4(ambient, r, g, b, a);
}
void krLight::Source::setDiffuse(float r, float g, float b, float a) {
    set4(diffuse, r, g, b, a);
}
void krLight::Source::setSpecular(float r, float g, float b, float a) {
    set4(specular, r, g, b, a);
}

krLight::Element::Element() {
    lights[0].setDiffuse(1, 1, 1, 1);
    lights[0].setSpecular(1, 1, 1, 1);
}

bool krLight::Element::operator==(const Element& other) const {
    if (!equal4(modelAmbient, other.modelAmbient) || colorMaterial != other.colorMaterial)
        return false;
    bool positioned = false;
    for (int i = 0; i < NUM_LIGHTS; ++i) {
        if (!(lights[i] == other.lights[i]))
            return false;
        positioned = positioned || lights[i].enable;
    }
    return !positioned || frame == other.frame;
}

namespace {
// Sets the lights, the model ambient and the colour material that differ from previous (all
// of them without one).
void setLights(const krLight::Element& value, const krLight::Element* previous) {
    const bool moved = !previous || !(previous->frame == value.frame);
    bool framed = false;
    for (int i = 0; i < krLight::NUM_LIGHTS; ++i) {
        const GLenum light = GL_LIGHT0 + static_cast<GLenum>(i);
        const krLight::Source& source = value.lights[i];
        if (previous && source == previous->lights[i] && !(source.enable && moved))
            continue;
        if (!source.enable) {
            glDisable(light);
            continue;
        }
        if (!framed) {
            // Positions are transformed by the modelview matrix when they are set: set them
            // under the frame, then give the modelview matrix back.
            glMatrixMode(GL_MODELVIEW);
            glPushMatrix();
            glLoadMatrixd(value.frame.ptr());
            framed = true;
        }
        glLightfv(light, GL_POSITION, source.position);
        glLightfv(light, GL_AMBIENT, source.ambient);
        glLightfv(light, GL_DIFFUSE, source.diffuse);
        glLightfv(light, GL_SPECULAR, source.specular);
        glEnable(light);
    }
    if (framed)
        glPopMatrix();
    if (!previous || !equal4(previous->modelAmbient, value.modelAmbient))
        glLightModelfv(GL_LIGHT_MODEL_AMBIENT, value.modelAmbient);
    if (!previous || previous->colorMaterial != value.colorMaterial) {
        glColorMaterial(GL_FRONT_AND_BACK, GL_AMBIENT_AND_DIFFUSE);
        if (value.colorMaterial)
            glEnable(GL_COLOR_MATERIAL);
        else
            glDisable(GL_COLOR_MATERIAL);
    }
}
} // namespace

void krLight::Element::apply(krDrawContext&) const {
    setLights(*this, nullptr);
}

void krLight::Element::applyFrom(krDrawContext&, const krElement& previous) const {
    setLights(*this, previous.getId() == Id ? static_cast<const Element*>(&previous) : nullptr);
}
