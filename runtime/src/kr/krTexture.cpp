#include <kr/krTexture.h>

#include <kr/krDrawContext.h>

#include <GL/gl.h>

#include <atomic>

#include <ku/kuNotify.h>

#include <algorithm>

namespace {

kuBase::ClassType* s_classType = nullptr;

kuBase* createTexture() {
    return new krTexture;
}

bool isWrap(int wrap) {
    return wrap >= krTexture::WRAP_REPEAT && wrap <= krTexture::WRAP_CLAMP_TO_EDGE;
}

bool isFilter(int filter) {
    return filter >= krTexture::FILTER_NEAREST && filter <= krTexture::FILTER_LINEAR;
}

bool isMipmap(int mipmap) {
    return mipmap >= krTexture::MIPMAP_AUTO && mipmap <= krTexture::MIPMAP_LINEAR;
}

// Box filter of one level into the next: each texel averages the 2 x 2 block above it. A side
// of 1 stays 1 and reads its single texel twice; on an odd side the last texel is left out.
void reduce(const unsigned char* in, int width, int height, int components, unsigned char* out,
            int outWidth, int outHeight) {
    const std::size_t rowSize = std::size_t(width) * std::size_t(components);
    for (int y = 0; y < outHeight; ++y) {
        const unsigned char* row0 = in + std::size_t(std::min(2 * y, height - 1)) * rowSize;
        const unsigned char* row1 = in + std::size_t(std::min(2 * y + 1, height - 1)) * rowSize;
        for (int x = 0; x < outWidth; ++x) {
            const std::size_t x0 = std::size_t(std::min(2 * x, width - 1)) * components;
            const std::size_t x1 = std::size_t(std::min(2 * x + 1, width - 1)) * components;
            for (int c = 0; c < components; ++c) {
                const unsigned sum = row0[x0 + c] + row0[x1 + c] + row1[x0 + c] + row1[x1 + c];
                *out++ = static_cast<unsigned char>((sum + 2) / 4);
            }
        }
    }
}

} // namespace

// ---- krTexture ----

namespace {
std::atomic<unsigned long long> s_nextSerial{1};
}

krTexture::krTexture() : m_serial(s_nextSerial.fetch_add(1)) {
    registerInstance(s_classType);
}

krTexture::~krTexture() {
    unregisterInstance(s_classType);
    if (m_liveLink)
        *m_liveLink = nullptr;
}

int krTexture::getFormatComponents(int format) {
    switch (format) {
    case FORMAT_INTENSITY:
        return 1;
    case FORMAT_INTENSITY_ALPHA:
        return 2;
    case FORMAT_RGB:
        return 3;
    case FORMAT_RGBA:
        return 4;
    default:
        return 0;
    }
}

int krTexture::getFormatForComponents(int components) {
    static const int formats[4] = {FORMAT_INTENSITY, FORMAT_INTENSITY_ALPHA, FORMAT_RGB,
                                   FORMAT_RGBA};
    return components >= 1 && components <= 4 ? formats[components - 1] : -1;
}

void krTexture::refuse(const char* what, int value) const {
    kuNotify::print(kuNotify::WARN, s_classType, "texture \"%s\": %s %d refused", getName(), what,
                    value);
}

int krTexture::setDimensions(int width, int height, int depth) {
    if (width < 0 || height < 0 || depth < 0) {
        refuse("negative size", std::min(width, std::min(height, depth)));
        return KU_FAILURE;
    }
    m_width = width;
    m_height = height;
    m_depth = depth;
    ++m_revision;
    return KU_SUCCESS;
}

int krTexture::setFormat(int format, int type) {
    if (getFormatComponents(format) == 0) {
        refuse("format", format);
        return KU_FAILURE;
    }
    if (type != TYPE_UNSIGNED_BYTE) {
        refuse("component type", type);
        return KU_FAILURE;
    }
    m_format = format;
    m_type = type;
    ++m_revision;
    return KU_SUCCESS;
}

