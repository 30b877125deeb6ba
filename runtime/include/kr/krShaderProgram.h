#ifndef KR_SHADER_PROGRAM_H
#define KR_SHADER_PROGRAM_H

#include <kr/krElement.h>
#include <ku/kuMemBase.h>

#include <string>
#include <vector>

// The source of one stage of a whole program, as krShaderFactory read it: its language ("cg"
// or "glsl"), its text and the name it was read under. A Cg stage is translated to GLSL when a
// draw context first builds the program, from its entry function.
// Threads: made and set on the application thread before the program is drawn; read by draw
// threads.
class KX_API krShader : public kuMemBase {
public:
    enum Type { TYPE_VERTEX = 0, TYPE_FRAGMENT = 1 };

    krShader(int type, const char* language, const char* name, std::string text);

    int getType() const { return m_type; }
    const std::string& getLanguage() const { return m_language; }
    const std::string& getName() const { return m_name; }
    const std::string& getText() const { return m_text; }

    // The function the stage starts in (default "main"); the generated GLSL main() calls it.
    void setEntryFunction(const char* entry) { m_entry = entry ? entry : "main"; }
    const std::string& getEntryFunction() const { return m_entry; }
    // Hidden: the text is the library's own and is never printed (a build failure reports the
    // name and the compiler's log only).
    void setHidden(bool hidden) { m_hidden = hidden; }
    bool getHidden() const { return m_hidden; }
    // The target the stage is compiled for: 0 (the default) is the one target there is, GLSL
    // 1.20 with the compatibility built-ins; a program holding another does not build.
    void setProfile(int profile) { m_profile = profile; }
    int getProfile() const { return m_profile; }

protected:
    ~krShader() override;

private:
    int m_type;
    std::string m_language;
    std::string m_name;
    std::string m_text;
    std::string m_entry = "main";
    bool m_hidden = false;
    int m_profile = 0;
};

// A whole vertex and fragment program written by hand (the fog beam's), as opposed to the
// generated programs the shader infrastructure assembles from atoms. A state carries it in an
// Element; each draw context compiles and links it on first use, caches it, and draws with it
// wherever the element is in effect and enabled. Apply mode APPLY_REPLACE (1) draws with the
// program in place of the fixed-function pipeline or the generated program; APPLY_OFF (0)
// carries it without using it.
// Threads: made and filled (insert_shader, setApplyMode) on the application thread before a
// state that carries it is drawn; read by draw threads.
class KX_API krShaderProgram : public kuMemBase {
public:
    enum ApplyMode { APPLY_OFF = 0, APPLY_REPLACE = 1 };

    explicit krShaderProgram(const char* language);

    const std::string& getLanguage() const { return m_language; }
    void setApplyMode(int mode) { m_applyMode = mode; }
    int getApplyMode() const { return m_applyMode; }

    // Adds a stage (the program holds a reference). -32767 (reported) for null, for a shader
    // of another language, or for a second shader of a type already held.
    int insert_shader(krShader* shader);
    int getNumShaders() const { return static_cast<int>(m_shaders.size()); }
    krShader* getShader(int index) const;
    // The stage of a type, or null.
    krShader* findShader(int type) const;

    // Identifies the program for caches that outlive it (an address may be reused).
    unsigned long long getSerial() const { return m_serial; }
    // Advances with every stage inserted, so that built copies are remade.
    unsigned int getRevision() const { return m_revision; }

    // The element that puts the program into effect where a state carries it.
    class KX_API Element : public krElementT<Element, KR_ELEMENT_SHADER_PROGRAM> {
    public:
        Element() = default;
        Element(const Element& other);
        Element& operator=(const Element& other);
        ~Element() override;
        bool operator==(const Element& other) const {
            return m_enable == other.m_enable && m_program == other.m_program;
        }
        // Nothing here: the draw context binds the program when it draws (it is compiled for
        // that context, and chosen against the generated programs).
        void apply(krDrawContext&) const override {}

        void setEnable(bool enable) { m_enable = enable; }
        bool getEnable() const { return m_enable; }
        // The element holds a reference to the program; null is none.
        void setProgram(krShaderProgram* program);
        krShaderProgram* getProgram() const { return m_program; }
        // Whether drawing uses the program: enabled, a program, apply mode APPLY_REPLACE.
        bool isActive() const;

    private:
        bool m_enable = false;
        krShaderProgram* m_program = nullptr;
    };

protected:
    ~krShaderProgram() override;

private:
    std::string m_language;
    int m_applyMode = APPLY_OFF;
    std::vector<krShader*> m_shaders; // each referenced
    unsigned long long m_serial;
    unsigned int m_revision = 1;
};

#endif
