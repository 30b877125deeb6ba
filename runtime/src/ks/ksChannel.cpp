#include <ks/ksChannel.h>

#include <ks/ksChannelBin.h>
#include <ks/ksChannelProxy.h>
#include <ks/ksCullRecord.h>
#include <ks/ksNode.h>
#include <ks/ksServiceMgr.h>
#include <ks/ksTraversal.h>
#include <ks/ksWindow.h>
#include <kr/krDrawContext.h>
#include <kr/krFog.h>
#include <kr/krLight.h>
#include <kr/krRenderElements.h>
#include <kr/krState.h>
#include <kr/krTransform.h>
#include <ku/kuNotify.h>
#include <ku/kuMath.h>

#include <algorithm>
#include <bitset>
#include <cmath>

namespace {
kuBase::ClassType* s_classType = nullptr;

std::mutex s_idMutex;
std::bitset<ksChannel::MAX_CHANNELS> s_usedIds;

int takeId() {
    std::lock_guard<std::mutex> guard(s_idMutex);
    for (int id = 0; id < ksChannel::MAX_CHANNELS; ++id)
        if (!s_usedIds.test(static_cast<std::size_t>(id))) {
            s_usedIds.set(static_cast<std::size_t>(id));
            return id;
        }
    return -1;
}

void giveBackId(int id) {
    std::lock_guard<std::mutex> guard(s_idMutex);
    if (id >= 0 && id < ksChannel::MAX_CHANNELS)
        s_usedIds.reset(static_cast<std::size_t>(id));
}
} // namespace

ksChannel::ksChannel()
    : m_id(takeId()),
      m_binMgr(new ksChannelBinMgr(ksThread::resolveServiceMgr()->getChannelProxy())) {
    registerInstance(s_classType);
}

ksChannel::~ksChannel() {
    unregisterInstance(s_classType);
    giveBackId(m_id);
}

void ksChannel::setDrawArea(double left, double right, double bottom, double top) {
    double* area = m_settings.area;
    area[0] = left, area[1] = right, area[2] = bottom, area[3] = top;
}

void ksChannel::getDrawArea(double& left, double& right, double& bottom, double& top) const {
    const double* area = m_settings.area;
    left = area[0], right = area[1], bottom = area[2], top = area[3];
}

krState* ksChannel::getState(int index) {
    if (index < 0 || index >= NUM_STATES)
        return nullptr;
    if (!m_states[index])
        m_states[index] = new krState(true);
    return m_states[index].get();
}

void ksChannel::getViewport(int& x, int& y, int& width, int& height) const {
    getViewport(m_settings, x, y, width, height);
}

void ksChannel::getViewport(const FrameSettings& settings, int& x, int& y, int& width,
                            int& height) const {
    int ww = 0, wh = 0;
    if (m_window)
        m_window->getSize(ww, wh);
    const double* area = settings.area;
    x = static_cast<int>(std::lround(area[0] * ww));
    y = static_cast<int>(std::lround(area[2] * wh));
    width = static_cast<int>(std::lround(area[1] * ww)) - x;
    height = static_cast<int>(std::lround(area[3] * wh)) - y;
}

void ksChannel::setProjection(double fovX, double fovY, double nearClip, double farClip) {
    m_settings.fovX = fovX, m_settings.fovY = fovY;
    m_settings.nearClip = nearClip, m_settings.farClip = farClip;
}

void ksChannel::getProjection(double& fovX, double& fovY, double& nearClip, double& farClip) const {
    fovX = m_settings.fovX, fovY = m_settings.fovY;
    nearClip = m_settings.nearClip, farClip = m_settings.farClip;
}

kuMatrixd ksChannel::getProjectionMatrix() const {
    return m_settings.getProjectionMatrix();
}

kuMatrixd ksChannel::FrameSettings::getProjectionMatrix() const {
    const double n = nearClip, f = farClip;
    const double r = n * std::tan(fovX * 0.5 * kuMath<double>::DEG2RAD);
    const double t = n * std::tan(fovY * 0.5 * kuMath<double>::DEG2RAD);
    kuMatrixd p;
    p(0, 0) = n / r;
    p(1, 1) = n / t;
    p(2, 2) = -(f + n) / (f - n);
    p(2, 3) = -1;
    p(3, 2) = -2 * f * n / (f - n);
    p(3, 3) = 0;
    return p;
}

void ksChannel::setOffset(double x, double y, double z, double heading, double pitch, double roll) {
    kuMatrixd rotate, translate;
    rotate.makeRotate(heading, pitch, roll);
    translate.makeTranslate(x, y, z);
    m_offset = rotate * translate;
}

ksChannel::View& ksChannel::takeView(int frame) {
    View* slot = &m_views[0];
    const View* latest = nullptr;
    for (View& candidate : m_views) {
        if (candidate.frame == frame)
            return candidate;
        if (candidate.frame < slot->frame)
            slot = &candidate;
        if (candidate.frame >= 0 && (!latest || candidate.frame > latest->frame))
            latest = &candidate;
    }
    // A new frame starts from the latest one's view and environment, but culls only a scene
    // given to it.
    if (latest && latest != slot)
        *slot = *latest;
    slot->frame = frame;
    slot->scene = nullptr;
    return *slot;
}

