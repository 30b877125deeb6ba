#include <kr/krCgTranslator.h>

#include <cctype>
#include <cstring>
#include <cstdlib>
#include <map>

namespace {

typedef krCgTranslator::Token Token;

bool isIdentStart(char c) {
    return std::isalpha(static_cast<unsigned char>(c)) || c == '_';
}
bool isIdentChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
}

bool isPunct(const Token& token, const char* text) {
    return token.kind == Token::PUNCT && token.text == text;
}
bool isBlank(const Token& token) {
    return token.kind == Token::SPACE || token.kind == Token::COMMENT;
}

// Index of the next token at or after i that is not blank, or end.
size_t skipBlank(const std::vector<Token>& tokens, size_t i, size_t end) {
    while (i < end && isBlank(tokens[i]))
        ++i;
    return i;
}

std::string trim(const std::string& text) {
    const char* blanks = " \t\r\n";
    const std::string::size_type first = text.find_first_not_of(blanks);
    if (first == std::string::npos)
        return std::string();
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// Semantics of inputs, outputs and samplers, removed from whole programs.
bool isSemantic(const std::string& word) {
    static const char* const prefixes[] = {"POSITION", "NORMAL",   "COLOR",   "TEXCOORD",
                                           "TEXUNIT",  "FOG",      "PSIZE",   "DEPTH",
                                           "WPOS",     "BINORMAL", "TANGENT", "BLENDWEIGHT"};
    for (const char* prefix : prefixes) {
        const size_t length = std::strlen(prefix);
        if (word.compare(0, length, prefix) == 0) {
            size_t i = length;
            while (i < word.size() && std::isdigit(static_cast<unsigned char>(word[i])))
                ++i;
            if (i == word.size())
                return true;
        }
    }
    return false;
}

// Numbers of the Cg types: float, half and fixed with 1 to 4 components or R x C.
bool splitCgType(const std::string& name, std::string& scalar, int& rows, int& columns) {
    static const char* const scalars[] = {"float", "half", "fixed", "int", "bool"};
    for (const char* base : scalars) {
        const size_t length = std::strlen(base);
        if (name.compare(0, length, base) != 0)
            continue;
        const std::string rest = name.substr(length);
        scalar = base;
        if (rest.empty()) {
            rows = columns = 0;
            return true;
        }
        if (rest.size() == 1 && rest[0] >= '1' && rest[0] <= '4') {
            rows = 0;
            columns = rest[0] - '0';
            return true;
        }
        if (rest.size() == 3 && rest[1] == 'x' && rest[0] >= '1' && rest[0] <= '4' &&
            rest[2] >= '1' && rest[2] <= '4') {
            rows = rest[0] - '0';
            columns = rest[2] - '0';
            return true;
        }
    }
    return false;
}

struct GlstateEntry {
    // Path segments after "glstate": names, "[#]" for any index, "[0]" for index 0 only.
    std::vector<std::string> pattern;
    // The GLSL text; "#" stands for the index.
    const char* replacement;
};

// Longest patterns first: the first match wins and what follows it (swizzles) is kept.
const std::vector<GlstateEntry>& glstateTable(krCgTranslator::Break brk) {
    static const std::vector<GlstateEntry> table = {
        {{"matrix", "invtrans", "modelview", "[0]"}, "gl_ModelViewMatrixInverseTranspose"},
        {{"matrix", "mvp"}, "gl_ModelViewProjectionMatrix"},
        {{"matrix", "modelview", "[0]"}, "gl_ModelViewMatrix"},
        {{"matrix", "projection"}, "gl_ProjectionMatrix"},
        {{"matrix", "texture", "[#]"}, "gl_TextureMatrix[#]"},
        {{"texgen", "[#]", "eye", "s"}, "gl_EyePlaneS[#]"},
        {{"texgen", "[#]", "eye", "t"}, "gl_EyePlaneT[#]"},
        {{"texgen", "[#]", "eye", "r"}, "gl_EyePlaneR[#]"},
        {{"texgen", "[#]", "eye", "q"}, "gl_EyePlaneQ[#]"},
        {{"texgen", "[#]", "object", "s"}, "gl_ObjectPlaneS[#]"},
        {{"texgen", "[#]", "object", "t"}, "gl_ObjectPlaneT[#]"},
        {{"texgen", "[#]", "object", "r"}, "gl_ObjectPlaneR[#]"},
        {{"texgen", "[#]", "object", "q"}, "gl_ObjectPlaneQ[#]"},
        {{"texenv", "[#]", "color"}, "gl_TextureEnvColor[#]"},
        {{"light", "[#]", "ambient"}, "gl_LightSource[#].ambient"},
        {{"light", "[#]", "diffuse"}, "gl_LightSource[#].diffuse"},
        {{"light", "[#]", "specular"}, "gl_LightSource[#].specular"},
        {{"light", "[#]", "position"}, "gl_LightSource[#].position"},
        {{"lightmodel", "ambient"}, "gl_LightModel.ambient"},
        {{"material", "ambient"}, "gl_FrontMaterial.ambient"},
        {{"material", "diffuse"}, "gl_FrontMaterial.diffuse"},
        {{"material", "specular"}, "gl_FrontMaterial.specular"},
        {{"material", "emission"}, "gl_FrontMaterial.emission"},
        {{"material", "shininess"}, "gl_FrontMaterial.shininess"},
        {{"fog", "color"}, "gl_Fog.color"},
        {{"fog", "params"}, "vec4(gl_Fog.density, gl_Fog.start, gl_Fog.end, gl_Fog.scale)"},
    };
    if (brk == krCgTranslator::BREAK_MATERIAL_BACK ||
        brk == krCgTranslator::BREAK_FOG_PARAMS_ORDER) {
        static std::vector<GlstateEntry> back, fog;
        if (back.empty()) {
            back = table;
            fog = table;
            for (GlstateEntry& entry : back)
                if (entry.pattern[0] == "material")
                    entry.replacement = entry.pattern[1] == "ambient"   ? "gl_BackMaterial.ambient"
                                        : entry.pattern[1] == "diffuse" ? "gl_BackMaterial.diffuse"
                                                                        : entry.replacement;
            for (GlstateEntry& entry : fog)
                if (entry.pattern[0] == "fog" && entry.pattern[1] == "params")
                    entry.replacement =
                        "vec4(gl_Fog.start, gl_Fog.density, gl_Fog.end, gl_Fog.scale)";
        }
        return brk == krCgTranslator::BREAK_MATERIAL_BACK ? back : fog;
    }
    return table;
}

// Identifiers a constant initialiser may hold: constructors and pure built-in functions.
bool isConstantWord(const std::string& word) {
    std::string scalar;
    int rows = 0, columns = 0;
    if (splitCgType(word, scalar, rows, columns))
        return true;
    static const char* const words[] = {"vec2", "vec3", "vec4", "mat2",
                                        "mat3", "mat4", "true", "false"};
    for (const char* w : words)
        if (word == w)
            return true;
    return false;
}

// Tokens that end the left side of a conditional expression.
bool endsExpressionLeft(const Token& token) {
    if (token.kind == Token::IDENT)
        return token.text == "return";
    if (token.kind != Token::PUNCT)
        return false;
    static const char* const stops[] = {"=", "+=", "-=", "*=", "/=", ",", ";", "{", "}"};
    for (const char* stop : stops)
        if (token.text == stop)
            return true;
    return false;
}

} // namespace

