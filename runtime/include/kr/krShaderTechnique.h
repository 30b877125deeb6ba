#ifndef KR_SHADER_TECHNIQUE_H
#define KR_SHADER_TECHNIQUE_H

#include <kr/krShaderAtom.h>
#include <ku/kuBase.h>

#include <string>
#include <vector>

// A named set of atoms that a state adds to its generated programs: the atoms of the regular
// program, those of the per-fragment-lighting program (when empty, the per-fragment program
// takes the regular atoms), and the texture states whose roles name the samplers they feed.
// Threads: built on the application thread; read-only once a state carries it.
class KX_API krShaderTechnique : public kuBase {
public:
    krShaderTechnique() = default;

    // Null atoms are ignored.
    void push_back_atom(krShaderAtom* atom);
    void push_back_per_fragment_atom(krShaderAtom* atom);
    const std::vector<kuRef<krShaderAtom>>& getAtoms() const { return m_atoms; }
    const std::vector<kuRef<krShaderAtom>>& getPerFragmentAtoms() const {
        return m_perFragmentAtoms;
    }
    // The atoms of the program with or without per-fragment lighting.
    const std::vector<kuRef<krShaderAtom>>& getAtoms(bool perFragment) const {
        return perFragment && !m_perFragmentAtoms.empty() ? m_perFragmentAtoms : m_atoms;
    }

    // A texture state by its role ("projLightLobeTexture3"): the sampler of that name reads it.
    // The state is any counted object the draw side understands (a texture state, in practice).
    void push_back_texture_state(const char* role, kuMemBase* state);
    bool empty_texture_state() const { return m_textureStates.empty(); }
    struct TextureState {
        std::string role;
        kuRef<kuMemBase> state;
    };
    const std::vector<TextureState>& getTextureStates() const { return m_textureStates; }

protected:
    ~krShaderTechnique() override;

private:
    std::vector<kuRef<krShaderAtom>> m_atoms, m_perFragmentAtoms;
    std::vector<TextureState> m_textureStates;
};

// The base of a module's technique manager: owns the module's atom families Families<0> to
// Families<9>, constructed in stage order (so their atoms register in that order) and
// destroyed in reverse.
// Threads: application thread only.
template <template <int> class Families>
class krShaderTechniqueMgr : public kuMemBase {
public:
    // Sets up every family's atoms (snippets and declarations); the first result other than 1
    // is returned.
    virtual int define() {
        const int results[] = {m_stage0.define(), m_stage1.define(), m_stage2.define(),
                               m_stage3.define(), m_stage4.define(), m_stage5.define(),
                               m_stage6.define(), m_stage7.define(), m_stage8.define(),
                               m_stage9.define()};
        for (int result : results)
            if (result != 1)
                return result;
        return 1;
    }

protected:
    ~krShaderTechniqueMgr() override = default;

    Families<0> m_stage0;
    Families<1> m_stage1;
    Families<2> m_stage2;
    Families<3> m_stage3;
    Families<4> m_stage4;
    Families<5> m_stage5;
    Families<6> m_stage6;
    Families<7> m_stage7;
    Families<8> m_stage8;
    Families<9> m_stage9;
};

#endif
