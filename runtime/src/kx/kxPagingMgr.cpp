#include <kx/kxPagingMgr.h>

namespace {
kxPagingMgr* s_pagingMgr = nullptr;
}

kxPagingMgr::kxPagingMgr() : m_palette(new kuPalette) {}

kxPagingMgr::~kxPagingMgr() = default;

kxPagingMgr* kxPagingMgr::instance() {
    if (!s_pagingMgr)
        s_pagingMgr = new kxPagingMgr;
    return s_pagingMgr;
}

void kxPagingMgr::destroy() {
    delete s_pagingMgr;
    s_pagingMgr = nullptr;
}
