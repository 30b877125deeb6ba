#include <kr/krRenderElements.h>

#include <GL/gl.h>

namespace {
GLenum blendFactor(int factor) {
    static const GLenum factors[] = {GL_ZERO,      GL_ONE,
                                     GL_SRC_COLOR, GL_ONE_MINUS_SRC_COLOR,
                                     GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA,
                                     GL_DST_COLOR, GL_ONE_MINUS_DST_COLOR,
                                     GL_DST_ALPHA, GL_ONE_MINUS_DST_ALPHA};
    return factor >= 0 && factor < 10 ? factors[factor] : GL_ONE;
}

void setCapability(GLenum capability, bool enable) {
    if (enable)
        glEnable(capability);
    else
        glDisable(capability);
}
} // namespace

void krAlphaBlend::Element::apply(krDrawContext&) const {
    setCapability(GL_BLEND, enable);
    glBlendFunc(blendFactor(source), blendFactor(destination));
}

void krDepthTest::Element::apply(krDrawContext&) const {
    setCapability(GL_DEPTH_TEST, enable);
    glDepthFunc(GL_NEVER + static_cast<GLenum>(function >= 0 && function < 8 ? function : 3));
}

void krDepthWrite::Element::apply(krDrawContext&) const {
    glDepthMask(enable ? GL_TRUE : GL_FALSE);
}

void krLighting::Element::apply(krDrawContext&) const {
    setCapability(GL_LIGHTING, enable);
}

void krNormalize::Element::apply(krDrawContext&) const {
    setCapability(GL_NORMALIZE, enable);
}

void krMultiSample::Element::apply(krDrawContext&) const {
    setCapability(GL_MULTISAMPLE, enable);
    setCapability(GL_SAMPLE_COVERAGE, enable && coverage < 1.0f);
    if (enable && coverage < 1.0f)
        glSampleCoverage(coverage, invertCoverage ? GL_TRUE : GL_FALSE);
}

void krDecal::Element::apply(krDrawContext&) const {
    setCapability(GL_POLYGON_OFFSET_FILL, enable);
    glPolygonOffset(factor, units);
}
