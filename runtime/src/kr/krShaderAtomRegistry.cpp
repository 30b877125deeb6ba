#include <kr/krShaderAtomRegistry.h>

#include <kr/krFFPShaderStageAtoms.h>
#include <kr/krShaderStageAtoms.h>
#include <ku/kuNotify.h>

#include <cstring>

namespace {
krShaderAtomRegistry* s_registry = nullptr;
} // namespace

krShaderAtomRegistry::krShaderAtomRegistry() = default;

krShaderAtomRegistry::~krShaderAtomRegistry() = default;

krShaderAtomRegistry* krShaderAtomRegistry::instance() {
    if (!s_registry) {
        // Published before the fixed-function atoms register, since they register through it.
        s_registry = new krShaderAtomRegistry;
        s_registry->m_fixedFunction.reset(new krFFPShaderAtoms);
    }
    return s_registry;
}

krShaderAtomRegistry* krShaderAtomRegistry::find() {
    return s_registry;
}

void krShaderAtomRegistry::destroy() {
    if (!s_registry)
        return;
    s_registry->m_fixedFunction.reset();
    delete s_registry;
    s_registry = nullptr;
}

const krShaderAtomRegistry::Registration*
krShaderAtomRegistry::lookUp(const krShaderAtom* atom) const {
    for (const Registration& registration : m_registrations)
        if (registration.atom == atom)
            return &registration;
    return nullptr;
}

int krShaderAtomRegistry::registerAtom(krShaderAtom* atom, krMetaShader::Stage stage,
                                       krShaderAtom* anchor, krMetaShader::Operator op) {
    const char* name = atom ? atom->getTokenName() : "(null)";
    if (!atom || stage < 0 || stage >= krMetaShader::NUM_STAGES ||
        (op != krMetaShader::OPERATOR_REPLACE && op != krMetaShader::OPERATOR_AFTER)) {
        kuNotify::print(5, nullptr,
                        "krShaderAtomRegistry::registerAtom - atom %s: bad stage %d or operator %d",
                        name, static_cast<int>(stage), static_cast<int>(op));
        return KU_FAILURE;
    }
    if (lookUp(atom)) {
        kuNotify::print(5, nullptr, "krShaderAtomRegistry::registerAtom - %s is registered already",
                        name);
        return KU_FAILURE;
    }
    if (anchor) {
        const Registration* anchored = lookUp(anchor);
        if (!anchored || anchored->stage != stage) {
            kuNotify::print(5, nullptr,
                            "krShaderAtomRegistry::registerAtom - anchor %s of %s is not a stage "
                            "%d atom",
                            anchor->getTokenName(), name, static_cast<int>(stage));
            return KU_FAILURE;
        }
    }
    m_registrations.push_back(Registration{atom, stage, anchor, op});
    m_held.emplace_back(atom);
    reorder();
    return KU_SUCCESS;
}

int krShaderAtomRegistry::unregisterAtom(krShaderAtom* atom) {
    const Registration* registration = lookUp(atom);
    if (!registration)
        return KU_FAILURE;
    // Atoms anchored on it move to its anchor, with its operator.
    const Registration removed = *registration;
    for (Registration& other : m_registrations) {
        if (other.anchor == atom) {
            other.anchor = removed.anchor;
            if (!removed.anchor)
                other.op = krMetaShader::OPERATOR_AFTER;
        }
    }
    m_registrations.erase(m_registrations.begin() + (registration - m_registrations.data()));
    reorder();
    // Released last: the atom may go with this reference.
    for (auto it = m_held.begin(); it != m_held.end(); ++it) {
        if (it->get() == atom) {
            m_held.erase(it);
            break;
        }
    }
    return KU_SUCCESS;
}

void krShaderAtomRegistry::reorder() {
    // Depth first from the unanchored atoms: an atom, then its alternatives (with theirs), then
    // its followers (with theirs), each group in registration order.
    for (int stage = 0; stage < krMetaShader::NUM_STAGES; ++stage) {
        std::vector<krShaderAtom*>& order = m_order[stage];
        order.clear();
        struct Visit {
            const std::vector<Registration>& all;
            int stage;
            std::vector<krShaderAtom*>& order;
            void operator()(krShaderAtom* anchor) const {
                for (int op :
                     {int(krMetaShader::OPERATOR_REPLACE), int(krMetaShader::OPERATOR_AFTER)}) {
                    for (const Registration& r : all) {
                        if (r.stage != stage || r.anchor != anchor || (anchor && r.op != op))
                            continue;
                        order.push_back(r.atom);
                        (*this)(r.atom);
                    }
                    if (!anchor)
                        break; // unanchored atoms are visited once, whatever their operator
                }
            }
        };
        Visit{m_registrations, stage, order}(nullptr);
    }
}

int krShaderAtomRegistry::getStage(const krShaderAtom* atom) const {
    const Registration* registration = lookUp(atom);
    return registration ? registration->stage : -1;
}

int krShaderAtomRegistry::getOrder(const krShaderAtom* atom) const {
    int offset = 0;
    for (int stage = 0; stage < krMetaShader::NUM_STAGES; ++stage) {
        const std::vector<krShaderAtom*>& order = m_order[stage];
        for (size_t i = 0; i < order.size(); ++i)
            if (order[i] == atom)
                return offset + static_cast<int>(i);
        offset += static_cast<int>(order.size());
    }
    return -1;
}

krShaderAtom* krShaderAtomRegistry::getAnchor(const krShaderAtom* atom) const {
    const Registration* registration = lookUp(atom);
    return registration ? registration->anchor : nullptr;
}

int krShaderAtomRegistry::getOperator(const krShaderAtom* atom) const {
    const Registration* registration = lookUp(atom);
    return registration ? registration->op : -1;
}

std::vector<krShaderAtom*> krShaderAtomRegistry::getAtoms(int stage) const {
    if (stage < 0 || stage >= krMetaShader::NUM_STAGES)
        return {};
    return m_order[stage];
}

krShaderAtom* krShaderAtomRegistry::findAtom(const char* tokenName) const {
    if (!tokenName)
        return nullptr;
    for (const Registration& registration : m_registrations)
        if (std::strcmp(registration.atom->getTokenName(), tokenName) == 0)
            return registration.atom;
    return nullptr;
}

krAtomBaseSingleton::krAtomBaseSingleton() : m_atom(new krShaderAtom) {}

krAtomBaseSingleton::~krAtomBaseSingleton() {
    if (krShaderAtomRegistry* registry = krShaderAtomRegistry::find())
        registry->unregisterAtom(m_atom.get());
}
