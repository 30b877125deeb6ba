#include <kr/krShaderProgram.h>

#include <ku/kuNotify.h>

#include <atomic>

namespace {
std::atomic<unsigned long long> s_nextSerial{1};
}

krShader::krShader(int type, const char* language, const char* name, std::string text)
    : m_type(type), m_language(language ? language : ""), m_name(name ? name : ""),
      m_text(std::move(text)) {}

krShader::~krShader() = default;

krShaderProgram::krShaderProgram(const char* language)
    : m_language(language ? language : ""), m_serial(s_nextSerial++) {}

krShaderProgram::~krShaderProgram() {
    for (krShader* shader : m_shaders)
        shader->unref();
}

int krShaderProgram::insert_shader(krShader* shader) {
    if (!shader || shader->getLanguage() != m_language || findShader(shader->getType())) {
        kuNotify::print(kuNotify::WARN, nullptr,
                        "krShaderProgram::insert_shader: %s refused (no shader, another "
                        "language, or a second one of its type)",
                        shader ? shader->getName().c_str() : "(null)");
        return KU_FAILURE;
    }
    shader->ref();
    m_shaders.push_back(shader);
    ++m_revision;
    return KU_SUCCESS;
}

krShader* krShaderProgram::getShader(int index) const {
    return index >= 0 && index < getNumShaders() ? m_shaders[static_cast<size_t>(index)] : nullptr;
}

krShader* krShaderProgram::findShader(int type) const {
    for (krShader* shader : m_shaders)
        if (shader->getType() == type)
            return shader;
    return nullptr;
}

krShaderProgram::Element::Element(const Element& other)
    : krElementT<Element, KR_ELEMENT_SHADER_PROGRAM>(other), m_enable(other.m_enable) {
    setProgram(other.m_program);
}

krShaderProgram::Element& krShaderProgram::Element::operator=(const Element& other) {
    m_enable = other.m_enable;
    setProgram(other.m_program);
    return *this;
}

krShaderProgram::Element::~Element() {
    setProgram(nullptr);
}

void krShaderProgram::Element::setProgram(krShaderProgram* program) {
    if (program == m_program)
        return;
    if (program)
        program->ref();
    krShaderProgram* old = m_program;
    m_program = program;
    if (old)
        old->unref();
}

bool krShaderProgram::Element::isActive() const {
    return m_enable && m_program && m_program->getApplyMode() == APPLY_REPLACE &&
           m_program->getNumShaders() > 0;
}