std::vector<Token> krCgTranslator::lex(const std::string& text) {
    std::vector<Token> tokens;
    size_t i = 0;
    const size_t n = text.size();
    while (i < n) {
        const char c = text[i];
        size_t j = i + 1;
        Token::Kind kind = Token::PUNCT;
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            while (j < n &&
                   (text[j] == ' ' || text[j] == '\t' || text[j] == '\r' || text[j] == '\n'))
                ++j;
            kind = Token::SPACE;
        } else if (c == '/' && i + 1 < n && text[i + 1] == '/') {
            while (j < n && text[j] != '\n')
                ++j;
            kind = Token::COMMENT;
        } else if (c == '/' && i + 1 < n && text[i + 1] == '*') {
            const std::string::size_type close = text.find("*/", i + 2);
            j = close == std::string::npos ? n : close + 2;
            kind = Token::COMMENT;
        } else if (c == '#') {
            while (j < n && text[j] != '\n')
                ++j;
            kind = Token::OTHER;
        } else if (isIdentStart(c)) {
            while (j < n && isIdentChar(text[j]))
                ++j;
            kind = Token::IDENT;
        } else if (std::isdigit(static_cast<unsigned char>(c)) ||
                   (c == '.' && i + 1 < n &&
                    std::isdigit(static_cast<unsigned char>(text[i + 1])))) {
            while (j < n && (isIdentChar(text[j]) || text[j] == '.' ||
                             ((text[j] == '+' || text[j] == '-') &&
                              (text[j - 1] == 'e' || text[j - 1] == 'E'))))
                ++j;
            kind = Token::NUMBER;
        } else if (i + 1 < n) {
            static const char* const pairs[] = {
                "+=", "-=", "*=", "/=", "==", "!=", "<=", ">=", "&&", "||", "++", "--"};
            for (const char* pair : pairs)
                if (c == pair[0] && text[i + 1] == pair[1])
                    j = i + 2;
        }
        tokens.push_back(Token{kind, text.substr(i, j - i)});
        i = j;
    }
    return tokens;
}

