#include <kr/krShaderProgramSource.h>

#include <ku/kuNotify.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace {

// The text two declarations of one name are compared by: trimmed, without a final ';'.
std::string normalized(const std::string& line) {
    const char* blanks = " \t\r\n";
    std::string::size_type first = line.find_first_not_of(blanks);
    if (first == std::string::npos)
        return std::string();
    std::string text = line.substr(first, line.find_last_not_of(blanks) - first + 1);
    while (!text.empty() && (text.back() == ';' || text.back() == ' '))
        text.pop_back();
    return text;
}

// The unit of a "TEXUNITn" semantic, or -1 when it is still a pattern ("TEXUNIT%d").
int samplerUnit(const std::string& semantic) {
    if (semantic.compare(0, 7, "TEXUNIT") != 0 || semantic.size() == 7)
        return -1;
    for (size_t i = 7; i < semantic.size(); ++i)
        if (!std::isdigit(static_cast<unsigned char>(semantic[i])))
            return -1;
    return std::atoi(semantic.c_str() + 7);
}

bool isProgramOutput(const krShaderAtom::Parameter& parameter) {
    const std::string semantic = parameter.getSemantic();
    return semantic == "POSITION" || semantic == "COLOR" || semantic == "COLOR0";
}

} // namespace

void krShaderProgramSource::collectAtoms(const krFixedFunctionFeatures& features,
                                         const std::vector<krShaderTechnique*>& techniques,
                                         bool perFragment, std::vector<krShaderAtom*>& atoms) {
    features.collectAtoms(atoms, perFragment);
    for (const krShaderTechnique* technique : techniques)
        if (technique)
            for (const kuRef<krShaderAtom>& atom : technique->getAtoms(perFragment))
                atoms.push_back(atom.get());
}

int krShaderProgramSource::build(const std::vector<krShaderAtom*>& atoms) {
    krShaderAtomRegistry* registry = krShaderAtomRegistry::instance();
    m_ordered.clear();
    m_varyings.clear();
    m_samplers.clear();
    m_uniforms.clear();
    m_conflicts.clear();
    for (krShaderAtom* atom : atoms) {
        if (!atom || registry->getOrder(atom) < 0 ||
            std::find(m_ordered.begin(), m_ordered.end(), atom) != m_ordered.end())
            continue;
        m_ordered.push_back(atom);
    }
    // An alternative present takes its anchor's place.
    std::vector<krShaderAtom*> replaced;
    for (krShaderAtom* atom : m_ordered)
        if (registry->getOperator(atom) == krMetaShader::OPERATOR_REPLACE &&
            registry->getAnchor(atom))
            replaced.push_back(registry->getAnchor(atom));
    m_ordered.erase(std::remove_if(m_ordered.begin(), m_ordered.end(),
                                   [&](krShaderAtom* atom) {
                                       return std::find(replaced.begin(), replaced.end(), atom) !=
                                              replaced.end();
                                   }),
                    m_ordered.end());
    std::sort(m_ordered.begin(), m_ordered.end(), [registry](krShaderAtom* a, krShaderAtom* b) {
        return registry->getOrder(a) < registry->getOrder(b);
    });
    if (m_ordered.empty()) {
        kuNotify::print(5, nullptr, "krShaderProgramSource::build - no registered atom");
        return KU_FAILURE;
    }

    // Varyings of both programs, numbered in order of first appearance.
    for (krShaderAtom* atom : m_ordered) {
        for (const krShaderAtom::Parameter& parameter : atom->getVertOutParameters()) {
            if (isProgramOutput(parameter))
                continue;
            const std::string name = parameter.getName();
            if (std::none_of(m_varyings.begin(), m_varyings.end(),
                             [&](const Varying& v) { return v.name == name; }))
                m_varyings.push_back(Varying{name, static_cast<int>(m_varyings.size())});
        }
    }
    m_vertex = buildProgram(true);
    m_fragment = buildProgram(false);
    if (!m_translator.getError().empty()) {
        kuNotify::print(5, nullptr, "krShaderProgramSource::build - %s",
                        m_translator.getError().c_str());
        return KU_FAILURE;
    }
    return KU_SUCCESS;
}

