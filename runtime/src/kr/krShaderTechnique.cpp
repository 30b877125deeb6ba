#include <kr/krShaderTechnique.h>

krShaderTechnique::~krShaderTechnique() = default;

void krShaderTechnique::push_back_atom(krShaderAtom* atom) {
    if (atom)
        m_atoms.emplace_back(atom);
}

void krShaderTechnique::push_back_per_fragment_atom(krShaderAtom* atom) {
    if (atom)
        m_perFragmentAtoms.emplace_back(atom);
}

void krShaderTechnique::push_back_texture_state(const char* role, kuMemBase* state) {
    m_textureStates.push_back(TextureState{role ? role : "", state});
}
