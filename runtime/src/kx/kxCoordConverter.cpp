#include <kx/kxCoordConverter.h>

namespace {
kuBase::ClassType* s_classType = nullptr;
}

const kuBase::ClassType* kxCoordConverter::getClassType() const {
    return s_classType;
}
kuBase::ClassType* kxCoordConverter::getStaticClassType() {
    return s_classType;
}

int kxCoordConverter::initializeClass() {
    if (!s_classType)
        s_classType =
            new ClassType("kxCoordConverter", kuBase::getStaticClassType(), nullptr, true, false);
    return KU_SUCCESS;
}

int kxCoordConverter::shutdownClass() {
    delete s_classType;
    s_classType = nullptr;
    return KU_SUCCESS;
}
