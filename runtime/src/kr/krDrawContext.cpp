#include <kr/krDrawContext.h>

#include <kr/krFog.h>
#include <kr/krGeometry.h>
#include <kr/krLight.h>
#include <kr/krRenderElements.h>
#include <kr/krShaderInfrastructure.h>
#include <kr/krShaderProgram.h>
#include <kr/krShaderProgramCache.h>
#include <kr/krShaderTechnique.h>
#include <kr/krState.h>
#include <kr/krTexture.h>
#include <kr/krTextureCoordGen.h>
#include <kr/krTransform.h>
#include <ku/kuAllocRef.h>
#include <ku/kuNotify.h>

#include <GL/gl.h>

#include <algorithm>
#include <cstdlib>

namespace {

// Elements without a value class of their own yet (polygon mode): a no-op placeholder keeps
// every stack non-empty.
class NoElement : public krElement {
public:
    explicit NoElement(int id) : m_id(id) {}
    int getId() const override { return m_id; }
    krElement* clone() const override { return new NoElement(m_id); }
    bool equals(const krElement& other) const override { return other.getId() == m_id; }
    void assign(const krElement&) override {}
    void apply(krDrawContext&) const override {}

private:
    int m_id;
};

GLenum glFormat(int format) {
    switch (format) {
    case krTexture::FORMAT_INTENSITY:
        return GL_LUMINANCE;
    case krTexture::FORMAT_INTENSITY_ALPHA:
        return GL_LUMINANCE_ALPHA;
    case krTexture::FORMAT_RGBA:
        return GL_RGBA;
    default:
        return GL_RGB;
    }
}

GLint glWrap(int wrap) {
    switch (wrap) {
    case krTexture::WRAP_CLAMP:
        return GL_CLAMP;
    case krTexture::WRAP_CLAMP_TO_BORDER:
        return GL_CLAMP_TO_BORDER;
    case krTexture::WRAP_CLAMP_TO_EDGE:
        return GL_CLAMP_TO_EDGE;
    default:
        return GL_REPEAT;
    }
}

GLint glMinFilter(int filter, int mipmap) {
    const bool linear = filter != krTexture::FILTER_NEAREST;
    switch (mipmap) {
    case krTexture::MIPMAP_NONE:
        return linear ? GL_LINEAR : GL_NEAREST;
    case krTexture::MIPMAP_NEAREST:
        return linear ? GL_LINEAR_MIPMAP_NEAREST : GL_NEAREST_MIPMAP_NEAREST;
    case krTexture::MIPMAP_LINEAR:
        return linear ? GL_LINEAR_MIPMAP_LINEAR : GL_NEAREST_MIPMAP_LINEAR;
    default: // between levels as within one
        return linear ? GL_LINEAR_MIPMAP_LINEAR : GL_NEAREST_MIPMAP_NEAREST;
    }
}

// Uploads every image level the texture has; storage without data when it has none (a
// texture filled from the frame buffer).
void upload(const krTexture* texture) {
    const int width = texture->getWidth(), height = texture->getHeight();
    const GLenum format = glFormat(texture->getFormat());
    const int components = krTexture::getFormatComponents(texture->getFormat());
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    int levels = 0;
    for (int level = 0; level < std::max(1, texture->getNumImageLevels()); ++level) {
        const int w = std::max(1, width >> level), h = std::max(1, height >> level);
        const kuAllocRef* bits = texture->getImageLevel(level);
        const std::size_t needed = static_cast<std::size_t>(w) * h * std::max(1, components);
        if (level > 0 && (!bits || bits->size() < needed))
            break;
        const void* data = bits && bits->size() >= needed ? bits->data() : nullptr;
        glTexImage2D(GL_TEXTURE_2D, level, static_cast<GLint>(format), w, h, 0, format,
                     GL_UNSIGNED_BYTE, data);
        ++levels;
        if (w == 1 && h == 1)
            break;
    }
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAX_LEVEL, std::max(0, levels - 1));
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER,
                    glMinFilter(texture->getMinFilter(),
                                levels > 1 ? texture->getMinMipmap() : krTexture::MIPMAP_NONE));
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER,
                    texture->getMagFilter() == krTexture::FILTER_NEAREST ? GL_NEAREST : GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, glWrap(texture->getWrapS()));
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, glWrap(texture->getWrapT()));
    glTexParameterfv(GL_TEXTURE_2D, GL_TEXTURE_BORDER_COLOR, texture->getBorderColor());
}

} // namespace

