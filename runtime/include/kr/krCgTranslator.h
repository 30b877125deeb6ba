#ifndef KR_CG_TRANSLATOR_H
#define KR_CG_TRANSLATOR_H

#include <ku/kuExport.h>

#include <string>
#include <vector>

// Translates the Cg subset that atoms and whole programs are written in into GLSL 1.20 with
// the compatibility built-ins: types, number suffixes, mul, saturate, lerp, tex2D, tex2Dproj,
// glstate.*, non-constant const, mixed-type conditionals, and (for whole programs) structs,
// parameters and results with semantics. A lexer with bracket matching does the work, since
// call arguments nest and span lines.
// Threads: an object is used by one thread at a time; separate objects are independent.
class KX_API krCgTranslator {
public:
    // Deliberate departures from one translation rule each, so that tests can show that every
    // rule is needed. BREAK_NONE is the translation programs get.
    enum Break {
        BREAK_NONE,
        BREAK_NO_VERSION,               // no "#version 120" line
        BREAK_SUFFIX_KEPT,              // "1.0f" left as it is
        BREAK_TYPES_KEPT,               // float4 not renamed
        BREAK_LERP_KEPT,                // lerp not renamed
        BREAK_TEX2DPROJ_AS_TEXTURE2D,   // tex2Dproj read without the projective divide
        BREAK_MUL_SWAPPED,              // mul(a, b) as b * a
        BREAK_SATURATE_DROPPED,         // saturate(x) as x
        BREAK_GLSTATE_KEPT,             // glstate.* not mapped
        BREAK_MATERIAL_BACK,            // glstate.material mapped to the back face
        BREAK_FOG_PARAMS_ORDER,         // fog.params with start and density swapped
        BREAK_CONST_KEPT,               // const kept on a non-constant initialiser
        BREAK_SELECT_KEPT,              // c ? a : b left as it is
        BREAK_DECLARATION_UNTERMINATED, // declarations without their ';'
        BREAK_DECLARATIONS_REPEATED,    // a name declared by several atoms declared each time
        BREAK_VARYINGS_AS_TEXCOORD,     // varyings through gl_TexCoord[n]
        BREAK_SEMANTICS_KEPT,           // ": SEMANTIC" left in whole programs
        BREAK_UNIFORM_PARAMETERS_KEPT,  // uniform parameters of a whole program's entry kept
        NUM_BREAKS
    };

    // What a whole program declares beyond its text.
    struct ProgramInfo {
        struct Binding {
            std::string name;
            int unit;
        };
        std::vector<Binding> samplerUnits; // uniform samplers with a TEXUNITn semantic
        std::vector<std::string> varyings; // names of the varyings it declares
    };

    explicit krCgTranslator(Break brk = BREAK_NONE) : m_break(brk) {}

    Break getBreak() const { return m_break; }

    // Statements, expressions or declarations of a snippet.
    std::string translate(const std::string& cg);
    // One variable declaration given as a line: trimmed, its optional ';' replaced by one.
    std::string translateDeclaration(const std::string& line);
    // A whole vertex or fragment program with the entry function entry. The result is a
    // complete GLSL text with its own main(); false (and getError()) when it cannot be read.
    bool translateProgram(const std::string& cg, bool vertex, const char* entry, std::string& glsl,
                          ProgramInfo* info = nullptr);

    // Whether a translation since the last resetUsage() needed the selection helpers.
    bool usesSelect() const { return m_usesSelect; }
    void resetUsage() { m_usesSelect = false; }
    // The selection helpers that stand for c ? a : b (both branches are evaluated).
    static const std::string& selectHelpers();
    // The first line of every program.
    std::string versionLine() const;

    // Empty unless the last translation met unbalanced brackets or an unreadable program.
    const std::string& getError() const { return m_error; }

    // The GLSL type of a Cg type name, or the name itself when it is not a Cg type.
    static std::string glslType(const std::string& cgType);

    // The built-in a vertex program reads for an input semantic (POSITION, NORMAL, COLOR0,
    // COLOR1, FOG, TEXCOORDn) and its number of components; false for other semantics.
    static bool vertexInput(const std::string& semantic, std::string& builtin, int& size);

    struct Token {
        enum Kind { IDENT, NUMBER, PUNCT, SPACE, COMMENT, OTHER } kind;
        std::string text;
    };
    static std::vector<Token> lex(const std::string& text);

private:
    std::string translateRange(const std::vector<Token>& tokens, size_t begin, size_t end);
    std::string translateGlstate(const std::vector<Token>& tokens, size_t& i, size_t end);
    size_t matching(const std::vector<Token>& tokens, size_t open, size_t end);
    std::vector<std::pair<size_t, size_t>> splitArguments(const std::vector<Token>& tokens,
                                                          size_t begin, size_t end);

    Break m_break;
    bool m_usesSelect = false;
    std::string m_error;
};

#endif
