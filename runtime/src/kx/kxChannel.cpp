#include <kx/kxChannel.h>

namespace {
kuBase::ClassType* s_classType = nullptr;
}

kxChannel::kxChannel() {
    registerInstance(s_classType);
}
kxChannel::~kxChannel() {
    unregisterInstance(s_classType);
}

const kuBase::ClassType* kxChannel::getClassType() const {
    return s_classType;
}
kuBase::ClassType* kxChannel::getStaticClassType() {
    return s_classType;
}
kuBase* kxChannel::create() {
    return new kxChannel;
}

int kxChannel::initializeClass() {
    if (!s_classType)
        s_classType =
            new ClassType("kxChannel", ksChannel::getStaticClassType(), create, true, false);
    return KU_SUCCESS;
}

int kxChannel::shutdownClass() {
    delete s_classType;
    s_classType = nullptr;
    return KU_SUCCESS;
}
