#ifndef KR_STATE_H
#define KR_STATE_H

#include <kr/krElement.h>
#include <ku/kuBase.h>

#include <memory>
#include <vector>

class krShaderTechnique;

// A set of state elements that a drawable applies together (at most one per element id).
// Threads: changed on the application thread between frames; read on draw threads.
class KX_API krState : public kuBase {
public:
    // inheritUnset: elements this state does not set keep the value they have where it is
    // drawn (true), or go back to their defaults (false).
    explicit krState(bool inheritUnset = true);

    // Stores a copy of element (replacing the one of the same id).
    void setElement(const krElement& element);
    void removeElement(int id);
    const krElement* getElement(int id) const;
    template <class E>
    const E* get() const {
        return static_cast<const E*>(getElement(E::Id));
    }
    bool getInheritUnset() const { return m_inheritUnset; }

    // Techniques its generated programs add to the fixed-function atoms, in order (null is
    // ignored; the state holds a reference to each).
    void push_back_technique(krShaderTechnique* technique);
    const std::vector<kuRef<krShaderTechnique>>& getTechniques() const { return m_techniques; }
    // Whether its programs also take the techniques of the shader infrastructure's inherit
    // state (see krShaderInfrastructure::shaderize).
    void setShaderized(bool shaderized);
    bool getShaderized() const { return m_shaderized; }
    // Whether its programs take the per-fragment-lighting atoms of its techniques.
    void setPerFragmentLighting(bool perFragment);
    bool getPerFragmentLighting() const { return m_perFragment; }

    // Advances with every change.
    unsigned int getRevision() const { return m_revision; }

protected:
    ~krState() override;

private:
    bool m_inheritUnset;
    std::unique_ptr<krElement> m_elements[KR_NUM_ELEMENTS];
    std::vector<kuRef<krShaderTechnique>> m_techniques;
    bool m_shaderized = false;
    bool m_perFragment = false;
    unsigned int m_revision = 1;
};

#endif
