#include <kx/kxProxyMgr.h>

#include <atomic>

namespace {
std::atomic<bool> s_valid{false};
}

int kxProxyMgr::start() {
    s_valid = true;
    return KU_SUCCESS;
}

void kxProxyMgr::stop() {
    s_valid = false;
}
bool kxProxyMgr::isValid() {
    return s_valid;
}
