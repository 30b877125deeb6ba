#include <ks/ksCullRecord.h>

ksCullRecord::~ksCullRecord() = default;

int ksCullRecord::processCull(ksTraversalCull*) {
    return 1;
}

void ksCullRecord::processDraw(krDrawContext*) {}

void ksCullRecord::recycle() {
    m_state = nullptr;
    if (m_factory)
        m_factory->recycle(this);
    else
        delete this;
}