krDrawContext::krDrawContext() {
    for (int id = 0; id < KR_NUM_ELEMENTS; ++id) {
        Stack& stack = m_stacks[id];
        stack.values.emplace_back(makeDefault(id));
        stack.defaultValue.reset(makeDefault(id));
        stack.applied.reset(makeDefault(id));
    }
}

krDrawContext::~krDrawContext() = default;

void krDrawContext::setDrawableSize(int width, int height) {
    m_drawableWidth = std::max(0, width);
    m_drawableHeight = std::max(0, height);
}

krElement* krDrawContext::makeDefault(int id) {
    switch (id) {
    case KR_ELEMENT_MODELVIEW:
        return new krTransform::ElementModelView;
    case KR_ELEMENT_PROJECTION:
        return new krTransform::ElementProjection;
    case KR_ELEMENT_TEXTURE_MATRIX:
        return new krTransform::ElementTexture;
    case KR_ELEMENT_TEXTURE:
        return new krTexture::Element;
    case KR_ELEMENT_TEXGEN:
        return new krTextureCoordGen::Element;
    case KR_ELEMENT_ALPHA_BLEND:
        return new krAlphaBlend::Element;
    case KR_ELEMENT_DEPTH_TEST:
        return new krDepthTest::Element;
    case KR_ELEMENT_DEPTH_WRITE:
        return new krDepthWrite::Element;
    case KR_ELEMENT_LIGHTING:
        return new krLighting::Element;
    case KR_ELEMENT_FOG:
        return new krFog::Element;
    case KR_ELEMENT_MULTISAMPLE:
        return new krMultiSample::Element;
    case KR_ELEMENT_NORMALIZE:
        return new krNormalize::Element;
    case KR_ELEMENT_DECAL:
        return new krDecal::Element;
    case KR_ELEMENT_POLYGON:
        return new krPolygon::Element;
    case KR_ELEMENT_SHADER:
        return new krProgram::Element;
    case KR_ELEMENT_SHADER_PROGRAM:
        return new krShaderProgram::Element;
    case KR_ELEMENT_COLOR_MASK:
        return new krColorMask::Element;
    case KR_ELEMENT_LIGHT:
        return new krLight::Element;
    case KR_ELEMENT_VIEWPORT:
        return new krViewport::Element;
    case KR_ELEMENT_SCISSOR:
        return new krScissor::Element;
    default:
        return new NoElement(id);
    }
}

void krDrawContext::reset() {
    for (int id = 0; id < KR_NUM_ELEMENTS; ++id) {
        Stack& stack = m_stacks[id];
        // The slots let go of what they refer to (fogs, texture states) and stay for the next
        // push.
        for (std::size_t i = 0; i < stack.depth; ++i)
            stack.values[i]->assign(*stack.defaultValue);
        stack.depth = 1;
        if (id == KR_ELEMENT_VIEWPORT)
            adoptViewport();
        else
            applyTop(id, true);
    }
    m_inherited = nullptr;
    m_drawnState = nullptr;
    m_wholeProgram = 0;
}

void krDrawContext::adoptViewport() {
    GLint rect[4] = {0, 0, 0, 0};
    glGetIntegerv(GL_VIEWPORT, rect);
    Stack& stack = m_stacks[KR_ELEMENT_VIEWPORT];
    const krViewport::Element value(rect[0], rect[1], rect[2], rect[3]);
    stack.top().assign(value);
    stack.applied->assign(value);
    stack.appliedKnown = true;
}

