#ifndef KR_SHADER_STAGE_ATOMS_H
#define KR_SHADER_STAGE_ATOMS_H

#include <kr/krShaderAtomRegistry.h>

#include <cassert>

// The base of every atom class: owns the runtime atom object that represents the atom.
// Threads: application thread only.
class KX_API krAtomBaseSingleton {
public:
    krShaderAtom* operator->() const { return m_atom.get(); }
    operator krShaderAtom*() const { return m_atom.get(); }

protected:
    krAtomBaseSingleton();
    // Takes the atom out of the registry (if both still exist) and releases it.
    virtual ~krAtomBaseSingleton();

    kuRef<krShaderAtom> m_atom;
};

// The anchor of an atom that starts its stage's order.
struct krNoAnchor {
    static krShaderAtom* instance() { return nullptr; }
};

// A family of atom classes filed under stage N. An atom class derives from AtomBase<Anchor, Op>
// and calls registerAtom() in its constructor, once its token name is set; Anchor::instance()
// is read then, so anchors must be constructed first.
template <int N>
struct krShaderStageAtoms {
    static_assert(N >= 0 && N < krMetaShader::NUM_STAGES, "meta-shader stages are 0 to 9");

    virtual ~krShaderStageAtoms() = default;

    template <class Anchor, int Op>
    class AtomBase : public krAtomBaseSingleton {
    protected:
        void registerAtom() {
            assert(m_atom && "Atom registration: krShaderAtom pointer is NULL.");
            krShaderAtomRegistry::instance()->registerAtom(
                m_atom.get(), static_cast<krMetaShader::Stage>(N), Anchor::instance(),
                static_cast<krMetaShader::Operator>(Op));
        }
    };
};

#endif
