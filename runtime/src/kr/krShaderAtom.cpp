#include <kr/krShaderAtom.h>

#include <cctype>

krShaderAtom::~krShaderAtom() = default;

void krShaderAtom::Parameters::addParameter(const Parameter& parameter, int position) {
    if (position < 0 || position >= size())
        m_parameters.push_back(parameter);
    else
        m_parameters.insert(m_parameters.begin() + position, parameter);
}

void krShaderAtom::Parameters::addParameter(const char* line, int position) {
    Parameter parameter;
    const std::string text = line ? line : "";
    parameter.setFullString(text.c_str());
    // The name is the last identifier before the '=' (or the end): "const float3 fogColor = ...".
    const std::string::size_type end = text.find('=');
    const std::string head = text.substr(0, end);
    std::string::size_type last = head.find_last_not_of(" \t;");
    if (last != std::string::npos) {
        std::string::size_type first = last;
        while (first > 0 && (std::isalnum(static_cast<unsigned char>(head[first - 1])) ||
                             head[first - 1] == '_'))
            --first;
        parameter.setName(head.substr(first, last - first + 1).c_str());
    }
    addParameter(parameter, position);
}

void krShaderAtom::push_back_parameter(krShaderParameterBase* parameter) {
    if (parameter)
        m_parameters.emplace_back(parameter);
}

void krShaderAtom::clearDefinition() {
    m_snippet.clear();
    m_hidden = false;
    m_variables.clear();
    m_vertIn.clear();
    m_vertOut.clear();
    m_textures.clear();
    m_parameters.clear();
}