void krDrawContext::applyTop(int id, bool force) {
    Stack& stack = m_stacks[id];
    const krElement& top = stack.top();
    if (!force && stack.appliedKnown && stack.applied->equals(top))
        return;
    m_applying = id;
    if (id == KR_ELEMENT_TEXTURE)
        forgetTechniqueTextures();
    if (!force && stack.appliedKnown)
        top.applyFrom(*this, *stack.applied);
    else
        top.apply(*this);
    m_applying = -1;
    stack.applied->assign(top);
    stack.appliedKnown = true;
    ++m_numApplied;
}

void krDrawContext::restoreApplied(int id) {
    Stack& stack = m_stacks[id];
    if (stack.appliedKnown) {
        m_applying = id;
        if (id == KR_ELEMENT_TEXTURE)
            forgetTechniqueTextures();
        stack.applied->apply(*this);
        m_applying = -1;
    } else {
        applyTop(id, true);
    }
}

void krDrawContext::setElement(int id, const krElement& element, bool force) {
    if (id < 0 || id >= KR_NUM_ELEMENTS || element.getId() != id)
        return;
    m_stacks[id].top().assign(element);
    applyTop(id, force);
}

const krElement* krDrawContext::getElement(int id) const {
    return id >= 0 && id < KR_NUM_ELEMENTS ? m_stacks[id].values[m_stacks[id].depth - 1].get()
                                           : nullptr;
}

void krDrawContext::pushElement(int id, bool reset, bool apply) {
    if (id < 0 || id >= KR_NUM_ELEMENTS)
        return;
    Stack& stack = m_stacks[id];
    if (stack.depth == stack.values.size())
        stack.values.emplace_back(makeDefault(id)); // a depth not reached before
    stack.values[stack.depth]->assign(reset ? *stack.defaultValue : stack.top());
    ++stack.depth;
    if (apply)
        applyTop(id, false);
}

void krDrawContext::popElement(int id, bool force) {
    if (id < 0 || id >= KR_NUM_ELEMENTS)
        return;
    Stack& stack = m_stacks[id];
    if (stack.depth <= 1) {
        kuNotify::print(kuNotify::WARN, nullptr, "krDrawContext: pop of element %d without push",
                        id);
        return;
    }
    stack.top().assign(*stack.defaultValue);
    --stack.depth;
    applyTop(id, force);
}

void krDrawContext::pushElements(bool reset, bool apply) {
    for (int id = 0; id < KR_NUM_ELEMENTS; ++id)
        pushElement(id, reset && id < KR_FIRST_CHANNEL_ELEMENT, apply);
}

void krDrawContext::popElements(bool force) {
    for (int id = KR_NUM_ELEMENTS - 1; id >= 0; --id)
        popElement(id, force);
}

void krDrawContext::setState(const krState* state) {
    if (!state)
        return;
    m_drawnState = state;
    for (int id = 0; id < KR_NUM_ELEMENTS; ++id) {
        if (const krElement* element = state->getElement(id))
            setElement(id, *element, false);
        else if (!state->getInheritUnset() && id < KR_FIRST_CHANNEL_ELEMENT)
            setElement(id, *m_stacks[id].defaultValue, false);
    }
}

void krDrawContext::clear(const float* color, bool depth) {
    if (!color && !depth)
        return;
    int rect[4];
    static_cast<const krViewport::Element&>(m_stacks[KR_ELEMENT_VIEWPORT].top())
        .getRect(*this, rect);
    const auto& scissor =
        static_cast<const krScissor::Element&>(m_stacks[KR_ELEMENT_SCISSOR].top());
    if (scissor.enable) {
        const int x0 = std::max(rect[0], scissor.x), y0 = std::max(rect[1], scissor.y);
        const int x1 = std::min(rect[0] + rect[2], scissor.x + scissor.width);
        const int y1 = std::min(rect[1] + rect[3], scissor.y + scissor.height);
        rect[0] = x0, rect[1] = y0, rect[2] = std::max(0, x1 - x0), rect[3] = std::max(0, y1 - y0);
    }
    glScissor(rect[0], rect[1], rect[2], rect[3]);
    glEnable(GL_SCISSOR_TEST);
    GLbitfield bits = 0;
    if (color) {
        glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);
        glClearColor(color[0], color[1], color[2], color[3]);
        bits |= GL_COLOR_BUFFER_BIT;
    }
    if (depth) {
        glDepthMask(GL_TRUE);
        bits |= GL_DEPTH_BUFFER_BIT;
    }
    glClear(bits);
    restoreApplied(KR_ELEMENT_SCISSOR);
    if (color)
        restoreApplied(KR_ELEMENT_COLOR_MASK);
    if (depth)
        restoreApplied(KR_ELEMENT_DEPTH_WRITE);
}

