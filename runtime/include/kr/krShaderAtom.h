#ifndef KR_SHADER_ATOM_H
#define KR_SHADER_ATOM_H

#include <kr/krShaderParameter.h>
#include <ku/kuMemBase.h>

#include <string>
#include <vector>

// The meta-shader: a generated program is put together stage by stage. Stages 0 to 3 make the
// vertex program (inputs, transform, lighting, texture coordinates), 4 to 9 the fragment
// program (texture colours, combine, spare, place holder, fog, output).
namespace krMetaShader {
enum Stage {
    STAGE_0 = 0,
    STAGE_LAST_VERTEX = 3,
    STAGE_FIRST_FRAGMENT = 4,
    STAGE_9 = 9,
    NUM_STAGES = 10
};
// How an atom is placed next to its anchor: OPERATOR_REPLACE files it as an alternative that
// takes the anchor's place in a program that lists it, OPERATOR_AFTER puts its code right after
// the anchor's (and after the anchor's followers registered earlier).
enum Operator { OPERATOR_REPLACE = 0, OPERATOR_AFTER = 1 };
inline bool isVertexStage(int stage) {
    return stage >= 0 && stage <= STAGE_LAST_VERTEX;
}
} // namespace krMetaShader

// A named piece of Cg code with the declarations it needs: initialised working variables,
// vertex inputs, vertex outputs (varyings, or the position and colour outputs), texture
// samplers and uniform parameters. The generator merges the declarations of every atom of a
// program, each name once.
// Threads: made and set up on the application thread; read-only while programs are built.
class KX_API krShaderAtom : public kuMemBase {
public:
    // One declaration: type, name, semantic, the full Cg text and the number of components.
    class KX_API Parameter {
    public:
        void setType(const char* type) { m_type = type ? type : ""; }
        void setName(const char* name) { m_name = name ? name : ""; }
        void setSemantic(const char* semantic) { m_semantic = semantic ? semantic : ""; }
        void setFullString(const char* text) { m_fullString = text ? text : ""; }
        void setNumComponents(int count) { m_numComponents = count; }
        const char* getType() const { return m_type.c_str(); }
        const char* getName() const { return m_name.c_str(); }
        const char* getSemantic() const { return m_semantic.c_str(); }
        const char* getFullString() const { return m_fullString.c_str(); }
        int getNumComponents() const { return m_numComponents; }

    private:
        std::string m_type, m_name, m_semantic, m_fullString;
        int m_numComponents = 0;
    };

    // A list of declarations; it keeps copies, so callers may pass temporaries.
    class KX_API Parameters {
    public:
        // Inserts at position (-1 or past the end: appends).
        void addParameter(const Parameter& parameter, int position);
        // A variable given as one complete Cg declaration with its initial value; the name is
        // the identifier before the '='.
        void addParameter(const char* line, int position);
        int size() const { return static_cast<int>(m_parameters.size()); }
        const Parameter& operator[](int index) const { return m_parameters[index]; }
        std::vector<Parameter>::const_iterator begin() const { return m_parameters.begin(); }
        std::vector<Parameter>::const_iterator end() const { return m_parameters.end(); }
        void clear() { m_parameters.clear(); }

    private:
        std::vector<Parameter> m_parameters;
    };

    krShaderAtom() = default;

    void setTokenName(const char* name) { m_tokenName = name ? name : ""; }
    const char* getTokenName() const { return m_tokenName.c_str(); }
    void setSnippet(const char* snippet) { m_snippet = snippet ? snippet : ""; }
    const char* getSnippet() const { return m_snippet.c_str(); }
    // A hidden atom is generator-internal: listed in no user-visible atom catalogue.
    void setHidden(bool hidden = true) { m_hidden = hidden; }
    bool isHidden() const { return m_hidden; }

    Parameters& getVariables() { return m_variables; }
    const Parameters& getVariables() const { return m_variables; }
    // Values a vertex program reads from the vertex (semantics POSITION, NORMAL, COLOR0,
    // TEXCOORDn).
    Parameters& getVertInParameters() { return m_vertIn; }
    const Parameters& getVertInParameters() const { return m_vertIn; }
    // Varyings (semantic "TEXCOORD%d", numbered by the generator), and the program outputs
    // (POSITION for the vertex program, COLOR for the fragment program).
    Parameters& getVertOutParameters() { return m_vertOut; }
    const Parameters& getVertOutParameters() const { return m_vertOut; }
    Parameters& getTextureParameters() { return m_textures; }
    const Parameters& getTextureParameters() const { return m_textures; }

    // Uniforms; the atom holds a reference to each. Null is ignored.
    void push_back_parameter(krShaderParameterBase* parameter);
    const std::vector<kuRef<krShaderParameterBase>>& getParameters() const { return m_parameters; }

    // Drops the snippet, every declaration and the hidden flag, for a fresh set-up.
    void clearDefinition();

protected:
    ~krShaderAtom() override;

private:
    std::string m_tokenName, m_snippet;
    bool m_hidden = false;
    Parameters m_variables, m_vertIn, m_vertOut, m_textures;
    std::vector<kuRef<krShaderParameterBase>> m_parameters;
};

#endif
