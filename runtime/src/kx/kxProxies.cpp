#include <kx/kxProxies.h>

#include <kx/kxCoordConverter.h>
#include <kx/kxStrategy.h>

namespace kxProxies {

// ---- kxObject ----

kxObject::kxObject() = default;
kxObject::~kxObject() = default;

const kuBase::ClassType* kxObject::getRealClassType() const {
    return kuBase::getStaticClassType();
}

const char* const* kxObject::getPropertyNames() const {
    return nullptr;
}

kxProxyQueue::ProxyMessageBase* kxObject::makeWatcherRequest(bool add,
                                                             kxProxyMgr::PropertyCheckerBase* c) {
    return watcherRequest<kuBase>(add, c);
}

kxProxyBase* kxObject::factory() {
    return new kxObject;
}

// ---- kxNode ----

int kxNode::setCullMask(unsigned int mask) {
    return setCached<CallRequest<ksNode, CullMask>>(m_cullMask, mask, "setCullMask");
}

int kxNode::setRenderMask(unsigned int mask) {
    return setCached<CallRequest<ksNode, RenderMask>>(m_renderMask, mask, "setRenderMask");
}

int kxNode::setIsectMask(unsigned int mask) {
    return setCached<CallRequest<ksNode, IsectMask>>(m_isectMask, mask, "setIsectMask");
}

void kxNode::ChildRequest::execute() {
    auto* node = static_cast<ksNode*>(m_node->get());
    auto* child = static_cast<ksNode*>(m_child->get());
    if (!node || !child)
        return;
    if (m_add)
        node->addChild(child);
    else
        node->removeChild(child);
}

int kxNode::addChild(kxProxyBase* child) {
    kuRef<kxProxyMgr::ObjectHandle> childHandle = handleOf(child);
    std::lock_guard<std::mutex> guard(m_lock);
    kuRef<kxProxyMgr::ObjectHandle> handle = getHandleLocked();
    if (!handle)
        return failNoObject("addChild");
    if (!childHandle || !childHandle->get())
        return KU_FAILURE;
    for (const Child& listed : m_children)
        if (listed.handle == childHandle.get())
            return KU_FAILURE;
    m_children.push_back({child, childHandle});
    return kxProxyMgr::addProxyRequest(new ChildRequest(handle.get(), childHandle.get(), true));
}

int kxNode::removeChild(kxProxyBase* child) {
    kuRef<kxProxyMgr::ObjectHandle> childHandle = handleOf(child);
    std::lock_guard<std::mutex> guard(m_lock);
    kuRef<kxProxyMgr::ObjectHandle> handle = getHandleLocked();
    if (!handle)
        return failNoObject("removeChild");
    for (auto it = m_children.begin(); it != m_children.end(); ++it)
        if (childHandle && it->handle == childHandle.get()) {
            m_children.erase(it);
            return kxProxyMgr::addProxyRequest(
                new ChildRequest(handle.get(), childHandle.get(), false));
        }
    return KU_FAILURE;
}

std::vector<kuRef<kxProxyBase>> kxNode::getChildren() const {
    std::lock_guard<std::mutex> guard(m_lock);
    std::vector<kuRef<kxProxyBase>> children;
    for (const Child& child : m_children)
        children.push_back(child.proxy);
    return children;
}

int kxNode::size_child() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return static_cast<int>(m_children.size());
}

void kxNode::syncNodeProperty(ksNode* node, NodeProperty property) {
    switch (property) {
    case NODE_CULL_MASK:
        return store(m_cullMask, node->getCullMask());
    case NODE_RENDER_MASK:
        return store(m_renderMask, node->getRenderMask());
    case NODE_ISECT_MASK:
        return store(m_isectMask, node->getIsectMask());
    }
}

