#include <kr/krShaderProgramCache.h>

#include <kr/krCgTranslator.h>
#include <kr/krShaderProgramSource.h>
#include <ku/kuNotify.h>

#include <GL/gl.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>

namespace {

bool lessFeatures(const krFixedFunctionFeatures& a, const krFixedFunctionFeatures& b) {
    const auto tie = [](const krFixedFunctionFeatures& f) {
        return std::tie(f.lighting, f.units, f.fog);
    };
    if (tie(a) != tie(b))
        return tie(a) < tie(b);
    const int t = std::memcmp(a.texgen, b.texgen, sizeof a.texgen);
    if (t)
        return t < 0;
    return std::memcmp(a.envMode, b.envMode, sizeof a.envMode) < 0;
}

// The unit a role-named sampler reads: the number the role ends with ("...Texture3": 3).
int roleUnit(const std::string& name) {
    std::string::size_type digits = name.size();
    while (digits > 0 && std::isdigit(static_cast<unsigned char>(name[digits - 1])))
        --digits;
    return digits < name.size() ? std::atoi(name.c_str() + digits) : -1;
}

GLuint compile(GLenum type, const std::string& text, std::string& log) {
    const GLuint shader = glCreateShader(type);
    const char* source = text.c_str();
    glShaderSource(shader, 1, &source, nullptr);
    glCompileShader(shader);
    GLint ok = GL_FALSE, length = 0;
    glGetShaderiv(shader, GL_COMPILE_STATUS, &ok);
    if (!ok) {
        glGetShaderiv(shader, GL_INFO_LOG_LENGTH, &length);
        std::string text_(static_cast<size_t>(length > 0 ? length : 1), '\0');
        glGetShaderInfoLog(shader, length, nullptr, &text_[0]);
        log += (type == GL_VERTEX_SHADER ? "vertex program: " : "fragment program: ") + text_;
        glDeleteShader(shader);
        return 0;
    }
    return shader;
}

// Links the given shaders (zeros skipped) into a program, or returns 0 with the log appended.
// The shaders are deleted either way: a linked program keeps what it needs.
GLuint link(const GLuint* shaders, std::size_t count, std::string& log) {
    const GLuint name = glCreateProgram();
    for (std::size_t i = 0; i < count; ++i)
        if (shaders[i])
            glAttachShader(name, shaders[i]);
    glLinkProgram(name);
    for (std::size_t i = 0; i < count; ++i)
        if (shaders[i])
            glDeleteShader(shaders[i]);
    GLint linked = GL_FALSE;
    glGetProgramiv(name, GL_LINK_STATUS, &linked);
    if (linked)
        return name;
    GLint length = 0;
    glGetProgramiv(name, GL_INFO_LOG_LENGTH, &length);
    std::string text(static_cast<size_t>(length > 0 ? length : 1), '\0');
    glGetProgramInfoLog(name, length, nullptr, &text[0]);
    log += "link: " + text;
    glDeleteProgram(name);
    return 0;
}

} // namespace

bool krShaderProgramKey::push_back_technique(const krShaderTechnique* technique) {
    if (numTechniques >= MAX_TECHNIQUES)
        return false;
    techniques[numTechniques++] = technique;
    return true;
}

bool krShaderProgramKey::operator<(const krShaderProgramKey& o) const {
    if (lessFeatures(features, o.features))
        return true;
    if (lessFeatures(o.features, features))
        return false;
    if (perFragment != o.perFragment)
        return perFragment < o.perFragment;
    if (numTechniques != o.numTechniques)
        return numTechniques < o.numTechniques;
    for (int i = 0; i < numTechniques; ++i)
        if (techniques[i] != o.techniques[i])
            return std::less<const krShaderTechnique*>()(techniques[i], o.techniques[i]);
    return false;
}

krShaderProgramCache::~krShaderProgramCache() = default;

krShaderProgramCache::Program& krShaderProgramCache::get(const krShaderProgramKey& key) {
    auto found = m_programs.find(key);
    if (found != m_programs.end())
        return *found->second;
    std::unique_ptr<Program>& program = m_programs[key];
    program.reset(new Program);
    build(key, *program);
    return *program;
}

krShaderProgramCache::Program* krShaderProgramCache::find(unsigned int name) {
    if (!name)
        return nullptr;
    for (auto& entry : m_programs)
        if (entry.second->name == name)
            return entry.second.get();
    return nullptr;
}

void krShaderProgramCache::release() {
    for (auto& entry : m_programs)
        if (entry.second->name)
            glDeleteProgram(entry.second->name);
    m_programs.clear();
    for (auto& entry : m_whole)
        if (entry.second.name)
            glDeleteProgram(entry.second.name);
    m_whole.clear();
}

