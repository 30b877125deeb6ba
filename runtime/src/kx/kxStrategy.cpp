#include <kx/kxStrategy.h>

namespace {
kuBase::ClassType* s_classType = nullptr;
}

const kuBase::ClassType* kxStrategy::getClassType() const {
    return s_classType;
}

kuBase::ClassType* kxStrategy::getStaticClassType() {
    return s_classType;
}

int kxStrategy::initializeClass() {
    if (!s_classType)
        s_classType = new ClassType("kxPositionable::Strategy", kuBase::getStaticClassType(),
                                    nullptr, false, false);
    return KU_SUCCESS;
}

int kxStrategy::shutdownClass() {
    delete s_classType;
    s_classType = nullptr;
    return KU_SUCCESS;
}