std::string krCgTranslator::glslType(const std::string& cgType) {
    std::string scalar;
    int rows = 0, columns = 0;
    if (!splitCgType(cgType, scalar, rows, columns))
        return cgType;
    const bool isFloat = scalar == "float" || scalar == "half" || scalar == "fixed";
    if (rows == 0 && columns == 0)
        return isFloat ? "float" : scalar;
    if (rows == 0) {
        if (columns == 1)
            return isFloat ? "float" : scalar;
        return (isFloat ? "vec" : scalar == "int" ? "ivec" : "bvec") + std::to_string(columns);
    }
    if (!isFloat)
        return cgType;
    // Cg's floatRxC has R rows; GLSL names columns first.
    if (rows == columns)
        return "mat" + std::to_string(rows);
    return "mat" + std::to_string(columns) + "x" + std::to_string(rows);
}

size_t krCgTranslator::matching(const std::vector<Token>& tokens, size_t open, size_t end) {
    const std::string& o = tokens[open].text;
    const char* close = o == "(" ? ")" : o == "[" ? "]" : "}";
    int depth = 0;
    for (size_t i = open; i < end; ++i) {
        if (tokens[i].kind != Token::PUNCT)
            continue;
        if (tokens[i].text == o)
            ++depth;
        else if (tokens[i].text == close && --depth == 0)
            return i;
    }
    m_error = "unbalanced '" + o + "'";
    return end;
}

std::vector<std::pair<size_t, size_t>>
krCgTranslator::splitArguments(const std::vector<Token>& tokens, size_t begin, size_t end) {
    std::vector<std::pair<size_t, size_t>> arguments;
    size_t start = begin;
    for (size_t i = begin; i < end; ++i) {
        if (isPunct(tokens[i], "(") || isPunct(tokens[i], "[") || isPunct(tokens[i], "{")) {
            i = matching(tokens, i, end);
        } else if (isPunct(tokens[i], ",")) {
            arguments.emplace_back(start, i);
            start = i + 1;
        }
    }
    arguments.emplace_back(start, end);
    return arguments;
}

std::string krCgTranslator::translateGlstate(const std::vector<Token>& tokens, size_t& i,
                                             size_t end) {
    // Segments after "glstate": ".name" and "[index]", with the token index after each.
    struct Segment {
        std::string text;  // "name" or "[index]"
        std::string index; // the translated index of "[index]"
        size_t next;
    };
    std::vector<Segment> segments;
    size_t k = i + 1;
    while (k < end) {
        const size_t dot = skipBlank(tokens, k, end);
        if (dot < end && isPunct(tokens[dot], ".")) {
            const size_t name = skipBlank(tokens, dot + 1, end);
            if (name >= end || tokens[name].kind != Token::IDENT)
                break;
            segments.push_back(Segment{tokens[name].text, "", name + 1});
            k = name + 1;
        } else if (dot < end && isPunct(tokens[dot], "[")) {
            const size_t close = matching(tokens, dot, end);
            if (close >= end)
                break;
            const std::string index = trim(translateRange(tokens, dot + 1, close));
            segments.push_back(Segment{"[" + index + "]", index, close + 1});
            k = close + 1;
        } else {
            break;
        }
    }
    if (m_break != BREAK_GLSTATE_KEPT) {
        for (const GlstateEntry& entry : glstateTable(m_break)) {
            if (entry.pattern.size() > segments.size())
                continue;
            bool match = true;
            std::string index;
            for (size_t s = 0; s < entry.pattern.size() && match; ++s) {
                if (entry.pattern[s] == "[#]") {
                    match = segments[s].text[0] == '[';
                    index = segments[s].index;
                } else {
                    match = entry.pattern[s] == segments[s].text;
                }
            }
            if (!match)
                continue;
            std::string out = entry.replacement;
            const std::string::size_type hash = out.find('#');
            if (hash != std::string::npos)
                out.replace(hash, 1, index);
            i = segments[entry.pattern.size() - 1].next;
            return out;
        }
    }
    // Unknown state: left for the compiler to report.
    ++i;
    return "glstate";
}

