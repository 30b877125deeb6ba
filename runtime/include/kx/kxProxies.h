#ifndef KX_PROXIES_H
#define KX_PROXIES_H

#include <ks/ksNode.h>
#include <ku/kuVec.h>
#include <kx/kxProxyBase.h>
#include <kx/kxTransform.h>

// The runtime's proxies: the generic request and checker of one property, a plain proxy that
// only stands for an object (what obtainProxy gives for a class without a proxy of its own),
// and the node and transform bases that module proxies of node classes build on.
//
// A property is described by a struct P for its real class Real:
//   typedef V Value;                        what the request carries
//   static void apply(Real*, const Value&); the real setter, on the update thread
//   static S read(const Real*);             the value a checker compares (S: any comparable)
namespace kxProxies {

// Calls one real setter with the stored value, when the object still exists.
// Threads: made on any thread, executed on the update thread.
template <class Real, class P>
class CallRequest : public kxProxyQueue::ProxyMessageBase {
public:
    typedef typename P::Value Value;
    CallRequest(kxProxyMgr::ObjectHandle* handle, const Value& value)
        : m_handle(handle), m_value(value) {}
    void execute() override {
        if (kuBase* object = m_handle->get())
            P::apply(static_cast<Real*>(object), m_value);
    }

private:
    kuRef<kxProxyMgr::ObjectHandle> m_handle;
    Value m_value;
};

// Polls one real getter every frame.
// Threads: made on any thread; check on the update thread.
template <class Real, class P>
class PropertyChecker : public kxProxyMgr::PropertyValueChecker<decltype(P::read(
                            static_cast<const Real*>(nullptr)))> {
public:
    typedef decltype(P::read(static_cast<const Real*>(nullptr))) Seen;
    PropertyChecker(kxProxyMgr::ObjectHandle* handle, kxProxyMgr::PropertyWatcher* watcher,
                    const Seen& seed)
        : kxProxyMgr::PropertyValueChecker<Seen>(handle, watcher, seed) {}
    void check() override {
        if (kuBase* object = this->object())
            this->seen(P::read(static_cast<const Real*>(object)));
    }
};

// A reference property's request value: the handle of the referenced object, or none.
// apply helpers skip the call when the referenced object is gone.
template <class T>
inline bool resolveReference(const kuRef<kxProxyMgr::ObjectHandle>& handle, T*& object) {
    object = handle ? static_cast<T*>(handle->get()) : nullptr;
    return !handle || object;
}

// Stands for any object; no properties. Made by obtainProxy for classes without a proxy.
// Threads: any.
class KX_API kxObject : public kxProxyBase {
public:
    kxObject();
    const char* getProxyClassName() const override { return "kxProxies::kxObject"; }
    const kuBase::ClassType* getRealClassType() const override;
    const char* getRealClassName() const override { return "kuBase"; }
    int getNumProperties() const override { return 0; }
    static kxProxyBase* factory();

protected:
    ~kxObject() override;
    const char* const* getPropertyNames() const override;
    kxProxyQueue::ProxyMessageBase*
    makeWatcherRequest(bool add, kxProxyMgr::PropertyCheckerBase* checker) override;
};

// The node part of a node proxy: masks and children.
// Threads: any.
class KX_API kxNode : public kxProxyBase {
public:
    int setCullMask(unsigned int mask);
    unsigned int getCullMask() const { return getCached(m_cullMask); }
    int setRenderMask(unsigned int mask);
    unsigned int getRenderMask() const { return getCached(m_renderMask); }
    // A class whose real object has its own isect mask overrides it.
    virtual int setIsectMask(unsigned int mask);
    unsigned int getIsectMask() const { return getCached(m_isectMask); }

    // -32767 without an object, for a child without one, or for a child whose object is
    // listed already (removeChild: not listed); otherwise the child proxy is held and listed,
    // the real addChild queued, and 1.
    int addChild(kxProxyBase* child);
    int removeChild(kxProxyBase* child);
    // A copy of the list: children may come and go meanwhile.
    std::vector<kuRef<kxProxyBase>> getChildren() const;
    int size_child() const;
    bool empty_child() const { return size_child() == 0; }

    struct CullMask {
        typedef unsigned int Value;
        static void apply(ksNode* o, const Value& v) { o->setCullMask(v); }
        static unsigned int read(const ksNode* o) { return o->getCullMask(); }
    };
    struct RenderMask {
        typedef unsigned int Value;
        static void apply(ksNode* o, const Value& v) { o->setRenderMask(v); }
        static unsigned int read(const ksNode* o) { return o->getRenderMask(); }
    };
    struct IsectMask {
        typedef unsigned int Value;
        static void apply(ksNode* o, const Value& v) { o->setIsectMask(v); }
        static unsigned int read(const ksNode* o) { return o->getIsectMask(); }
    };
    // Adds or removes the child node given by its handle, when both still exist.
    class KX_API ChildRequest : public kxProxyQueue::ProxyMessageBase {
    public:
        ChildRequest(kxProxyMgr::ObjectHandle* node, kxProxyMgr::ObjectHandle* child, bool add)
            : m_node(node), m_child(child), m_add(add) {}
        void execute() override;

    private:
        kuRef<kxProxyMgr::ObjectHandle> m_node;
        kuRef<kxProxyMgr::ObjectHandle> m_child;
        bool m_add;
    };

    // The node properties, which derived classes number in their own tables.
    enum NodeProperty { NODE_CULL_MASK, NODE_RENDER_MASK, NODE_ISECT_MASK };

protected:
    // Lock held, update thread.
    void syncNodeProperty(ksNode* node, NodeProperty property);
    kxProxyMgr::PropertyCheckerBase* makeNodeChecker(NodeProperty property,
                                                     kxProxyMgr::ObjectHandle* handle,
                                                     kxProxyMgr::PropertyWatcher* watcher);
    void releaseReferences() override;