unsigned int krShaderProgramCache::getWhole(const krShaderProgram& program) {
    WholeProgram& whole = m_whole[&program];
    if (whole.serial == program.getSerial() && whole.revision == program.getRevision())
        return whole.name;
    // New, changed, or another program now at that address.
    if (whole.name)
        glDeleteProgram(whole.name);
    whole.serial = program.getSerial();
    whole.revision = program.getRevision();
    whole.name = buildWhole(program);
    return whole.name;
}

unsigned int krShaderProgramCache::buildWhole(const krShaderProgram& program) {
    ++m_numBuilds;
    std::string log, shown;
    std::vector<krCgTranslator::ProgramInfo::Binding> samplers;
    GLuint shaders[2] = {0, 0};
    bool ok = true;
    for (int i = 0; i < program.getNumShaders() && ok; ++i) {
        const krShader& shader = *program.getShader(i);
        const bool vertex = shader.getType() == krShader::TYPE_VERTEX;
        std::string text = shader.getText();
        if (shader.getProfile() != 0) {
            log += shader.getName() + ": no profile " + std::to_string(shader.getProfile()) + "\n";
            ok = false;
            break;
        }
        if (shader.getLanguage() == "cg") {
            krCgTranslator translator;
            krCgTranslator::ProgramInfo info;
            if (!translator.translateProgram(shader.getText(), vertex,
                                             shader.getEntryFunction().c_str(), text, &info)) {
                log += shader.getName() + ": " + translator.getError() + "\n";
                ok = false;
                break;
            }
            samplers.insert(samplers.end(), info.samplerUnits.begin(), info.samplerUnits.end());
        }
        if (!shader.getHidden())
            shown += "--- " + shader.getName() + "\n" + text;
        std::string stageLog;
        shaders[i] = compile(vertex ? GL_VERTEX_SHADER : GL_FRAGMENT_SHADER, text, stageLog);
        if (!shaders[i]) {
            log += shader.getName() + ": " + stageLog;
            ok = false;
        }
    }
    GLuint name = 0;
    if (ok && program.getNumShaders() > 0)
        name = link(shaders, 2, log);
    else
        for (GLuint shader : shaders)
            if (shader)
                glDeleteShader(shader);
    if (!name) {
        kuNotify::print(5, nullptr,
                        "krShaderProgramCache - a whole program does not build (drawn without "
                        "it):\n%s%s",
                        log.c_str(), shown.c_str());
        return 0;
    }
    GLint previous = 0;
    glGetIntegerv(GL_CURRENT_PROGRAM, &previous);
    glUseProgram(name);
    for (const krCgTranslator::ProgramInfo::Binding& sampler : samplers) {
        const GLint location = glGetUniformLocation(name, sampler.name.c_str());
        if (location >= 0)
            glUniform1i(location, sampler.unit);
    }
    glUseProgram(static_cast<GLuint>(previous));
    return name;
}

void krShaderProgramCache::build(const krShaderProgramKey& key, Program& program) {
    ++m_numBuilds;
    std::vector<krShaderTechnique*> techniques;
    for (int i = 0; i < key.numTechniques; ++i)
        techniques.push_back(const_cast<krShaderTechnique*>(key.techniques[i]));
    std::vector<krShaderAtom*> atoms;
    krShaderProgramSource::collectAtoms(key.features, techniques, key.perFragment, atoms);
    krShaderProgramSource source(m_break);
    if (source.build(atoms) != 1)
        return; // reported by the source
    std::string log;
    const GLuint vertex = compile(GL_VERTEX_SHADER, source.getVertexText(), log);
    const GLuint fragment = compile(GL_FRAGMENT_SHADER, source.getFragmentText(), log);
    GLuint name = 0;
    if (vertex && fragment) {
        const GLuint stages[] = {vertex, fragment};
        name = link(stages, 2, log);
    } else {
        if (vertex)
            glDeleteShader(vertex);
        if (fragment)
            glDeleteShader(fragment);
    }
    if (!name) {
        kuNotify::print(5, nullptr,
                        "krShaderProgramCache - a generated program does not build (drawn "
                        "fixed-function instead):\n%s",
                        log.c_str());
        return;
    }
    program.name = name;
    // Samplers and locations once, with the program in use; the caller's program comes back.
    GLint previous = 0;
    glGetIntegerv(GL_CURRENT_PROGRAM, &previous);
    glUseProgram(name);
    for (const krShaderProgramSource::Sampler& sampler : source.getSamplers()) {
        const GLint location = glGetUniformLocation(name, sampler.name.c_str());
        const int unit = sampler.unit >= 0 ? sampler.unit : roleUnit(sampler.name);
        if (location >= 0 && unit >= 0)
            glUniform1i(location, unit);
    }
    glUseProgram(static_cast<GLuint>(previous));
    for (krShaderParameterBase* parameter : source.getUniforms()) {
        const GLint location = glGetUniformLocation(name, parameter->getName().c_str());
        if (location >= 0)
            program.uniforms.push_back(Uniform{location, parameter, 0});
    }
}