std::string krCgTranslator::translateRange(const std::vector<Token>& tokens, size_t begin,
                                           size_t end) {
    // A conditional at this level becomes a call of the selection helpers: GLSL rejects
    // c ? 0.0 : vec3, which Cg accepts.
    if (m_break != BREAK_SELECT_KEPT) {
        for (size_t q = begin; q < end; ++q) {
            if (isPunct(tokens[q], "(") || isPunct(tokens[q], "[") || isPunct(tokens[q], "{")) {
                q = matching(tokens, q, end);
                continue;
            }
            if (!isPunct(tokens[q], "?"))
                continue;
            size_t start = q;
            while (start > begin && !endsExpressionLeft(tokens[start - 1]))
                --start;
            // The ':' of this '?' (nested conditionals pair inner first), then the end.
            size_t colon = end, stop = end;
            int pending = 0;
            for (size_t k = q + 1; k < end; ++k) {
                if (isPunct(tokens[k], "(") || isPunct(tokens[k], "[") || isPunct(tokens[k], "{")) {
                    k = matching(tokens, k, end);
                } else if (isPunct(tokens[k], "?")) {
                    ++pending;
                } else if (isPunct(tokens[k], ":") && colon == end) {
                    if (pending == 0)
                        colon = k;
                    else
                        --pending;
                } else if (colon != end && (isPunct(tokens[k], ";") || isPunct(tokens[k], ",") ||
                                            isPunct(tokens[k], "}"))) {
                    stop = k;
                    break;
                }
            }
            if (colon == end) {
                m_error = "'?' without ':'";
                break;
            }
            // Keep the blanks before the expression where they were.
            size_t first = skipBlank(tokens, start, q);
            m_usesSelect = true;
            return translateRange(tokens, begin, first) + "cg_sel(" +
                   trim(translateRange(tokens, first, q)) + ", " +
                   trim(translateRange(tokens, q + 1, colon)) + ", " +
                   trim(translateRange(tokens, colon + 1, stop)) + ")" +
                   translateRange(tokens, stop, end);
        }
    }

    std::string out;
    for (size_t i = begin; i < end;) {
        const Token& token = tokens[i];
        if (token.kind == Token::NUMBER) {
            std::string number = token.text;
            const bool hex = number.size() > 1 && (number[1] == 'x' || number[1] == 'X');
            if (!hex && m_break != BREAK_SUFFIX_KEPT && !number.empty() &&
                std::strchr("fFhH", number.back()))
                number.pop_back();
            out += number;
            ++i;
            continue;
        }
        if (token.kind == Token::PUNCT &&
            (token.text == "(" || token.text == "[" || token.text == "{")) {
            const size_t close = matching(tokens, i, end);
            out += token.text + translateRange(tokens, i + 1, close);
            if (close < end)
                out += tokens[close].text;
            i = close + 1;
            continue;
        }
        if (token.kind != Token::IDENT) {
            out += token.text;
            ++i;
            continue;
        }
        const std::string& word = token.text;
        if (word == "glstate") {
            out += translateGlstate(tokens, i, end);
            continue;
        }
        const size_t open = skipBlank(tokens, i + 1, end);
        const bool call = open < end && isPunct(tokens[open], "(");
        if (call && (word == "mul" || word == "saturate")) {
            const size_t close = matching(tokens, open, end);
            const auto arguments = splitArguments(tokens, open + 1, close);
            std::vector<std::string> args;
            for (const auto& argument : arguments)
                args.push_back(trim(translateRange(tokens, argument.first, argument.second)));
            if (word == "mul" && args.size() == 2) {
                if (m_break == BREAK_MUL_SWAPPED)
                    std::swap(args[0], args[1]);
                out += "((" + args[0] + ") * (" + args[1] + "))";
            } else if (word == "saturate" && args.size() == 1) {
                out += m_break == BREAK_SATURATE_DROPPED ? "(" + args[0] + ")"
                                                         : "clamp(" + args[0] + ", 0.0, 1.0)";
            } else {
                m_error = word + " with " + std::to_string(args.size()) + " arguments";
                out += word + "(" + translateRange(tokens, open + 1, close) + ")";
            }
            i = close + 1;
            continue;
        }
        if (word == "const") {
            // const with an initialiser that is not a compile-time constant is rejected in
            // GLSL 1.20 (const float3 fogColor = glstate.fog.color.rgb).
            size_t k = i + 1, equals = end, stop = end;
            for (; k < end; ++k) {
                if (isPunct(tokens[k], "="))
                    equals = equals == end ? k : equals;
                if (isPunct(tokens[k], ";")) {
                    stop = k;
                    break;
                }
            }
            bool constant = true;
            for (k = equals; k < stop && k < end; ++k)
                if (tokens[k].kind == Token::IDENT && !isConstantWord(tokens[k].text))
                    constant = false;
            if (!constant && equals != end && m_break != BREAK_CONST_KEPT) {
                i = skipBlank(tokens, i + 1, end);
                continue;
            }
        }
        if (m_break != BREAK_TYPES_KEPT) {
            const std::string type = glslType(word);
            if (type != word) {
                out += type;
                ++i;
                continue;
            }
        }
        if (call) {
            if (word == "lerp" && m_break != BREAK_LERP_KEPT) {
                out += "mix";
            } else if (word == "tex2D") {
                out += "texture2D";
            } else if (word == "tex2Dproj") {
                if (m_break == BREAK_TEX2DPROJ_AS_TEXTURE2D) {
                    // The projective coordinate read as a plain one: its first two components.
                    const size_t close = matching(tokens, open, end);
                    const auto arguments = splitArguments(tokens, open + 1, close);
                    if (arguments.size() == 2) {
                        out +=
                            "texture2D(" +
                            trim(translateRange(tokens, arguments[0].first, arguments[0].second)) +
                            ", (" +
                            trim(translateRange(tokens, arguments[1].first, arguments[1].second)) +
                            ").xy)";
                        i = close + 1;
                        continue;
                    }
                }
                out += "texture2DProj";
            } else if (word == "frac") {
                out += "fract";
            } else if (word == "rsqrt") {
                out += "inversesqrt";
            } else {
                out += word;
            }
            ++i;
            continue;
        }
        out += word;
        ++i;
    }
    return out;
}

