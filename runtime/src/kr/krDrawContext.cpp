#include <kr/krDrawContext.h>

#include <kr/krFog.h>
#include <kr/krGeometry.h>
#include <kr/krRenderElements.h>
#include <kr/krState.h>
#include <kr/krTexture.h>
#include <kr/krTextureCoordGen.h>
#include <kr/krTransform.h>
#include <ku/kuAllocRef.h>
#include <ku/kuNotify.h>

#include <GL/gl.h>

#include <algorithm>

namespace {

// Elements without a value class of their own yet (polygon mode, shader programs): a no-op
// placeholder keeps every stack non-empty.
class NoElement : public krElement {
public:
    explicit NoElement(int id) : m_id(id) {}
    int getId() const override { return m_id; }
    krElement* clone() const override { return new NoElement(m_id); }
    bool equals(const krElement& other) const override { return other.getId() == m_id; }
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
    const bool mipmapped = levels > 1 && texture->getMinMipmap() != krTexture::MIPMAP_NONE;
    const bool linear = texture->getMinFilter() != krTexture::FILTER_NEAREST;
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER,
                    mipmapped ? (linear ? GL_LINEAR_MIPMAP_LINEAR : GL_NEAREST_MIPMAP_NEAREST)
                              : (linear ? GL_LINEAR : GL_NEAREST));
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER,
                    texture->getMagFilter() == krTexture::FILTER_NEAREST ? GL_NEAREST : GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, glWrap(texture->getWrapS()));
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, glWrap(texture->getWrapT()));
    glTexParameterfv(GL_TEXTURE_2D, GL_TEXTURE_BORDER_COLOR, texture->getBorderColor());
}

} // namespace

krDrawContext::krDrawContext() {
    for (int id = 0; id < KR_NUM_ELEMENTS; ++id)
        m_stacks[id].values.emplace_back(makeDefault(id));
}

krDrawContext::~krDrawContext() = default;

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
    default:
        return new NoElement(id);
    }
}

void krDrawContext::reset() {
    for (int id = 0; id < KR_NUM_ELEMENTS; ++id) {
        Stack& stack = m_stacks[id];
        stack.values.clear();
        stack.values.emplace_back(makeDefault(id));
        applyTop(id, true);
    }
    m_inherited = nullptr;
}

void krDrawContext::applyTop(int id, bool force) {
    Stack& stack = m_stacks[id];
    const krElement& top = *stack.values.back();
    if (!force && stack.applied && stack.applied->equals(top))
        return;
    top.apply(*this);
    stack.applied.reset(top.clone());
}

void krDrawContext::setElement(int id, const krElement& element, bool force) {
    if (id < 0 || id >= KR_NUM_ELEMENTS || element.getId() != id)
        return;
    m_stacks[id].values.back().reset(element.clone());
    applyTop(id, force);
}

const krElement* krDrawContext::getElement(int id) const {
    return id >= 0 && id < KR_NUM_ELEMENTS ? m_stacks[id].values.back().get() : nullptr;
}

void krDrawContext::pushElement(int id, bool reset, bool apply) {
    if (id < 0 || id >= KR_NUM_ELEMENTS)
        return;
    Stack& stack = m_stacks[id];
    stack.values.emplace_back(reset ? makeDefault(id) : stack.values.back()->clone());
    if (apply)
        applyTop(id, false);
}

void krDrawContext::popElement(int id, bool force) {
    if (id < 0 || id >= KR_NUM_ELEMENTS)
        return;
    Stack& stack = m_stacks[id];
    if (stack.values.size() <= 1) {
        kuNotify::print(kuNotify::WARN, nullptr, "krDrawContext: pop of element %d without push",
                        id);
        return;
    }
    stack.values.pop_back();
    applyTop(id, force);
}

void krDrawContext::pushElements(bool reset, bool apply) {
    for (int id = 0; id < KR_NUM_ELEMENTS; ++id)
        pushElement(id, reset, apply);
}

void krDrawContext::popElements(bool force) {
    for (int id = KR_NUM_ELEMENTS - 1; id >= 0; --id)
        popElement(id, force);
}

void krDrawContext::setState(const krState* state) {
    if (!state)
        return;
    for (int id = 0; id < KR_NUM_ELEMENTS; ++id) {
        if (const krElement* element = state->getElement(id)) {
            setElement(id, *element, false);
        } else if (!state->getInheritUnset()) {
            std::unique_ptr<krElement> value(makeDefault(id));
            setElement(id, *value, false);
        }
    }
}

unsigned int krDrawContext::bindTexture(krTexture* texture) {
    if (!texture || texture->getWidth() <= 0 || texture->getHeight() <= 0)
        return 0;
    TextureObject& object = m_textures[texture];
    if (object.name && object.serial != texture->getSerial()) {
        // Another texture now lives at that address: the old object is of no use.
        glDeleteTextures(1, &object.name);
        object = TextureObject();
    }
    glActiveTexture(GL_TEXTURE0);
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
    for (auto& entry : m_lists)
        if (entry.second.name)
            glDeleteLists(entry.second.name, 1);
    m_lists.clear();
}

void krDrawContext::drawGeometry(const krGeometry* geometry) {
    if (!geometry)
        return;
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

unsigned int krDrawContext::takeGLError() {
    unsigned int first = 0;
    for (GLenum error = glGetError(); error != GL_NO_ERROR; error = glGetError())
        if (!first)
            first = error;
    return first;
}