int krTexture::setWrap(int s, int t, int r) {
    for (int wrap : {s, t, r})
        if (!isWrap(wrap)) {
            refuse("wrap mode", wrap);
            return KU_FAILURE;
        }
    m_wrap[0] = s;
    m_wrap[1] = t;
    m_wrap[2] = r;
    ++m_revision;
    return KU_SUCCESS;
}

void krTexture::setBorderColor(const float color[4]) {
    std::copy(color, color + 4, m_borderColor);
    ++m_revision;
}

int krTexture::setMinFilter(int filter, int mipmap) {
    if (!isFilter(filter)) {
        refuse("minification filter", filter);
        return KU_FAILURE;
    }
    if (!isMipmap(mipmap)) {
        refuse("mipmap mode", mipmap);
        return KU_FAILURE;
    }
    m_minFilter = filter;
    m_minMipmap = mipmap;
    ++m_revision;
    return KU_SUCCESS;
}

int krTexture::setMagFilter(int filter) {
    if (!isFilter(filter)) {
        refuse("magnification filter", filter);
        return KU_FAILURE;
    }
    m_magFilter = filter;
    ++m_revision;
    return KU_SUCCESS;
}

int krTexture::setImageLevel(int level, kuAllocRef* bits) {
    if (level < 0 || level >= MAX_IMAGE_LEVELS) {
        refuse("image level", level);
        return KU_FAILURE;
    }
    if (std::size_t(level) >= m_levels.size()) {
        if (!bits)
            return KU_SUCCESS;
        m_levels.resize(std::size_t(level) + 1);
    }
    m_levels[std::size_t(level)] = bits;
    while (!m_levels.empty() && !m_levels.back())
        m_levels.pop_back();
    ++m_revision;
    return KU_SUCCESS;
}

kuAllocRef* krTexture::getImageLevel(int level) const {
    if (level < 0 || std::size_t(level) >= m_levels.size())
        return nullptr;
    return m_levels[std::size_t(level)].get();
}

int krTexture::generateMipmaps() {
    const int components = getFormatComponents(m_format);
    kuAllocRef* base = getImageLevel(0);
    if (m_width < 1 || m_height < 1 || m_depth > 1 || components == 0 || !base ||
        base->size() < std::size_t(m_width) * std::size_t(m_height) * std::size_t(components)) {
        kuNotify::print(kuNotify::WARN, s_classType,
                        "texture \"%s\": cannot make mipmaps of a %d x %d x %d texture (format "
                        "%d) without a level 0 of that size",
                        getName(), m_width, m_height, m_depth, m_format);
        return KU_FAILURE;
    }
    // Made aside and swapped in, so a failed allocation leaves the texture as it was.
    std::vector<kuRef<kuAllocRef>> levels(1, base);
    int width = m_width;
    int height = m_height;
    while ((width > 1 || height > 1) && levels.size() < std::size_t(MAX_IMAGE_LEVELS)) {
        const int nextWidth = std::max(1, width / 2);
        const int nextHeight = std::max(1, height / 2);
        kuRef<kuAllocRef> next =
            kuAllocRef::malloc(std::size_t(nextWidth) * std::size_t(nextHeight) * components);
        if (!next) {
            kuNotify::print(kuNotify::WARN, s_classType,
                            "texture \"%s\": out of memory making mipmaps", getName());
            return KU_FAILURE;
        }
        reduce(levels.back()->data(), width, height, components, next->data(), nextWidth,
               nextHeight);
        levels.push_back(next);
        width = nextWidth;
        height = nextHeight;
    }
    m_levels.swap(levels);
    ++m_revision;
    return KU_SUCCESS;
}

const kuBase::ClassType* krTexture::getClassType() const {
    return s_classType;
}

kuBase::ClassType* krTexture::getStaticClassType() {
    return s_classType;
}