std::string krCgTranslator::translate(const std::string& cg) {
    m_error.clear();
    const std::vector<Token> tokens = lex(cg);
    return translateRange(tokens, 0, tokens.size());
}

std::string krCgTranslator::translateDeclaration(const std::string& line) {
    std::string text = trim(line);
    while (!text.empty() && text.back() == ';')
        text = trim(text.substr(0, text.size() - 1));
    return translate(text) + (m_break == BREAK_DECLARATION_UNTERMINATED ? "" : ";");
}

const std::string& krCgTranslator::selectHelpers() {
    static const std::string helpers = [] {
        std::string text;
        const char* const types[] = {"float", "vec2", "vec3", "vec4"};
        for (const char* type : types)
            text += std::string(type) + " cg_sel(bool c, " + type + " a, " + type +
                    " b) { return c ? a : b; }\n";
        for (int n = 2; n <= 4; ++n) {
            const std::string vec = "vec" + std::to_string(n);
            text += vec + " cg_sel(bool c, float a, " + vec + " b) { return c ? " + vec +
                    "(a) : b; }\n";
            text += vec + " cg_sel(bool c, " + vec + " a, float b) { return c ? a : " + vec +
                    "(b); }\n";
        }
        return text;
    }();
    return helpers;
}

std::string krCgTranslator::versionLine() const {
    return m_break == BREAK_NO_VERSION ? std::string() : std::string("#version 120\n");
}

