#ifndef KR_SHADER_ATOM_REGISTRY_H
#define KR_SHADER_ATOM_REGISTRY_H

#include <kr/krShaderAtom.h>

#include <memory>
#include <vector>

struct krFFPShaderAtoms;

// Files every atom under a meta-shader stage next to its anchor, and keeps per stage the code
// order that follows from anchors and operators: an atom with OPERATOR_AFTER comes after its
// anchor and after the anchor's followers registered before it; an atom with
// OPERATOR_REPLACE stands in the anchor's place (it comes right after the anchor, before the
// anchor's followers, and a program that lists it leaves the anchor out). Atoms registered
// without an anchor follow each other in registration order. The runtime's fixed-function atoms
// are registered when the registry is first made, so that modules can anchor on them.
// Threads: application thread only (module configuration); programs are assembled from the
// order kept here.
class KX_API krShaderAtomRegistry {
public:
    struct Registration {
        krShaderAtom* atom;
        int stage;
        krShaderAtom* anchor;
        int op;
    };

    // The registry, made (with the fixed-function atoms) on first use.
    static krShaderAtomRegistry* instance();
    // The registry if it exists; makes nothing.
    static krShaderAtomRegistry* find();
    // Releases the registry and the fixed-function atoms.
    static void destroy();

    // 1, or -32767 (reported) for a null atom, a stage outside 0 to 9, an operator other than
    // 0 and 1, an atom already registered, or an anchor not registered in the same stage.
    int registerAtom(krShaderAtom* atom, krMetaShader::Stage stage, krShaderAtom* anchor,
                     krMetaShader::Operator op);
    // Removes an atom; atoms anchored on it move to its anchor (to the unanchored atoms when it
    // had none). 1, or -32767 when not registered.
    int unregisterAtom(krShaderAtom* atom);

    // Stage of a registered atom, or -1.
    int getStage(const krShaderAtom* atom) const;
    // Position in the code order of all stages (stage by stage), or -1 when not registered.
    int getOrder(const krShaderAtom* atom) const;
    // The anchor and operator an atom was registered with (null and -1 when not registered).
    krShaderAtom* getAnchor(const krShaderAtom* atom) const;
    int getOperator(const krShaderAtom* atom) const;
    // The atoms of a stage in code order.
    std::vector<krShaderAtom*> getAtoms(int stage) const;
    // Every registration still in force, in the order the calls came.
    const std::vector<Registration>& getRegistrations() const { return m_registrations; }
    krShaderAtom* findAtom(const char* tokenName) const;

private:
    krShaderAtomRegistry();
    ~krShaderAtomRegistry();
    void reorder();
    const Registration* lookUp(const krShaderAtom* atom) const;

    std::vector<Registration> m_registrations;
    std::vector<krShaderAtom*> m_order[krMetaShader::NUM_STAGES];
    std::vector<kuRef<krShaderAtom>> m_held;
    std::unique_ptr<krFFPShaderAtoms> m_fixedFunction;
};

#endif