kxProxyMgr::PropertyCheckerBase* kxNode::makeNodeChecker(NodeProperty property,
                                                         kxProxyMgr::ObjectHandle* handle,
                                                         kxProxyMgr::PropertyWatcher* watcher) {
    switch (property) {
    case NODE_CULL_MASK:
        return new PropertyChecker<ksNode, CullMask>(handle, watcher, m_cullMask.value);
    case NODE_RENDER_MASK:
        return new PropertyChecker<ksNode, RenderMask>(handle, watcher, m_renderMask.value);
    case NODE_ISECT_MASK:
        return new PropertyChecker<ksNode, IsectMask>(handle, watcher, m_isectMask.value);
    }
    return nullptr;
}

void kxNode::releaseReferences() {
    m_children.clear();
}

// ---- kxTransform ----

void kxTransform::Strategy::apply(::kxTransform* o, const Value& v) {
    kxStrategy* strategy;
    if (resolveReference(v, strategy))
        o->setStrategy(strategy);
}

const kuBase* kxTransform::Strategy::read(const ::kxTransform* o) {
    return o->getStrategy();
}

void kxTransform::CoordConverter::apply(::kxTransform* o, const Value& v) {
    kxCoordConverter* converter;
    if (resolveReference(v, converter))
        o->setCoordConverter(converter);
}

const kuBase* kxTransform::CoordConverter::read(const ::kxTransform* o) {
    return o->getCoordConverter();
}

int kxTransform::setVec(Cached<kuVec3d>& cache, TransformProperty property, const kuVec3d& value,
                        const char* setter) {
    switch (property) {
    case TRANSFORM_ORIENTATION:
        return setCached<CallRequest<::kxTransform, Orientation>>(cache, value, setter);
    case TRANSFORM_ROTATE:
        return setCached<CallRequest<::kxTransform, Rotate>>(cache, value, setter);
    case TRANSFORM_TRANSLATE:
        return setCached<CallRequest<::kxTransform, Translate>>(cache, value, setter);
    case TRANSFORM_SCALE:
        return setCached<CallRequest<::kxTransform, Scale>>(cache, value, setter);
    default:
        return setCached<CallRequest<::kxTransform, Position>>(cache, value, setter);
    }
}

void kxTransform::getVec(const Cached<kuVec3d>& cache, double& x, double& y, double& z) const {
    const kuVec3d v = getCached(cache);
    x = v.x;
    y = v.y;
    z = v.z;
}

int kxTransform::setPosition(double x, double y, double z) {
    return setVec(m_position, TRANSFORM_POSITION, {x, y, z}, "setPosition");
}
void kxTransform::getPosition(double& x, double& y, double& z) const {
    getVec(m_position, x, y, z);
}
int kxTransform::setOrientation(double h, double p, double r) {
    return setVec(m_orientation, TRANSFORM_ORIENTATION, {h, p, r}, "setOrientation");
}
void kxTransform::getOrientation(double& h, double& p, double& r) const {
    getVec(m_orientation, h, p, r);
}
int kxTransform::setRotate(double h, double p, double r) {
    return setVec(m_rotate, TRANSFORM_ROTATE, {h, p, r}, "setRotate");
}
void kxTransform::getRotate(double& h, double& p, double& r) const {
    getVec(m_rotate, h, p, r);
}
int kxTransform::setTranslate(double x, double y, double z) {
    return setVec(m_translate, TRANSFORM_TRANSLATE, {x, y, z}, "setTranslate");
}
void kxTransform::getTranslate(double& x, double& y, double& z) const {
    getVec(m_translate, x, y, z);
}
int kxTransform::setScale(double x, double y, double z) {
    return setVec(m_scale, TRANSFORM_SCALE, {x, y, z}, "setScale");
}
void kxTransform::getScale(double& x, double& y, double& z) const {
    getVec(m_scale, x, y, z);
}

int kxTransform::setStaticEnable(bool enable) {
    return setCached<CallRequest<::kxTransform, StaticEnable>>(m_staticEnable, enable,
                                                               "setStaticEnable");
}