    Cached<unsigned int> m_cullMask;
    Cached<unsigned int> m_renderMask;
    Cached<unsigned int> m_isectMask;
    // The child's handle is kept with it, so that comparing children takes no other proxy's
    // lock (two proxies adding each other would otherwise deadlock).
    struct Child {
        kuRef<kxProxyBase> proxy;
        kuRef<kxProxyMgr::ObjectHandle> handle;
    };
    std::vector<Child> m_children;
};

// The transform part of a positionable node proxy.
// Threads: any.
class KX_API kxTransform : public kxNode {
public:
    int setPosition(double x, double y, double z);
    void getPosition(double& x, double& y, double& z) const;
    int setOrientation(double h, double p, double r);
    void getOrientation(double& h, double& p, double& r) const;
    // Absolute: the real setRotate / setTranslate with relative false.
    int setRotate(double h, double p, double r);
    void getRotate(double& h, double& p, double& r) const;
    int setTranslate(double x, double y, double z);
    void getTranslate(double& x, double& y, double& z) const;
    int setScale(double x, double y, double z);
    void getScale(double& x, double& y, double& z) const;
    int setStaticEnable(bool enable);
    bool getStaticEnable() const { return getCached(m_staticEnable); }
    int setStrategyEnable(bool enable);
    bool getStrategyEnable() const { return getCached(m_strategyEnable); }
    // A proxy of the strategy or converter (null: none). A proxy without an object is
    // refused (-32767).
    int setStrategy(kxProxyBase* strategy);
    kuRef<kxProxyBase> getStrategy() const { return getCached(m_strategy); }
    int setCoordConverter(kxProxyBase* converter);
    kuRef<kxProxyBase> getCoordConverter() const { return getCached(m_coordConverter); }

    struct Position {
        typedef kuVec3d Value;
        static void apply(::kxTransform* o, const Value& v) { o->setPosition(v.x, v.y, v.z); }
        static kuVec3d read(const ::kxTransform* o) { return o->getPosition(); }
    };
    struct Orientation {
        typedef kuVec3d Value;
        static void apply(::kxTransform* o, const Value& v) { o->setOrientation(v.x, v.y, v.z); }
        static kuVec3d read(const ::kxTransform* o) { return o->getOrientation(); }
    };
    struct Rotate {
        typedef kuVec3d Value;
        static void apply(::kxTransform* o, const Value& v) { o->setRotate(v.x, v.y, v.z, false); }
        static kuVec3d read(const ::kxTransform* o) { return o->getOrientation(); }
    };
    struct Translate {
        typedef kuVec3d Value;
        static void apply(::kxTransform* o, const Value& v) {
            o->setTranslate(v.x, v.y, v.z, false);
        }
        static kuVec3d read(const ::kxTransform* o) { return o->getPosition(); }
    };
    struct Scale {
        typedef kuVec3d Value;
        static void apply(::kxTransform* o, const Value& v) { o->setScale(v.x, v.y, v.z); }
        static kuVec3d read(const ::kxTransform* o) { return o->getScale(); }
    };
    struct StaticEnable {
        typedef bool Value;
        static void apply(::kxTransform* o, const Value& v) { o->setStaticEnable(v); }
        static bool read(const ::kxTransform* o) { return o->getStaticEnable(); }
    };
    struct StrategyEnable {
        typedef bool Value;
        static void apply(::kxTransform* o, const Value& v) { o->setStrategyEnable(v); }
        static bool read(const ::kxTransform* o) { return o->getStrategyEnable(); }
    };
    struct Strategy {
        typedef kuRef<kxProxyMgr::ObjectHandle> Value;
        static void apply(::kxTransform* o, const Value& v);
        static const kuBase* read(const ::kxTransform* o);
    };
    struct CoordConverter {
        typedef kuRef<kxProxyMgr::ObjectHandle> Value;
        static void apply(::kxTransform* o, const Value& v);
        static const kuBase* read(const ::kxTransform* o);
    };

    // The transform properties, which derived classes number in their own tables.
    enum TransformProperty {
        TRANSFORM_POSITION,
        TRANSFORM_ORIENTATION,
        TRANSFORM_ROTATE,
        TRANSFORM_TRANSLATE,
        TRANSFORM_SCALE,
        TRANSFORM_STATIC_ENABLE,
        TRANSFORM_STRATEGY_ENABLE,
        TRANSFORM_STRATEGY,
        TRANSFORM_COORD_CONVERTER
    };

protected:
    // Lock held, update thread.
    void syncTransformProperty(::kxTransform* transform, TransformProperty property);
    kxProxyMgr::PropertyCheckerBase* makeTransformChecker(TransformProperty property,
                                                          kxProxyMgr::ObjectHandle* handle,
                                                          kxProxyMgr::PropertyWatcher* watcher);
    void releaseReferences() override;

    Cached<kuVec3d> m_position;
    Cached<kuVec3d> m_orientation;
    Cached<kuVec3d> m_rotate;
    Cached<kuVec3d> m_translate;
    Cached<kuVec3d> m_scale;
    Cached<bool> m_staticEnable;
    Cached<bool> m_strategyEnable;
    Cached<kuRef<kxProxyBase>> m_strategy;
    Cached<kuRef<kxProxyBase>> m_coordConverter;

private:
    int setVec(Cached<kuVec3d>& cache, TransformProperty property, const kuVec3d& value,
               const char* setter);
    void getVec(const Cached<kuVec3d>& cache, double& x, double& y, double& z) const;
};

} // namespace kxProxies

#endif