const ksChannel::View* ksChannel::findView(int frame) const {
    // The newest view given at or before the frame; failing that (a frame older than every
    // view kept), the oldest view.
    const View* best = nullptr;
    for (const View& candidate : m_views)
        if (candidate.frame >= 0 && candidate.frame <= frame &&
            (!best || candidate.frame > best->frame))
            best = &candidate;
    if (!best)
        for (const View& candidate : m_views)
            if (candidate.frame >= 0 && (!best || candidate.frame < best->frame))
                best = &candidate;
    return best;
}

void ksChannel::snapshotState(View& view) {
    // A new state each time: the one handed out before may still be drawn with.
    kuRef<krState> state = new krState(true);
    if (const krState* settings = m_states[0].get())
        for (int id = 0; id < KR_NUM_ELEMENTS; ++id)
            if (const krElement* element = settings->getElement(id))
                state->setElement(*element);
    if (view.fogEnable && view.fog)
        state->setElement(krFog::Element(true, const_cast<krFog*>(view.fog.get())));
    view.state = state.get();
}

void ksChannel::setViewMatrix(const kuMatrixd& view) {
    const int frame = ksThread::resolveFrameNumber();
    std::lock_guard<std::mutex> guard(m_viewMutex);
    View& slot = takeView(frame);
    slot.matrix = view;
    slot.settings = m_settings;
    snapshotState(slot);
}

void ksChannel::setFrameEnvironment(const Lighting& lighting, bool fogEnable, const krFog* fog) {
    const int frame = ksThread::resolveFrameNumber();
    kuRef<krFog> copy;
    if (fog) {
        copy = new krFog;
        copy->copyFrom(*fog);
    }
    std::lock_guard<std::mutex> guard(m_viewMutex);
    View& slot = takeView(frame);
    slot.lighting = lighting;
    slot.fogEnable = fogEnable && fog;
    slot.fog = copy.get();
    slot.settings = m_settings;
    snapshotState(slot);
}

void ksChannel::setFrameScene(ksNode* root) {
    const int frame = ksThread::resolveFrameNumber();
    std::lock_guard<std::mutex> guard(m_viewMutex);
    takeView(frame).scene = root;
}

void ksChannel::cull(int pipeline, int frame) {
    ksNode* root = nullptr;
    {
        std::lock_guard<std::mutex> guard(m_viewMutex);
        for (const View& view : m_views)
            if (view.frame == frame)
                root = view.scene;
    }
    if (!root || m_id < 0)
        return;
    m_binMgr->beginFrame(frame);
    ksTraversalCull traversal(this, m_binMgr.get(), m_id, pipeline, frame);
    traversal.traverse(root->getClone(pipeline));
    for (ksChannelBin* bin : m_binMgr->getBins(frame))
        if (ksChannelProxy::BinProcessor* processor = bin->getDefinition().cullProcessor.get())
            processor->process(nullptr, bin->begin(), bin->end(), this);
}

kuMatrixd ksChannel::getViewMatrix() const {
    const int frame = ksThread::resolveFrameNumber();
    std::lock_guard<std::mutex> guard(m_viewMutex);
    const View* view = findView(frame);
    return view ? view->matrix : kuMatrixd();
}

ksChannel::Lighting ksChannel::getFrameLighting() const {
    const int frame = ksThread::resolveFrameNumber();
    std::lock_guard<std::mutex> guard(m_viewMutex);
    const View* view = findView(frame);
    return view ? view->lighting : Lighting();
}

kuRef<const krState> ksChannel::getFrameState() const {
    const int frame = ksThread::resolveFrameNumber();
    std::lock_guard<std::mutex> guard(m_viewMutex);
    const View* view = findView(frame);
    return view ? view->state : kuRef<const krState>();
}

ksChannel::FrameSettings ksChannel::getFrameSettings() const {
    const int frame = ksThread::resolveFrameNumber();
    std::lock_guard<std::mutex> guard(m_viewMutex);
    const View* view = findView(frame);
    return view ? view->settings : m_settings;
}

kuMatrixd ksChannel::makeViewMatrix(const kuMatrixd& eyeWorld) {
    kuMatrixd view = eyeWorld;
    if (!view.invert())
        view.makeIdentity();
    // Scene axes (x right, y forward, z up) to eye axes (x right, y up, z backward).
    kuMatrixd axes;
    axes(1, 1) = 0, axes(1, 2) = -1;
    axes(2, 1) = 1, axes(2, 2) = 0;
    return view * axes;
}

void ksChannel::setClearColor(float r, float g, float b, float a) {
    float* color = m_settings.clearColor;
    color[0] = r, color[1] = g, color[2] = b, color[3] = a;
}

