#ifndef KR_SHADER_PROGRAM_SOURCE_H
#define KR_SHADER_PROGRAM_SOURCE_H

#include <kr/krCgTranslator.h>
#include <kr/krFFPShaderStageAtoms.h>
#include <kr/krShaderTechnique.h>

#include <string>
#include <vector>

// The GLSL text of one generated program pair, put together from a set of atoms: the atoms in
// registry order (an alternative present leaves its anchor out), stages 0 to 3 into the vertex
// program and 4 to 9 into the fragment program; every declaration once per program (two
// different texts for one name are reported, the first kept); varyings as named varyings,
// numbered in order of first appearance; samplers named by their semantic's unit (TEXUNITn) or
// left to be bound by the role of a texture state ("projLightLobeTexture%d"); uniforms from the
// atoms' parameter objects.
// Threads: any thread, with the registry left unchanged meanwhile (configuration is over by
// the time programs are built).
class KX_API krShaderProgramSource {
public:
    struct Varying {
        std::string name;
        int number;
    };
    struct Sampler {
        std::string name;
        int unit; // -1: bound to the texture state whose role is the name
    };

    explicit krShaderProgramSource(krCgTranslator::Break brk = krCgTranslator::BREAK_NONE)
        : m_translator(brk) {}

    // The atoms of a state: its fixed-function features and its techniques' atoms (the
    // per-fragment lists when perFragment is set).
    static void collectAtoms(const krFixedFunctionFeatures& features,
                             const std::vector<krShaderTechnique*>& techniques, bool perFragment,
                             std::vector<krShaderAtom*>& atoms);

    // 1, or -32767 when no atom is registered or a snippet does not translate (reported).
    int build(const std::vector<krShaderAtom*>& atoms);

    const std::string& getVertexText() const { return m_vertex; }
    const std::string& getFragmentText() const { return m_fragment; }
    // The atoms in code order, as built.
    const std::vector<krShaderAtom*>& getOrderedAtoms() const { return m_ordered; }
    const std::vector<Varying>& getVaryings() const { return m_varyings; }
    const std::vector<Sampler>& getSamplers() const { return m_samplers; }
    const std::vector<krShaderParameterBase*>& getUniforms() const { return m_uniforms; }
    // Names declared with two different texts in the last build.
    const std::vector<std::string>& getConflicts() const { return m_conflicts; }

private:
    std::string buildProgram(bool vertex);

    krCgTranslator m_translator;
    std::vector<krShaderAtom*> m_ordered;
    std::vector<Varying> m_varyings;
    std::vector<Sampler> m_samplers;
    std::vector<krShaderParameterBase*> m_uniforms;
    std::vector<std::string> m_conflicts;
    std::string m_vertex, m_fragment;
};

#endif