unsigned int krDrawContext::bindTexture(krTexture* texture) {
    if (!texture || texture->getWidth() <= 0 || texture->getHeight() <= 0)
        return 0;
    // A bind outside the texture element leaves unit 0 with another texture than it applied.
    if (m_applying != KR_ELEMENT_TEXTURE)
        m_stacks[KR_ELEMENT_TEXTURE].appliedKnown = false;
    TextureObject& object = m_textures[texture];
    if (object.name && object.serial != texture->getSerial()) {
        // Another texture now lives at that address: the old object is of no use.
        glDeleteTextures(1, &object.name);
        object = TextureObject();
    }
    if (!object.name) {
        glGenTextures(1, &object.name);
        object.serial = texture->getSerial();
        object.revision = texture->getRevision() - 1;
    }
    glBindTexture(GL_TEXTURE_2D, object.name);
    if (object.revision != texture->getRevision()) {
        upload(texture);
        object.revision = texture->getRevision();
    }
    return object.name;
}

void krDrawContext::releaseTextures() {
    for (auto& entry : m_textures)
        if (entry.second.name)
            glDeleteTextures(1, &entry.second.name);
    m_textures.clear();
    forgetTechniqueTextures();
    for (auto& entry : m_lists)
        if (entry.second.name)
            glDeleteLists(entry.second.name, 1);
    m_lists.clear();
    if (m_programs)
        m_programs->release();
    m_wholeProgram = 0;
}

void krDrawContext::setUniformValue(int id, const float* values, int count) {
    if (id < 0 || count <= 0 || !values)
        return;
    if (static_cast<size_t>(id) >= m_uniforms.size())
        m_uniforms.resize(static_cast<size_t>(id) + 1);
    UniformValue& slot = m_uniforms[static_cast<size_t>(id)];
    if (slot.count < static_cast<unsigned int>(count)) {
        slot.offset = static_cast<unsigned int>(m_uniformFloats.size());
        slot.count = static_cast<unsigned int>(count);
        m_uniformFloats.resize(m_uniformFloats.size() + static_cast<size_t>(count));
    }
    float* kept = m_uniformFloats.data() + slot.offset;
    if (slot.serial && std::equal(values, values + count, kept))
        return;
    std::copy(values, values + count, kept);
    slot.serial = ++m_uniformSerial;
}

bool krDrawContext::getUniformValue(int id, float* values, int count) const {
    if (id < 0 || static_cast<size_t>(id) >= m_uniforms.size() || !values)
        return false;
    const UniformValue& slot = m_uniforms[static_cast<size_t>(id)];
    if (!slot.serial || slot.count < static_cast<unsigned int>(count))
        return false;
    std::copy(m_uniformFloats.data() + slot.offset, m_uniformFloats.data() + slot.offset + count,
              values);
    return true;
}

krShaderProgramCache& krDrawContext::getShaderPrograms() {
    if (!m_programs)
        m_programs.reset(new krShaderProgramCache);
    return *m_programs;
}

unsigned int krDrawContext::getShaderProgram(const krShaderProgramKey& key) {
    return getShaderPrograms().get(key).name;
}