namespace {

struct Declared {
    std::string type; // Cg type
    std::string name;
    std::string semantic;
    bool isUniform = false;
    bool isOut = false;
};

// Reads "[qualifiers] type name [: SEMANTIC]" from the non-blank tokens of a range.
Declared readDeclared(const std::vector<Token>& tokens, size_t begin, size_t end) {
    Declared declared;
    std::vector<std::string> words;
    for (size_t i = begin; i < end; ++i) {
        if (isBlank(tokens[i]))
            continue;
        if (isPunct(tokens[i], ":")) {
            const size_t s = skipBlank(tokens, i + 1, end);
            if (s < end)
                declared.semantic = tokens[s].text;
            break;
        }
        if (tokens[i].kind == Token::IDENT)
            words.push_back(tokens[i].text);
    }
    for (const std::string& word : words) {
        if (word == "uniform")
            declared.isUniform = true;
        else if (word == "out" || word == "inout")
            declared.isOut = true;
        else if (word == "in" || word == "const")
            continue;
        else if (declared.type.empty())
            declared.type = word;
        else
            declared.name = word;
    }
    return declared;
}

// "COLOR" and "COLOR0", "TEXCOORD" and "TEXCOORD0" name the same register.
std::string normalSemantic(const std::string& semantic) {
    if (semantic == "COLOR" || semantic == "TEXCOORD" || semantic == "TEXUNIT")
        return semantic + "0";
    return semantic;
}

int componentCount(const std::string& glslType) {
    if (glslType == "float")
        return 1;
    if (glslType.size() == 4 && glslType.compare(0, 3, "vec") == 0)
        return glslType[3] - '0';
    return 0;
}

// expr of size from as a value of type to.
std::string convert(const std::string& expr, int from, const std::string& to) {
    const int size = componentCount(to);
    if (size == 0 || size == from)
        return expr;
    if (size < from)
        return to + "(" + expr + ")";
    std::string padded = to + "(" + expr;
    for (int i = from; i < size; ++i)
        padded += i == 3 ? ", 1.0" : ", 0.0";
    return padded + ")";
}

} // namespace

bool krCgTranslator::vertexInput(const std::string& semantic, std::string& builtin, int& size) {
    size = 4;
    if (semantic == "POSITION")
        builtin = "gl_Vertex";
    else if (semantic == "NORMAL")
        builtin = "gl_Normal", size = 3;
    else if (semantic == "COLOR0")
        builtin = "gl_Color";
    else if (semantic == "COLOR1")
        builtin = "gl_SecondaryColor";
    else if (semantic == "FOG")
        builtin = "gl_FogCoord", size = 1;
    else if (semantic.compare(0, 8, "TEXCOORD") == 0)
        builtin = "gl_MultiTexCoord" + semantic.substr(8);
    else
        return false;
    return true;
}

