#include <kr/krState.h>

#include <kr/krShaderTechnique.h>

krState::krState(bool inheritUnset) : m_inheritUnset(inheritUnset) {}
krState::~krState() = default;

void krState::setElement(const krElement& element) {
    const int id = element.getId();
    if (id < 0 || id >= KR_NUM_ELEMENTS)
        return;
    m_elements[id].reset(element.clone());
    ++m_revision;
}

void krState::removeElement(int id) {
    if (id < 0 || id >= KR_NUM_ELEMENTS)
        return;
    m_elements[id].reset();
    ++m_revision;
}

const krElement* krState::getElement(int id) const {
    return id >= 0 && id < KR_NUM_ELEMENTS ? m_elements[id].get() : nullptr;
}

void krState::push_back_technique(krShaderTechnique* technique) {
    if (!technique)
        return;
    m_techniques.push_back(technique);
    ++m_revision;
}

void krState::setShaderized(bool shaderized) {
    m_shaderized = shaderized;
    ++m_revision;
}

void krState::setPerFragmentLighting(bool perFragment) {
    m_perFragment = perFragment;
    ++m_revision;
}
