#ifndef KR_SHADER_PROGRAM_CACHE_H
#define KR_SHADER_PROGRAM_CACHE_H

#include <kr/krCgTranslator.h>
#include <kr/krFFPShaderStageAtoms.h>
#include <kr/krShaderParameter.h>
#include <kr/krShaderProgram.h>
#include <kr/krShaderTechnique.h>

#include <map>
#include <memory>
#include <vector>

// What decides the text of a generated program: the fixed-function features the state's
// elements turn on, the per-fragment variant, and the ordered techniques (the state's, then the
// inherited state's). Fixed size, so that a look-up allocates nothing.
struct KX_API krShaderProgramKey {
    static constexpr int MAX_TECHNIQUES = 32;

    krFixedFunctionFeatures features;
    bool perFragment = false;
    int numTechniques = 0;
    const krShaderTechnique* techniques[MAX_TECHNIQUES] = {};

    // False (and the key unchanged) when the key holds MAX_TECHNIQUES already.
    bool push_back_technique(const krShaderTechnique* technique);
    bool operator<(const krShaderProgramKey& o) const;
};

// The generated programs of one OpenGL context, made on first use of a key and kept: compiled
// and linked from the atoms' GLSL, samplers bound after linking (by unit, or by the role
// "projLightLobeTexture<n>" on unit n), uniforms located. A key whose program does not compile
// or link is reported once, with the log, and keeps program name 0 (the fixed-function
// pipeline).
// Threads: the draw thread owning the GL context, with that context current.
class KX_API krShaderProgramCache {
public:
    struct Uniform {
        int location;
        kuRef<krShaderParameterBase> parameter;
        unsigned long long seen; // the value serial last uploaded (0: none)
    };
    struct Program {
        unsigned int name = 0;
        std::vector<Uniform> uniforms;
    };

    krShaderProgramCache() = default;
    ~krShaderProgramCache();
    krShaderProgramCache(const krShaderProgramCache&) = delete;
    krShaderProgramCache& operator=(const krShaderProgramCache&) = delete;

    // The program of a key, made when first asked for.
    Program& get(const krShaderProgramKey& key);
    // The program of a GL name made here, or null.
    Program* find(unsigned int name);
    // The GL program of a whole program: translated, compiled and linked on first use and
    // again when the program gained a stage; its TEXUNITn samplers bound. 0 when it does not
    // build (reported once per revision, without the text of a hidden stage).
    unsigned int getWhole(const krShaderProgram& program);

    // Programs compiled and linked so far, generated and whole (failed ones included).
    unsigned long long getNumBuilds() const { return m_numBuilds; }
    // Deletes every GL program (with the context current) and forgets them.
    void release();
    // Forgets the programs without GL calls (the context is gone).
    void forget() {
        m_programs.clear();
        m_whole.clear();
    }

    // Matrices go up with the transpose that lets "mul" keep its row-major meaning; false is
    // the wrong upload, for tests that must catch it.
    void setTransposeMatrices(bool transpose) { m_transpose = transpose; }
    bool getTransposeMatrices() const { return m_transpose; }
    // Programs built from here on break one translation rule on purpose (tests show that each
    // rule is needed); BREAK_NONE, the default, is the translation that draws right.
    void setTranslationBreak(krCgTranslator::Break brk) { m_break = brk; }

private:
    void build(const krShaderProgramKey& key, Program& program);
    unsigned int buildWhole(const krShaderProgram& program);

    std::map<krShaderProgramKey, std::unique_ptr<Program>> m_programs;
    struct WholeProgram {
        unsigned int name = 0;
        unsigned long long serial = 0;
        unsigned int revision = 0;
    };
    std::map<const krShaderProgram*, WholeProgram> m_whole;
    unsigned long long m_numBuilds = 0;
    bool m_transpose = true;
    krCgTranslator::Break m_break = krCgTranslator::BREAK_NONE;
};

#endif