std::string krShaderProgramSource::buildProgram(bool vertex) {
    krShaderAtomRegistry* registry = krShaderAtomRegistry::instance();
    const bool repeat = m_translator.getBreak() == krCgTranslator::BREAK_DECLARATIONS_REPEATED;
    m_translator.resetUsage();

    std::string uniforms, samplers, locals, body, outputs;
    struct Seen {
        std::string name, text;
    };
    std::vector<Seen> seen;
    // True when name is new in this program; a second, different text is reported once.
    auto first = [&](const std::string& name, const std::string& text) {
        for (const Seen& s : seen) {
            if (s.name != name)
                continue;
            if (s.text != text &&
                std::find(m_conflicts.begin(), m_conflicts.end(), name) == m_conflicts.end()) {
                m_conflicts.push_back(name);
                kuNotify::print(5, nullptr,
                                "krShaderProgramSource - %s is declared as \"%s\" and as \"%s\"; "
                                "the first is used",
                                name.c_str(), s.text.c_str(), text.c_str());
            }
            return false;
        }
        seen.push_back(Seen{name, text});
        return true;
    };

    for (krShaderAtom* atom : m_ordered) {
        if (krMetaShader::isVertexStage(registry->getStage(atom)) != vertex)
            continue;
        if (vertex) {
            for (const krShaderAtom::Parameter& in : atom->getVertInParameters()) {
                std::string builtin;
                int size = 4;
                if (!first(in.getName(), normalized(in.getFullString())) ||
                    !krCgTranslator::vertexInput(in.getSemantic(), builtin, size))
                    continue;
                const std::string type = krCgTranslator::glslType(in.getType());
                locals += "    " + type + " " + in.getName() + " = " +
                          (type == "vec3" && size == 4 ? builtin + ".xyz" : builtin) + ";\n";
            }
        }
        for (const krShaderAtom::Parameter& out : atom->getVertOutParameters()) {
            if (!isProgramOutput(out) || !first(out.getName(), normalized(out.getFullString())))
                continue;
            locals +=
                "    " + krCgTranslator::glslType(out.getType()) + " " + out.getName() + ";\n";
            outputs += std::string("    ") + (vertex ? "gl_Position" : "gl_FragColor") + " = " +
                       out.getName() + ";\n";
        }
        for (const krShaderAtom::Parameter& variable : atom->getVariables()) {
            const std::string text = normalized(variable.getFullString());
            if (first(variable.getName(), text) || repeat)
                locals += "    " + m_translator.translateDeclaration(text) + "\n";
        }
        for (const krShaderAtom::Parameter& texture : atom->getTextureParameters()) {
            if (!first(texture.getName(), normalized(texture.getFullString())))
                continue;
            samplers += std::string("uniform sampler2D ") + texture.getName() + ";\n";
            m_samplers.push_back(Sampler{texture.getName(), samplerUnit(texture.getSemantic())});
        }
        for (const kuRef<krShaderParameterBase>& parameter : atom->getParameters()) {
            if (!first(parameter->getName(), parameter->getCgType()))
                continue;
            uniforms += std::string("uniform ") + parameter->getGlslType() + " " +
                        parameter->getName() + ";\n";
            m_uniforms.push_back(parameter.get());
        }
        body += std::string("    // ") + atom->getTokenName() + "\n" +
                m_translator.translate(atom->getSnippet()) + "\n";
        if (!m_translator.getError().empty())
            return std::string();
    }

    std::string varyings;
    for (const Varying& varying : m_varyings) {
        if (m_translator.getBreak() == krCgTranslator::BREAK_VARYINGS_AS_TEXCOORD)
            varyings += "#define " + varying.name + " gl_TexCoord[" +
                        std::to_string(varying.number) + "]\n";
        else
            varyings += "varying vec4 " + varying.name + ";\n";
    }
    return m_translator.versionLine() +
           (m_translator.usesSelect() ? krCgTranslator::selectHelpers() : std::string()) +
           uniforms + samplers + varyings + "\nvoid main() {\n" + locals + "\n" + body + outputs +
           "}\n";
}