void ksChannel::draw(krDrawContext* context, int frame) {
    const FrameSettings settings = getFrameSettings();
    int x = 0, y = 0, width = 0, height = 0;
    getViewport(settings, x, y, width, height);
    if (!context || width <= 0 || height <= 0 || !m_binMgr->hasFrame(frame))
        return;
    // Nothing leaks from the previous channel.
    context->reset();
    context->setElement(krViewport::Element(x, y, width, height), false);
    context->clear(settings.clearColor, true);
    // Held while drawing: the application thread may hand the next frames their own.
    const kuRef<const krState> state = getFrameState();
    const Lighting lighting = getFrameLighting();
    const kuMatrixd view = getViewMatrix();
    // Light 0 is given in world coordinates; the vertex colour is the material.
    krLight::Element light;
    light.frame = view;
    krLight::Source& main = light.lights[0];
    main.enable = true;
    main.setPosition(lighting.direction[0], lighting.direction[1], lighting.direction[2],
                     lighting.direction[3]);
    main.setDiffuse(lighting.diffuse[0], lighting.diffuse[1], lighting.diffuse[2],
                    lighting.diffuse[3]);
    main.setAmbient(lighting.ambient[0], lighting.ambient[1], lighting.ambient[2],
                    lighting.ambient[3]);
    const float none[4] = {0, 0, 0, 1};
    std::copy(none, none + 4, light.modelAmbient);
    light.colorMaterial = true;
    context->setElement(light, false);

    context->setInheritedState(state.get());
    context->setState(state.get());
    context->setElement(krTransform::ElementProjection(settings.getProjectionMatrix()), true);
    context->setElement(krTransform::ElementModelView(view), true);
    notifySubscribers(EVENT_PRE_BINS, context);

    for (ksChannelBin* bin : m_binMgr->getBins(frame)) {
        const ksChannelProxy::Bin& definition = bin->getDefinition();
        if (definition.drawProcessor) {
            definition.drawProcessor->process(context, bin->begin(), bin->end(), this);
            continue;
        }
        for (ksCullRecord* record : *bin) {
            if (record->getFlags() & ksCullRecord::FLAG_MODELVIEW)
                context->setElement(krTransform::ElementModelView(record->getModelView()), false);
            if ((record->getFlags() & ksCullRecord::FLAG_STATE) && record->getState())
                context->setState(record->getState());
            record->processDraw(context);
        }
    }
    notifySubscribers(EVENT_POST_DRAW, context);
    context->setInheritedState(nullptr);
    if (const unsigned int error = context->takeGLError())
        kuNotify::print(kuNotify::WARN, nullptr, "ksChannel: OpenGL error 0x%x in channel %s",
                        error, getName());
}

int ksChannel::addSubscriber(int event, Subscriber* subscriber) {
    if (event < 0 || event >= NUM_EVENTS || !subscriber)
        return KU_FAILURE;
    std::lock_guard<std::mutex> guard(m_subscriberMutex);
    auto list = std::make_shared<SubscriberList>(m_subscribers[event] ? *m_subscribers[event]
                                                                      : SubscriberList());
    list->push_back(subscriber);
    m_subscribers[event] = std::move(list);
    return KU_SUCCESS;
}

int ksChannel::removeSubscriber(int event, Subscriber* subscriber) {
    if (event < 0 || event >= NUM_EVENTS)
        return KU_FAILURE;
    std::lock_guard<std::mutex> guard(m_subscriberMutex);
    if (!m_subscribers[event])
        return KU_FAILURE;
    auto list = std::make_shared<SubscriberList>(*m_subscribers[event]);
    auto it = std::find(list->begin(), list->end(), subscriber);
    if (it == list->end())
        return KU_FAILURE;
    list->erase(it);
    m_subscribers[event] = std::move(list);
    return KU_SUCCESS;
}

void ksChannel::notifySubscribers(int event, krDrawContext* context) {
    if (event < 0 || event >= NUM_EVENTS)
        return;
    // The list as it is now, without a copy: a subscriber may unsubscribe while told.
    std::shared_ptr<const SubscriberList> subscribers;
    {
        std::lock_guard<std::mutex> guard(m_subscriberMutex);
        subscribers = m_subscribers[event];
    }
    if (subscribers)
        for (Subscriber* subscriber : *subscribers)
            subscriber->notify(event, this, context);
}

const kuBase::ClassType* ksChannel::getClassType() const {
    return s_classType;
}
kuBase::ClassType* ksChannel::getStaticClassType() {
    return s_classType;
}

int ksChannel::getNum() {
    return kuGetInstanceCount(s_classType);
}

ksChannel* ksChannel::get(int index) {
    return kuGetInstance<ksChannel>(s_classType, index);
}

int ksChannel::initializeClass() {
    if (!s_classType)
        s_classType =
            new ClassType("ksChannel", kuBase::getStaticClassType(), nullptr, true, false);
    return KU_SUCCESS;
}

int ksChannel::shutdownClass() {
    delete s_classType;
    s_classType = nullptr;
    return KU_SUCCESS;
}