bool krCgTranslator::translateProgram(const std::string& cg, bool vertex, const char* entry,
                                      std::string& glsl, ProgramInfo* info) {
    m_error.clear();
    const std::vector<Token> tokens = lex(cg);
    const size_t end = tokens.size();
    const std::string entryName = entry ? entry : "main";

    // Structures and their members.
    std::map<std::string, std::vector<Declared>> structs;
    for (size_t i = 0; i < end; ++i) {
        if (tokens[i].kind != Token::IDENT || tokens[i].text != "struct")
            continue;
        const size_t name = skipBlank(tokens, i + 1, end);
        const size_t open = skipBlank(tokens, name + 1, end);
        if (open >= end || !isPunct(tokens[open], "{"))
            continue;
        const size_t close = matching(tokens, open, end);
        std::vector<Declared>& members = structs[tokens[name].text];
        size_t start = open + 1;
        for (size_t k = open + 1; k < close; ++k) {
            if (isPunct(tokens[k], ";")) {
                members.push_back(readDeclared(tokens, start, k));
                start = k + 1;
            }
        }
        i = close;
    }

    // Samplers declared at file scope: "uniform sampler2D name : TEXUNITn;".
    std::vector<ProgramInfo::Binding> samplerUnits;
    for (size_t i = 0, depth = 0; i < end; ++i) {
        if (isPunct(tokens[i], "{") || isPunct(tokens[i], "("))
            ++depth;
        else if ((isPunct(tokens[i], "}") || isPunct(tokens[i], ")")) && depth > 0)
            --depth;
        if (depth != 0 || tokens[i].kind != Token::IDENT || tokens[i].text != "uniform")
            continue;
        size_t stop = i;
        while (stop < end && !isPunct(tokens[stop], ";") && !isPunct(tokens[stop], "{") &&
               !isPunct(tokens[stop], "("))
            ++stop;
        const Declared declared = readDeclared(tokens, i, stop);
        const std::string semantic = normalSemantic(declared.semantic);
        if (semantic.compare(0, 7, "TEXUNIT") == 0)
            samplerUnits.push_back({declared.name, std::atoi(semantic.c_str() + 7)});
        i = stop < end ? stop - 1 : stop;
    }

    // The entry function: "type entry ( parameters ) [: SEMANTIC] {".
    size_t entryAt = end, paramOpen = end, paramClose = end;
    int depth = 0;
    for (size_t i = 0; i < end; ++i) {
        if (isPunct(tokens[i], "{"))
            ++depth;
        else if (isPunct(tokens[i], "}"))
            --depth;
        if (depth != 0 || tokens[i].kind != Token::IDENT || tokens[i].text != entryName)
            continue;
        const size_t open = skipBlank(tokens, i + 1, end);
        if (open < end && isPunct(tokens[open], "(")) {
            entryAt = i;
            paramOpen = open;
            paramClose = matching(tokens, open, end);
            break;
        }
    }
    if (entryAt == end || paramClose >= end) {
        m_error = "no entry function " + entryName;
        return false;
    }
    Declared result;
    {
        size_t k = entryAt;
        while (k > 0 && (isBlank(tokens[k - 1]) || tokens[k - 1].kind == Token::IDENT))
            --k;
        result = readDeclared(tokens, k, entryAt);
        const size_t colon = skipBlank(tokens, paramClose + 1, end);
        if (colon < end && isPunct(tokens[colon], ":")) {
            const size_t s = skipBlank(tokens, colon + 1, end);
            if (s < end)
                result.semantic = tokens[s].text;
        }
    }
    std::vector<Declared> parameters;
    std::vector<std::pair<size_t, size_t>> parameterRanges;
    if (skipBlank(tokens, paramOpen + 1, paramClose) < paramClose) {
        for (const auto& range : splitArguments(tokens, paramOpen + 1, paramClose)) {
            parameters.push_back(readDeclared(tokens, range.first, range.second));
            parameterRanges.push_back(range);
        }
    }

    // The program's own text: semantics removed, uniform parameters moved out, entry renamed.
    std::vector<bool> drop(end, false);
    if (m_break != BREAK_SEMANTICS_KEPT) {
        for (size_t i = 0; i < end; ++i) {
            if (!isPunct(tokens[i], ":"))
                continue;
            const size_t s = skipBlank(tokens, i + 1, end);
            const size_t after = skipBlank(tokens, s + 1, end);
            if (s < end && tokens[s].kind == Token::IDENT && isSemantic(tokens[s].text) &&
                (after >= end || isPunct(tokens[after], ";") || isPunct(tokens[after], ",") ||
                 isPunct(tokens[after], ")") || isPunct(tokens[after], "{") ||
                 isPunct(tokens[after], "="))) {
                for (size_t k = i; k <= s; ++k)
                    drop[k] = true;
            }
        }
    }
    std::string globals;
    if (m_break != BREAK_UNIFORM_PARAMETERS_KEPT) {
        // A uniform parameter goes with the comma that separates it from its neighbour.
        std::vector<size_t> kept;
        for (size_t p = 0; p < parameters.size(); ++p)
            if (!parameters[p].isUniform)
                kept.push_back(p);
        for (size_t p = 0; p < parameters.size(); ++p) {
            if (!parameters[p].isUniform)
                continue;
            for (size_t k = parameterRanges[p].first; k < parameterRanges[p].second; ++k)
                drop[k] = true;
            if (p + 1 < parameters.size())
                drop[parameterRanges[p].second] = true; // the comma after it
            else if (p > 0 && !kept.empty() && kept.back() < p)
                drop[parameterRanges[p].first - 1] = true; // the comma before it
        }
    }
    for (const Declared& parameter : parameters) {
        if (!parameter.isUniform)
            continue;
        const std::string semantic = normalSemantic(parameter.semantic);
        if (semantic.compare(0, 7, "TEXUNIT") == 0)
            samplerUnits.push_back({parameter.name, std::atoi(semantic.c_str() + 7)});
        if (m_break != BREAK_UNIFORM_PARAMETERS_KEPT)
            globals += "uniform " + glslType(parameter.type) + " " + parameter.name + ";\n";
    }
    std::string edited;
    for (size_t i = 0; i < end; ++i) {
        if (drop[i])
            continue;
        edited += i == entryAt ? std::string("cg_entry") : tokens[i].text;
    }
    const std::string body = translate(edited);
    if (!m_error.empty())
        return false;

    // The varyings both programs name after the semantic they carry.
    std::string varyings, main = "void main() {\n";
    std::vector<std::string> varyingNames;
    auto declareVarying = [&](const std::string& semantic, const std::string& type) {
        const std::string name = "cg_" + semantic;
        for (const std::string& known : varyingNames)
            if (known == name)
                return name;
        varyingNames.push_back(name);
        varyings += "varying " + type + " " + name + ";\n";
        return name;
    };
    // The value an input of this semantic and type takes.
    auto input = [&](const std::string& semanticText, const std::string& type) -> std::string {
        const std::string semantic = normalSemantic(semanticText);
        std::string builtin;
        int size = 4;
        if (vertex) {
            if (!vertexInput(semantic, builtin, size))
                return std::string();
            return convert(builtin, size, type);
        }
        if (semantic == "POSITION" || semantic == "WPOS")
            return convert("gl_FragCoord", 4, type);
        return declareVarying(semantic, type);
    };
    // Where an output of this semantic goes.
    auto output = [&](const std::string& semanticText, const std::string& type,
                      const std::string& value) -> std::string {
        const std::string semantic = normalSemantic(semanticText);
        if (vertex && semantic == "POSITION")
            return "    gl_Position = " + convert(value, componentCount(type), "vec4") + ";\n";
        if (!vertex && semantic == "COLOR0")
            return "    gl_FragColor = " + convert(value, componentCount(type), "vec4") + ";\n";
        if (!vertex && semantic == "DEPTH")
            return "    gl_FragDepth = " + value + ";\n";
        if (!vertex || semantic.empty())
            return std::string();
        return "    " + declareVarying(semantic, type) + " = " + value + ";\n";
    };

    std::string arguments, after;
    for (size_t p = 0; p < parameters.size(); ++p) {
        const Declared& parameter = parameters[p];
        if (parameter.isUniform && m_break != BREAK_UNIFORM_PARAMETERS_KEPT)
            continue;
        const std::string local = "cg_p" + std::to_string(p);
        const auto structIt = structs.find(parameter.type);
        const std::string type = glslType(parameter.type);
        main += "    " + type + " " + local + ";\n";
        if (structIt != structs.end()) {
            for (const Declared& member : structIt->second) {
                const std::string memberType = glslType(member.type);
                if (parameter.isOut) {
                    after += output(member.semantic, memberType, local + "." + member.name);
                } else {
                    const std::string value = input(member.semantic, memberType);
                    if (!value.empty())
                        main += "    " + local + "." + member.name + " = " + value + ";\n";
                }
            }
        } else if (parameter.isOut) {
            after += output(parameter.semantic, type, local);
        } else {
            const std::string value = input(parameter.semantic, type);
            if (!value.empty())
                main += "    " + local + " = " + value + ";\n";
        }
        arguments += (arguments.empty() ? "" : ", ") + local;
    }
    if (result.type == "void") {
        main += "    cg_entry(" + arguments + ");\n";
    } else {
        const std::string type = glslType(result.type);
        main += "    " + type + " cg_result = cg_entry(" + arguments + ");\n";
        const auto structIt = structs.find(result.type);
        if (structIt != structs.end()) {
            for (const Declared& member : structIt->second)
                main += output(member.semantic, glslType(member.type), "cg_result." + member.name);
        } else {
            main += output(result.semantic, type, "cg_result");
        }
    }
    main += after + "}\n";

    glsl = versionLine() + (m_usesSelect ? selectHelpers() : std::string()) + globals + varyings +
           body + "\n" + main;
    if (info) {
        info->samplerUnits = samplerUnits;
        info->varyings = varyingNames;
    }
    return true;
}
