#include <kx/kxIsectorServiceAsynchronous.h>

namespace {
kuBase::ClassType* s_classType = nullptr;
kuRef<kxIsectorServiceAsynchronous> s_default;
} // namespace

kxIsectorServiceAsynchronous::kxIsectorServiceAsynchronous() {
    registerInstance(s_classType);
}
kxIsectorServiceAsynchronous::~kxIsectorServiceAsynchronous() {
    unregisterInstance(s_classType);
}

kxIsectorServiceAsynchronous* kxIsectorServiceAsynchronous::obtainDefault() {
    if (!s_default)
        s_default = new kxIsectorServiceAsynchronous;
    return s_default.get();
}

void kxIsectorServiceAsynchronous::releaseDefault() {
    s_default.reset();
}

const kuBase::ClassType* kxIsectorServiceAsynchronous::getClassType() const {
    return s_classType;
}
kuBase::ClassType* kxIsectorServiceAsynchronous::getStaticClassType() {
    return s_classType;
}

int kxIsectorServiceAsynchronous::initializeClass() {
    if (!s_classType)
        s_classType = new ClassType("kxIsectorServiceAsynchronous",
                                    kxIsectorService::getStaticClassType(), nullptr, true, false);
    return KU_SUCCESS;
}

int kxIsectorServiceAsynchronous::shutdownClass() {
    releaseDefault();
    delete s_classType;
    s_classType = nullptr;
    return KU_SUCCESS;
}