int kxTransform::setStrategyEnable(bool enable) {
    return setCached<CallRequest<::kxTransform, StrategyEnable>>(m_strategyEnable, enable,
                                                                 "setStrategyEnable");
}

int kxTransform::setStrategy(kxProxyBase* strategy) {
    kuRef<kxProxyMgr::ObjectHandle> handle = handleOf(strategy);
    if (strategy && !handle)
        return KU_FAILURE;
    return setCached<CallRequest<::kxTransform, Strategy>>(m_strategy, kuRef<kxProxyBase>(strategy),
                                                           "setStrategy", handle);
}

int kxTransform::setCoordConverter(kxProxyBase* converter) {
    kuRef<kxProxyMgr::ObjectHandle> handle = handleOf(converter);
    if (converter && !handle)
        return KU_FAILURE;
    return setCached<CallRequest<::kxTransform, CoordConverter>>(
        m_coordConverter, kuRef<kxProxyBase>(converter), "setCoordConverter", handle);
}

void kxTransform::syncTransformProperty(::kxTransform* t, TransformProperty property) {
    switch (property) {
    case TRANSFORM_POSITION:
        return store(m_position, t->getPosition());
    case TRANSFORM_ORIENTATION:
        return store(m_orientation, t->getOrientation());
    case TRANSFORM_ROTATE:
        return store(m_rotate, t->getOrientation());
    case TRANSFORM_TRANSLATE:
        return store(m_translate, t->getPosition());
    case TRANSFORM_SCALE:
        return store(m_scale, t->getScale());
    case TRANSFORM_STATIC_ENABLE:
        return store(m_staticEnable, t->getStaticEnable());
    case TRANSFORM_STRATEGY_ENABLE:
        return store(m_strategyEnable, t->getStrategyEnable());
    case TRANSFORM_STRATEGY:
        return storeReference(m_strategy, t->getStrategy());
    case TRANSFORM_COORD_CONVERTER:
        return storeReference(m_coordConverter, t->getCoordConverter());
    }
}

namespace {
const kuBase* objectOf(const kuRef<kxProxyBase>& proxy) {
    return proxy ? proxy->getObject() : nullptr;
}
} // namespace

kxProxyMgr::PropertyCheckerBase* kxTransform::makeTransformChecker(TransformProperty property,
                                                                   kxProxyMgr::ObjectHandle* h,
                                                                   kxProxyMgr::PropertyWatcher* w) {
    typedef ::kxTransform T;
    switch (property) {
    case TRANSFORM_POSITION:
        return new PropertyChecker<T, Position>(h, w, m_position.value);
    case TRANSFORM_ORIENTATION:
        return new PropertyChecker<T, Orientation>(h, w, m_orientation.value);
    case TRANSFORM_ROTATE:
        return new PropertyChecker<T, Rotate>(h, w, m_rotate.value);
    case TRANSFORM_TRANSLATE:
        return new PropertyChecker<T, Translate>(h, w, m_translate.value);
    case TRANSFORM_SCALE:
        return new PropertyChecker<T, Scale>(h, w, m_scale.value);
    case TRANSFORM_STATIC_ENABLE:
        return new PropertyChecker<T, StaticEnable>(h, w, m_staticEnable.value);
    case TRANSFORM_STRATEGY_ENABLE:
        return new PropertyChecker<T, StrategyEnable>(h, w, m_strategyEnable.value);
    case TRANSFORM_STRATEGY:
        return new PropertyChecker<T, Strategy>(h, w, objectOf(m_strategy.value));
    case TRANSFORM_COORD_CONVERTER:
        return new PropertyChecker<T, CoordConverter>(h, w, objectOf(m_coordConverter.value));
    }
    return nullptr;
}

void kxTransform::releaseReferences() {
    kxNode::releaseReferences();
    m_strategy.value.reset();
    m_coordConverter.value.reset();
}

} // namespace kxProxies