void krDrawContext::useGeneratedProgram() {
    if (m_drawnState && m_drawnState->getElement(KR_ELEMENT_SHADER))
        return; // the state's own program
    krShaderProgramKey key;
    krShaderInfrastructure::instance()->makeKey(*this, m_drawnState, key);
    bindTechniqueTextures(key);
    if (key.features.lighting != krFixedFunctionFeatures::LIGHTING_OFF) {
        const krLight::Element& lights = *get<krLight::Element>();
        float ambient[4] = {0, 0, 0, 1}, diffuse[4] = {0, 0, 0, 1};
        for (const krLight::Source& light : lights.lights)
            if (light.enable)
                for (int i = 0; i < 3; ++i)
                    ambient[i] += light.ambient[i];
        if (lights.lights[0].enable)
            std::copy(lights.lights[0].diffuse, lights.lights[0].diffuse + 3, diffuse);
        setUniformValue(krFixedFunctionFeatures::getLightsAmbient()->getId(), ambient, 4);
        setUniformValue(krFixedFunctionFeatures::getLight0Diffuse()->getId(), diffuse, 4);
    }
    setElement(krProgram::Element(getShaderProgram(key)), false);
}

namespace {
// The unit a technique's texture state feeds: the number its role ends with
// ("projLightLobeTexture3": 3), as the program binds the sampler of that name; -1 for none.
int roleUnit(const std::string& role) {
    std::size_t digits = role.size();
    while (digits > 0 && role[digits - 1] >= '0' && role[digits - 1] <= '9')
        --digits;
    if (digits == role.size() || role.size() - digits > 2)
        return -1;
    return std::atoi(role.c_str() + digits);
}
} // namespace

void krDrawContext::forgetTechniqueTextures() {
    for (TechniqueUnit& unit : m_techniqueUnits)
        unit = TechniqueUnit();
}

void krDrawContext::bindTechniqueTextures(const krShaderProgramKey& key) {
    for (int i = 0; i < key.numTechniques; ++i) {
        for (const krShaderTechnique::TextureState& entry : key.techniques[i]->getTextureStates()) {
            const int unit = roleUnit(entry.role);
            const auto* state = dynamic_cast<const krTexture::State*>(entry.state.get());
            if (!state || unit < 0 || unit >= MAX_TECHNIQUE_UNITS)
                continue;
            krTexture* texture = state->getEnable() ? state->getTexture() : nullptr;
            TechniqueUnit& bound = m_techniqueUnits[unit];
            if (bound.known && bound.texture == texture &&
                (!texture || (bound.serial == texture->getSerial() &&
                              bound.revision == texture->getRevision())))
                continue;
            glActiveTexture(GL_TEXTURE0 + static_cast<GLenum>(unit));
            // Units other than 0 are the techniques' own: what the texture element applied to
            // unit 0 stays as it was.
            const bool known = m_stacks[KR_ELEMENT_TEXTURE].appliedKnown;
            if (!texture || !bindTexture(texture))
                glBindTexture(GL_TEXTURE_2D, 0);
            if (unit != 0)
                m_stacks[KR_ELEMENT_TEXTURE].appliedKnown = known;
            glActiveTexture(GL_TEXTURE0);
            bound.known = true;
            bound.texture = texture;
            bound.serial = texture ? texture->getSerial() : 0;
            bound.revision = texture ? texture->getRevision() : 0;
        }
    }
}

void krDrawContext::applyUniforms() {
    const unsigned int name =
        static_cast<const krProgram::Element&>(m_stacks[KR_ELEMENT_SHADER].top()).program;
    if (!name || !m_programs)
        return;
    krShaderProgramCache::Program* program = m_programs->find(name);
    if (!program)
        return;
    for (krShaderProgramCache::Uniform& uniform : program->uniforms) {
        const int id = uniform.parameter->getId();
        if (static_cast<size_t>(id) >= m_uniforms.size())
            continue;
        const UniformValue& slot = m_uniforms[static_cast<size_t>(id)];
        if (!slot.serial || slot.serial == uniform.seen)
            continue;
        const int count =
            std::min<int>(static_cast<int>(slot.count), uniform.parameter->getNumFloats());
        const float* values = m_uniformFloats.data() + slot.offset;
        if (uniform.parameter->getTypeCode() == krShaderParameterBase::TYPE_FLOAT4X4)
            glUniformMatrix4fv(uniform.location, count / 16,
                               m_programs->getTransposeMatrices() ? GL_TRUE : GL_FALSE, values);
        else
            glUniform4fv(uniform.location, count / 4, values);
        uniform.seen = slot.serial;
    }
}

