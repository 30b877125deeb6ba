#include "kxlightlobechannelbinmgr.h"

#include "kxlightlobeclassregistry.h"

#include <kr/krDrawContext.h>
#include <kr/krRenderElements.h>
#include <kr/krTransform.h>
#include <ks/ksChannelProxy.h>
#include <ks/ksCullRecord.h>
#include <ks/ksServiceMgr.h>
#include <ku/kuNotify.h>

namespace {
kuBase::ClassType* s_classType = nullptr;
kuRef<kxLightLobeChannelBinMgr> s_instance;
} // namespace

kxLightLobeChannelBinMgr::kxLightLobeChannelBinMgr() {
    registerInstance(s_classType);
    ksChannelProxy* proxy = ksThread::resolveServiceMgr()->getChannelProxy();
    kuRef<ksChannelProxy::CullProcessor> cull = new ksChannelProxy::CullProcessor;
    kuRef<BinProcessor> draw = new BinProcessor;
    m_binId = proxy->reserveBin(false, 1, true, "kxLightLobeFogEffect Channel Bin", nullptr,
                                nullptr, cull.get(), draw.get(), nullptr, nullptr, 49, -1, 49, -1);
}

kxLightLobeChannelBinMgr::~kxLightLobeChannelBinMgr() {
    unregisterInstance(s_classType);
}

kxLightLobeChannelBinMgr* kxLightLobeChannelBinMgr::instance() {
    if (!s_instance)
        s_instance = new kxLightLobeChannelBinMgr;
    return s_instance.get();
}

void kxLightLobeChannelBinMgr::destroy() {
    if (s_instance && s_instance->getRef() > 1)
        kuNotify::print(5, s_classType,
                        "kxLightLobeChannelBinMgr::destroy:  Reference counter error, leaking the "
                        "singleton");
    s_instance.reset();
}

int kxLightLobeChannelBinMgr::initializeClass() {
    return kxClassRegistry::createClassType(
        s_classType, "kxLightLobeChannelBinMgr", kuBase::getStaticClassType(), "kuBase",
        []() -> kuBase* { return nullptr; }, true, false);
}

int kxLightLobeChannelBinMgr::shutdownClass() {
    delete s_classType;
    s_classType = nullptr;
    return 1;
}

kuBase::ClassType* kxLightLobeChannelBinMgr::getStaticClassType() {
    return s_classType;
}
const kuBase::ClassType* kxLightLobeChannelBinMgr::getClassType() const {
    return s_classType;
}

bool kxLightLobeChannelBinMgr::isOfClassType(const ClassType* type) const {
    return s_classType && s_classType->isOfType(type);
}

bool kxLightLobeChannelBinMgr::isExactClassType(const ClassType* type) const {
    return s_classType == type;
}

int kxLightLobeChannelBinMgr::BinProcessor::process(krDrawContext* context,
                                                    ksCullRecord* const* first,
                                                    ksCullRecord* const* last, const ksChannel*) {
    context->setElement(krMultiSample::Element(), true);
    drawRecords(context, first, last);
    return 1;
}

void kxLightLobeChannelBinMgr::drawRecords(krDrawContext* context, ksCullRecord* const* first,
                                           ksCullRecord* const* last) {
    krNormalize::Element normalize(false);
    for (ksCullRecord* const* it = first; it != last; ++it) {
        ksCullRecord* record = *it;
        const int flags = record->getFlags();
        if (flags & ksCullRecord::FLAG_MODELVIEW)
            context->setElement(krTransform::ElementModelView(record->getModelView()), false);
        if ((flags & ksCullRecord::FLAG_STATE) && record->getState())
            context->setState(record->getState());
        const bool wantNormalize = (flags & ksCullRecord::FLAG_NORMALIZE) != 0;
        if (wantNormalize != normalize.enable) {
            normalize.enable = wantNormalize;
            context->setElement(normalize, false);
        }
        if (krDrawContext::Debug* debug = context->getDebug())
            debug->drawRecord(context, record);
        record->processDraw(context);
    }
    if (normalize.enable)
        context->setElement(krNormalize::Element(false), true);
}
