#include <kr/krState.h>

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