void krDrawContext::useProgram() {
    const auto& whole =
        static_cast<const krShaderProgram::Element&>(m_stacks[KR_ELEMENT_SHADER_PROGRAM].top());
    const unsigned int inEffect =
        static_cast<const krProgram::Element&>(m_stacks[KR_ELEMENT_SHADER].top()).program;
    // A whole program that does not build draws as if the state did not carry it.
    const unsigned int name =
        whole.isActive() ? getShaderPrograms().getWhole(*whole.getProgram()) : 0;
    if (name) {
        if (inEffect != name)
            setElement(krProgram::Element(name), false);
        m_wholeProgram = name;
        return;
    }
    if (krShaderInfrastructure::isEnabled()) {
        useGeneratedProgram();
    } else if (m_wholeProgram && inEffect == m_wholeProgram) {
        // A whole program left in effect by an earlier draw is not what this one asked for.
        setElement(krProgram::Element(0), false);
    }
    m_wholeProgram = 0;
}

void krDrawContext::drawGeometry(const krGeometry* geometry) {
    if (!geometry)
        return;
    useProgram();
    applyUniforms();
    DisplayList& list = m_lists[geometry];
    if (list.name &&
        (list.serial != geometry->getSerial() || list.revision != geometry->getRevision())) {
        glDeleteLists(list.name, 1);
        list = DisplayList();
    }
    if (!list.name) {
        list.name = glGenLists(1);
        list.serial = geometry->getSerial();
        list.revision = geometry->getRevision();
        glNewList(list.name, GL_COMPILE);
        geometry->drawImmediate();
        glEndList();
    }
    glCallList(list.name);
}

namespace {
constexpr unsigned int allIds() {
    return KR_NUM_ELEMENTS == 32 ? ~0u : (1u << KR_NUM_ELEMENTS) - 1;
}
} // namespace

krDrawContext::ScopedPush::Ids krDrawContext::ScopedPush::allBut(int id) {
    return {allIds() & ~(id >= 0 && id < KR_NUM_ELEMENTS ? 1u << id : 0u)};
}

krDrawContext::ScopedPush::ScopedPush(krDrawContext& context, int id, bool reset, bool apply,
                                      bool forcePop)
    : m_context(context), m_ids(0), m_forcePop(forcePop) {
    if (id == ALL) {
        m_ids = allIds();
        m_all = true;
    } else if (id >= 0 && id < KR_NUM_ELEMENTS) {
        m_ids = 1u << id;
    }
    push(reset, apply);
}

krDrawContext::ScopedPush::ScopedPush(krDrawContext& context, std::initializer_list<int> ids,
                                      bool reset, bool apply, bool forcePop)
    : m_context(context), m_ids(0), m_forcePop(forcePop) {
    for (int id : ids)
        if (id >= 0 && id < KR_NUM_ELEMENTS)
            m_ids |= 1u << id;
    push(reset, apply);
}

krDrawContext::ScopedPush::ScopedPush(krDrawContext& context, Ids ids, bool reset, bool apply,
                                      bool forcePop)
    : m_context(context), m_ids(ids.bits & allIds()), m_forcePop(forcePop), m_all(true) {
    push(reset, apply);
}

void krDrawContext::ScopedPush::push(bool reset, bool apply) {
    for (int i = 0; i < KR_NUM_ELEMENTS; ++i)
        if (m_ids & (1u << i))
            m_context.pushElement(i, reset && !(m_all && i >= KR_FIRST_CHANNEL_ELEMENT), apply);
}

krDrawContext::ScopedPush::~ScopedPush() {
    for (int i = KR_NUM_ELEMENTS - 1; i >= 0; --i)
        if (m_ids & (1u << i))
            m_context.popElement(i, m_forcePop);
}

unsigned int krDrawContext::takeGLError() {
    unsigned int first = 0;
    for (GLenum error = glGetError(); error != GL_NO_ERROR; error = glGetError())
        if (!first)
            first = error;
    return first;
}