int krTexture::initializeClass() {
    if (!s_classType)
        s_classType =
            new ClassType("krTexture", kuBase::getStaticClassType(), createTexture, true, false);
    return KU_SUCCESS;
}

int krTexture::shutdownClass() {
    delete s_classType;
    s_classType = nullptr;
    return KU_SUCCESS;
}

// ---- krTexture::State ----

krTexture::State::State() = default;

krTexture::State::~State() = default;

void krTexture::State::setBlend(Blend* blend) {
    m_blend = blend;
}

void krTexture::State::setTexture(krTexture* texture) {
    m_texture = texture;
}

// ---- krTexture::Element ----

void krTexture::Element::appendState(State* state) {
    if (state)
        m_states.emplace_back(state);
    m_seenValid = false;
}

krTexture::Element::Seen krTexture::Element::look(const State* state) {
    Seen seen;
    if (!state)
        return seen;
    seen.texture = state->getTexture();
    seen.serial = seen.texture ? seen.texture->getSerial() : 0;
    seen.revision = seen.texture ? seen.texture->getRevision() : 0;
    seen.mode = state->getBlend() ? state->getBlend()->getMode() : Blend::MODE_MODULATE;
    seen.enable = state->getEnable();
    return seen;
}

bool krTexture::Element::unchanged() const {
    if (!m_seenValid)
        return true;
    if (m_states.size() > MAX_SEEN)
        return false;
    for (std::size_t i = 0; i < m_states.size(); ++i)
        if (!(m_seen[i] == look(m_states[i].get())))
            return false;
    return true;
}

bool krTexture::Element::operator==(const Element& other) const {
    if (m_states.size() != other.m_states.size())
        return false;
    for (std::size_t i = 0; i < m_states.size(); ++i)
        if (m_states[i].get() != other.m_states[i].get())
            return false;
    return unchanged() && other.unchanged();
}

int krTexture::subloadLevel(krDrawContext* context, int level, int x, int y, int xOffset,
                            int yOffset, int width, int height, bool) {
    if (!context || level < 0 || width <= 0 || height <= 0)
        return KU_FAILURE;
    const int levelWidth = std::max(1, m_width >> level);
    const int levelHeight = std::max(1, m_height >> level);
    if (xOffset < 0 || yOffset < 0 || xOffset + width > levelWidth ||
        yOffset + height > levelHeight)
        return KU_FAILURE;
    glActiveTexture(GL_TEXTURE0);
    glBindTexture(GL_TEXTURE_2D, context->bindTexture(this));
    glCopyTexSubImage2D(GL_TEXTURE_2D, level, xOffset, yOffset, x, y, width, height);
    return KU_SUCCESS;
}

void krTexture::Element::apply(krDrawContext& context) const {
    static const GLint modes[] = {GL_MODULATE, GL_REPLACE, GL_DECAL, GL_BLEND, GL_ADD};
    // Units beyond the element's states are switched off too.
    const std::size_t units = std::max<std::size_t>(m_states.size(), 4);
    for (std::size_t unit = 0; unit < units; ++unit) {
        glActiveTexture(GL_TEXTURE0 + static_cast<GLenum>(unit));
        const State* state = unit < m_states.size() ? m_states[unit].get() : nullptr;
        krTexture* texture = state && state->getEnable() ? state->getTexture() : nullptr;
        const unsigned int name = texture ? context.bindTexture(texture) : 0;
        if (!name) {
            glDisable(GL_TEXTURE_2D);
            continue;
        }
        glBindTexture(GL_TEXTURE_2D, name);
        glEnable(GL_TEXTURE_2D);
        const int mode = state->getBlend() ? state->getBlend()->getMode() : Blend::MODE_MODULATE;
        glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, modes[mode >= 0 && mode < 5 ? mode : 0]);
    }
    glActiveTexture(GL_TEXTURE0);
    for (std::size_t i = 0; i < m_states.size() && i < MAX_SEEN; ++i)
        m_seen[i] = look(m_states[i].get());
    m_seenValid = true;
}
