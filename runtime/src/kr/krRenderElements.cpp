#include <kr/krRenderElements.h>

#include <kr/krDrawContext.h>

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

void krPolygon::Element::apply(krDrawContext&) const {
    static const GLenum modes[] = {GL_FILL, GL_LINE, GL_POINT};
    static const GLenum faces[] = {GL_BACK, GL_FRONT, GL_FRONT_AND_BACK};
    glLightModeli(GL_LIGHT_MODEL_TWO_SIDE, twoSidedLighting ? GL_TRUE : GL_FALSE);
    setCapability(GL_CULL_FACE, cullEnable);
    glCullFace(cullFace >= 0 && cullFace < 3 ? faces[cullFace] : GL_BACK);
    glPolygonMode(GL_FRONT_AND_BACK, mode >= 0 && mode < 3 ? modes[mode] : GL_FILL);
}

void krColorMask::Element::apply(krDrawContext&) const {
    glColorMask(red ? GL_TRUE : GL_FALSE, green ? GL_TRUE : GL_FALSE, blue ? GL_TRUE : GL_FALSE,
                alpha ? GL_TRUE : GL_FALSE);
}

void krProgram::Element::apply(krDrawContext&) const {
    glUseProgram(program);
}

void krViewport::Element::getRect(const krDrawContext& context, int rect[4]) const {
    const bool whole = width < 0 || height < 0;
    rect[0] = whole ? 0 : x;
    rect[1] = whole ? 0 : y;
    rect[2] = whole ? context.getDrawableWidth() : width;
    rect[3] = whole ? context.getDrawableHeight() : height;
}

void krViewport::Element::apply(krDrawContext& context) const {
    int rect[4];
    getRect(context, rect);
    glViewport(rect[0], rect[1], rect[2], rect[3]);
}

void krScissor::Element::apply(krDrawContext&) const {
    setCapability(GL_SCISSOR_TEST, enable);
    if (enable)
        glScissor(x, y, width, height);
}
