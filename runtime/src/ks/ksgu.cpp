#include <ks/ksgu.h>

#include <ku/kuNotify.h>

namespace {
int s_depth = 0;
}

void ksgu::initializeClassSessionBegin(const char* owner) {
    ++s_depth;
    kuNotify::print(kuNotify::DEBUG, nullptr, "class initialization session %d opened by %s",
                    s_depth, owner ? owner : "(unnamed)");
}

void ksgu::initializeClassSessionEnd() {
    if (s_depth == 0) {
        kuNotify::print(kuNotify::WARN, nullptr,
                        "ksgu::initializeClassSessionEnd without an open session");
        return;
    }
    --s_depth;
}

bool ksgu::inInitializeClassSession() {
    return s_depth > 0;
}
int ksgu::getSessionDepth() {
    return s_depth;
}
