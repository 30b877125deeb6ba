#include "kxlightmap.h"

#include "kxlightlobechannelbinmgr.h"
#include "kxlightlobeprojected.h"

#include <kr/krDrawContext.h>
#include <kr/krLight.h>
#include <kr/krRenderElements.h>
#include <kr/krState.h>
#include <kr/krTransform.h>
#include <kr/krWindow.h>
#include <ks/ksChannel.h>
#include <ks/ksChannelBin.h>
#include <ks/ksChannelProxy.h>
#include <ks/ksServiceMgr.h>
#include <ks/ksWindow.h>
#include <ku/kuMath.h>
#include <ku/kuNotify.h>
#include <ku/kuTime.h>
#include <kx/kxEnv.h>
#include <kx/kxIsectorService.h>
#include <kx/kxIsectorServiceAsynchronous.h>
#include <kx/kxObserver.h>
#include <kx/kxScene.h>

#include <GL/gl.h>

#include <cassert>
#include <cfloat>
#include <cmath>
#include <mutex>

namespace {
kuBase::ClassType* s_classType = nullptr;
kuRef<kxLightMap> s_instance;
int s_mapCreateBinId = -1;
int s_mapRenderBinId = -1;

// Per channel: whether its map was made in the frame being drawn (draw threads only).
std::mutex s_createdMutex;
std::map<const ksChannel*, bool> s_mapCreated;

void markCreated(const ksChannel* channel, bool created) {
    std::lock_guard<std::mutex> guard(s_createdMutex);
    s_mapCreated[channel] = created;
}

// Draws the lobes' records into the channel's map before the scene.
class MapCreateDrawProcessor : public ksChannelProxy::DrawProcessor {
public:
    int process(krDrawContext* context, ksCullRecord* const* first, ksCullRecord* const* last,
                const ksChannel* channel) override {
        const double t0 = kuTime::get();
        kxLightMap* map = kxLightMap::instance();
        if (map->getEnable() && !kxLightLobe::empty() && kxLightLobeProjected::empty()) {
            const double t1 = kuTime::get();
            // The pass draws into a corner of the frame with state of its own, all given back
            // at the end; the lights and the fog stay out of it, as postRenderLobes sets the
            // light and the fog the scene is drawn with.
            krDrawContext::ScopedPush::Ids ids =
                krDrawContext::ScopedPush::allBut(KR_ELEMENT_LIGHT);
            ids.bits &= ~(1u << KR_ELEMENT_FOG);
            krDrawContext::ScopedPush pass(*context, ids, false, true, true);
            const float factor = map->preRenderLobes(channel, context);
            if (factor > 0) {
                for (ksCullRecord* const* it = first; it != last; ++it) {
                    auto* record = static_cast<kxLightLobe::CullRecord*>(*it);
                    record->intensityScale = factor;
                    map->transformCullRecord(channel, record);
                    record->processDraw(context);
                }
                map->postRenderLobes(channel, context);
                markCreated(channel, true);
            } else {
                kuNotify::print(2, s_classType, "lightMap creation failed!\n");
                markCreated(channel, false);
            }
            kuNotify::print(2, s_classType, "Took %f sec for lightMap creation\n",
                            kuTime::get() - t1);
        } else {
            markCreated(channel, false);
        }
        if (m_statistics && m_statistics->get(0)) {
            m_statistics->lock();
            m_statistics->get(0)->record(kuTime::get() - t0);
            m_statistics->unlock();
        }
        return 1;
    }
    int registerStatistics(kuBase* owner) {
        m_statistics.reset(new kuStat::Containers(1));
        return kuStat::push_back(owner, "STATISTIC_BUILD_MAP_TIME", m_statistics.get(), 0);
    }

private:
    std::unique_ptr<kuStat::Containers> m_statistics;
};

// Lays the map over the channel after the scene, then draws the records that want to be drawn
// over it.
class MapRenderDrawProcessor : public ksChannelProxy::DrawProcessor {
public:
    int process(krDrawContext* context, ksCullRecord* const* first, ksCullRecord* const* last,
                const ksChannel* channel) override {
        if (!kxLightMap::isMapCreated(channel))
            return 1;
        const double t0 = kuTime::get();
        kxLightMap::instance()->renderMap(channel, context);
        kuNotify::print(2, s_classType, "Took %f sec for lightMap render\n", kuTime::get() - t0);
        kxLightLobeChannelBinMgr::drawRecords(context, first, last);
        return 1;
    }
};

// The cull processor of the scene's bin 0: marks which records need their matrix and state
// set (only changes), and sends records flagged for it to the map render bin as well.
class myLightMapCullProcessor : public ksChannelProxy::CullProcessor {
public:
    enum { FLAG_AFTER_MAP = 0x40 };
    int process(krDrawContext*, ksCullRecord* const* first, ksCullRecord* const* last,
                const ksChannel* channel) override {
        ksChannelBin* renderBin = channel
                                      ? const_cast<ksChannel*>(channel)->getChannelBinMgr()->getBin(
                                            kxLightMap::getMapRenderBinID())
                                      : nullptr;
        const krState* previousState = nullptr;
        kuMatrixd previousMatrix;
        for (int i = 0; i < 16; ++i)
            previousMatrix.ptr()[i] = 0.0;
        bool firstRecord = true;
        for (ksCullRecord* const* it = first; it != last; ++it) {
            ksCullRecord* record = *it;
            record->processCull(nullptr);
            int flags = record->getFlags();
            if (firstRecord || record->getState() != previousState)
                flags |= ksCullRecord::FLAG_STATE;
            else
                flags &= ~ksCullRecord::FLAG_STATE;
            if (record->getModelView() == previousMatrix) {
                flags &= ~ksCullRecord::FLAG_MODELVIEW;
            } else {
                previousMatrix = record->getModelView();
                flags |= ksCullRecord::FLAG_MODELVIEW;
            }
            record->setFlags(flags);
            previousState = record->getState();
            firstRecord = false;
            if ((flags & FLAG_AFTER_MAP) && renderBin)
                renderBin->insert(record, nullptr);
        }
        return 1;
    }
};

kuRef<MapCreateDrawProcessor> s_mapCreateProcessor;

constexpr float INTENSITY_CHANGE = 0.0005f;
// How many lobes ahead of its update a lobe, and its probes, are asked for: far enough for
// memory to answer, near enough that the lines are still in the cache when wanted.
constexpr int PREFETCH_LOBES = 8;
constexpr int PREFETCH_ISECTORS = 4;

// Finite and small enough to reach single precision (drawing takes floats).
bool fitsFloat(const kuVec3d& v) {
    return std::fabs(v.x) <= FLT_MAX && std::fabs(v.y) <= FLT_MAX && std::fabs(v.z) <= FLT_MAX;
}
} // namespace

// ---- class ----

kxLightMap::kxLightMap()
    : m_updateSubscriber(new UpdateSubscriber(this)), m_blend(new krTexture::Blend),
      m_texGen(new krTextureCoordGen) {
    registerInstance(s_classType);
}

kxLightMap::~kxLightMap() {
    if (m_configured && kxKernel::instance())
        kxKernel::instance()->removeSubscriber(kxKernel::EVENT_FRAME_UPDATE,
                                               m_updateSubscriber.get(), false);
    m_statistics.reset();
    unregisterInstance(s_classType);
}

kxLightMap* kxLightMap::instance() {
    if (!s_instance)
        s_instance = new kxLightMap;
    return s_instance.get();
}

kxLightMap* kxLightMap::create() {
    return instance();
}

int kxLightMap::initializeClass() {
    const int status = kxClassRegistry::createClassType(
        s_classType, "kxLightMap", kuBase::getStaticClassType(), "kuBase",
        []() -> kuBase* { return create(); }, true, false);
    if (status != 1)
        return status;
    instance();
    ksChannelProxy* proxy = ksThread::resolveServiceMgr()->getChannelProxy();
    if (s_mapCreateBinId < 0 || !proxy->getBin(s_mapCreateBinId, nullptr)) {
        s_mapCreateProcessor = new MapCreateDrawProcessor;
        kuRef<ksChannelProxy::CullProcessor> cull = new ksChannelProxy::CullProcessor;
        s_mapCreateBinId = proxy->reserveBin(
            false, -1600, true, "kxLightMap Create Channel Bin", nullptr, nullptr, cull.get(),
            s_mapCreateProcessor.get(), nullptr, nullptr, 49, -1, 49, -1);
    }
    if (s_mapRenderBinId < 0 || !proxy->getBin(s_mapRenderBinId, nullptr)) {
        kuRef<ksChannelProxy::CullProcessor> cull = new ksChannelProxy::CullProcessor;
        kuRef<MapRenderDrawProcessor> draw = new MapRenderDrawProcessor;
        s_mapRenderBinId =
            proxy->reserveBin(false, 100, false, "kxLightMap Render Channel Bin", nullptr, nullptr,
                              cull.get(), draw.get(), nullptr, nullptr, 49, -1, 49, -1);
    }
    kuRef<myLightMapCullProcessor> sceneCull = new myLightMapCullProcessor;
    proxy->setCullBinProcessor(0, sceneCull.get());
    return 1;
}

int kxLightMap::shutdownClass() {
    s_instance.reset();
    if (s_classType) {
        s_mapCreateProcessor.reset();
        {
            std::lock_guard<std::mutex> guard(s_createdMutex);
            s_mapCreated.clear();
        }
        delete s_classType;
        s_classType = nullptr;
    }
    return 1;
}

int kxLightMap::getMapCreateBinID() {
    return s_mapCreateBinId;
}
int kxLightMap::getMapRenderBinID() {
    return s_mapRenderBinId;
}

int kxLightMap::registerStatisticsDefinitions() {
    kuBase::ClassType* ownerCT = kuBase::ClassType::find("kxLightLobeControl");
    assert(ownerCT && "ownerCT");
    if (kuStat::define(ownerCT, "STATISTIC_UPDATE_TIME", kuStat::TYPE_TIME) != 1)
        return -32767;
    if (kuStat::define(ownerCT, "STATISTIC_BUILD_MAP_TIME", kuStat::TYPE_TIME) != 1)
        return -32767;
    return 1;
}

int kxLightMap::registerStatistics(kuBase* owner) {
    assert(owner && "owner");
    if (!owner)
        return -32767;
    m_statistics.reset(new kuStat::Containers(1));
    if (kuStat::push_back(owner, "STATISTIC_UPDATE_TIME", m_statistics.get(), 0) != 1)
        return -32767;
    if (s_mapCreateProcessor)
        s_mapCreateProcessor->registerStatistics(owner);
    return 1;
}

// ---- settings ----

void kxLightMap::setIsectorService(kxIsectorService* service) {
    m_isectorService = service;
}
kxIsectorService* kxLightMap::getIsectorService() const {
    return m_isectorService.get();
}

void kxLightMap::setEyepointFadeRange(float range) {
    m_eyepointFadeRange = range;
    // exp(-coefficient * range) is 1/16 at the range.
    if (range > kuMath<float>::ZERO_THRESHOLD)
        m_eyepointFadeCoefficient = kuMath<float>::LN2 * 0.5f * 8.0f / range;
    else
        m_eyepointFadeCoefficient = kuMath<float>::BIG_NUMBER;
    for (auto it = kxLightLobeProjected::begin(); it != kxLightLobeProjected::end(); ++it)
        (*it)->setFadeRange(range);
}

// ---- channels ----

void kxLightMap::addChannel(const ksChannel* channel) {
    if (!channel || getChannelData(channel))
        return;
    for (auto it = kxLightLobeProjected::begin(); it != kxLightLobeProjected::end(); ++it)
        (*it)->addChannel(channel);
    auto record = std::make_shared<_channel_data>();
    record->channel = channel;
    record->currentSize = 0;
    record->mapTexture = new krTexture;
    record->mapTexture->setWrap(3, 3, 0);
    record->mapTexture->setMinFilter(2, 0);
    record->mapTexture->setMagFilter(2);
    record->mapTexture->setFormat(5, 2);
    record->textureState = new krTexture::State;
    record->textureState->setTexture(record->mapTexture.get());
    record->textureElement.appendState(record->textureState.get());
    for (int i = 0; i < ksWindow::getNum() && !record->window; ++i)
        if (ksWindow::get(i)->hasChannel(channel))
            record->window = ksWindow::get(i);
    if (!record->window) {
        kuNotify::print(5, s_classType, "Could not find window for channel %s!",
                        channel->getName());
    } else {
        record->fog = new krFog;
        record->drawnFog = new krFog;
        record->fogElement.setFog(record->fog.get());
    }
    record->lobeFog = new krFog;
    record->compensatedFog = new krFog;
    std::lock_guard<std::mutex> guard(m_channelsMutex);
    m_channels[channel] = std::move(record);
}

void kxLightMap::removeChannel(const ksChannel* channel) {
    std::shared_ptr<_channel_data> record;
    {
        std::lock_guard<std::mutex> guard(m_channelsMutex);
        auto it = m_channels.find(channel);
        if (it == m_channels.end())
            return;
        record = std::move(it->second);
        m_channels.erase(it);
    }
    for (auto it = kxLightLobeProjected::begin(); it != kxLightLobeProjected::end(); ++it)
        (*it)->removeChannel(channel);
    // Released here, or by the draw thread that still draws with it.
}

kxLightMap::_channel_data* kxLightMap::getChannelData(const ksChannel* channel) {
    return findChannelData(channel).get();
}

std::shared_ptr<kxLightMap::_channel_data>
kxLightMap::findChannelData(const ksChannel* channel) const {
    std::lock_guard<std::mutex> guard(m_channelsMutex);
    auto it = m_channels.find(channel);
    return it == m_channels.end() ? nullptr : it->second;
}

int kxLightMap::getNumChannels() const {
    std::lock_guard<std::mutex> guard(m_channelsMutex);
    return static_cast<int>(m_channels.size());
}

krTexture* kxLightMap::getMapTexture(const ksChannel* channel) {
    _channel_data* record = getChannelData(channel);
    if (!record) {
        kuNotify::print(5, s_classType, "No channel data for channel %s",
                        channel ? channel->getName() : "(null)");
        return nullptr;
    }
    return record->mapTexture.get();
}

bool kxLightMap::getLightIntensity(const ksChannel* channel, int frame, float* intensity) {
    const std::shared_ptr<_channel_data> record = findChannelData(channel);
    return record && record->lightIntensity.read(frame, intensity);
}

bool kxLightMap::getObserverPosition(const ksChannel* channel, int frame, kuVec3d* position) {
    const std::shared_ptr<_channel_data> record = findChannelData(channel);
    return record && record->observerPosition.read(frame, position);
}

// ---- phases ----

void kxLightMap::preConfigure() {
    if (!m_isectorService && !kxLightLobe::empty())
        m_isectorService = kxIsectorServiceAsynchronous::obtainDefault();
}

int kxLightMap::configure() {
    if (m_configured)
        return 1;
    if (kxKernel* kernel = kxKernel::instance())
        kernel->addSubscriber(kxKernel::EVENT_FRAME_UPDATE, m_updateSubscriber.get());
    // Map coordinates from eye-relative positions: S = x, T = z, R = -y.
    const kuVec4f planes[3] = {{1, 0, 0, 0}, {0, 0, 1, 0}, {0, -1, 0, 0}};
    for (int dimension = 0; dimension < 3; ++dimension) {
        m_texGen->setMode(dimension, krTextureCoordGen::MODE_OBJECT_LINEAR);
        m_texGen->setPlane(dimension, planes[dimension]);
    }
    if (getNumChannels() == 0)
        for (int i = 0; i < ksChannel::getNum(); ++i)
            addChannel(ksChannel::get(i));
    m_configured = true;
    return 1;
}

int kxLightMap::unconfigure() {
    if (m_configured) {
        if (kxKernel* kernel = kxKernel::instance())
            kernel->removeSubscriber(kxKernel::EVENT_FRAME_UPDATE, m_updateSubscriber.get(), false);
        m_configured = false;
    }
    return 1;
}

void kxLightMap::UpdateSubscriber::notify(int, ksServiceMgr* serviceMgr) {
    m_map->update(serviceMgr->getFrameNumber());
}

// ---- per frame ----

void kxLightMap::update(int frame) {
    const double start = kuTime::get();
    m_frame = frame;
    kxLightLobe::releaseRetiredFootprints(frame);
    kxScene* scene = kxScene::get(0);
    if (!scene) {
        kuNotify::print(5, s_classType, "No scene -- kxLightMap::update bailing");
        recordUpdateTime(start);
        return;
    }
    if (kxScene::getNum() > 1 && kxLightLobeProjected::empty())
        kuNotify::print(5, s_classType,
                        "There are %d scenes -- kxLightMap::update assuming first: %s",
                        kxScene::getNum(), scene->getName());
    for (auto it = kxLightLobeProjected::begin(); it != kxLightLobeProjected::end(); ++it)
        (*it)->update(scene->getRoot(), m_enable);
    // The light map works only while there are intersection lobes and no projected ones.
    if (kxLightLobe::empty() || !kxLightLobeProjected::empty()) {
        recordUpdateTime(start);
        return;
    }
    if (m_enable) {
        // Lobes lie far apart in memory and each touches some thirty cache lines: each is asked
        // for a few lobes ahead, its probes a little later, so that the update seldom waits.
        const auto end = kxLightLobe::end();
        auto lobeAhead = kxLightLobe::begin(), isectorsAhead = lobeAhead;
        for (int i = 0; i < PREFETCH_LOBES && lobeAhead != end; ++i, ++lobeAhead)
            (*lobeAhead)->prefetchForUpdate();
        for (int i = 0; i < PREFETCH_ISECTORS && isectorsAhead != end; ++i, ++isectorsAhead)
            (*isectorsAhead)->prefetchIsectorsForUpdate();
        ksNode* root = scene->getRoot();
        for (auto it = kxLightLobe::begin(); it != end; ++it) {
            if (lobeAhead != end)
                (*lobeAhead++)->prefetchForUpdate();
            if (isectorsAhead != end)
                (*isectorsAhead++)->prefetchIsectorsForUpdate();
            if ((*it)->getEnable())
                (*it)->update(root);
        }
    }

    for (auto& entry : m_channels) {
        const ksChannel* channel = entry.first;
        _channel_data* record = entry.second.get();
        record->observer = nullptr;
        for (int i = 0; i < kxObserver::getNum() && !record->observer; ++i)
            if (kxObserver::get(i)->hasChannel(channel))
                record->observer = kxObserver::get(i);
        if (!record->observer) {
            kuNotify::print(5, s_classType,
                            "kxLightMap::update: chan %s has no observer -- ignoring",
                            channel->getName());
            continue;
        }
        if (!m_enable) {
            fixCloudState(record->observer);
            continue;
        }
        kuNotify::print(2, s_classType, "kxLightMap::update: chan %s observer is %s",
                        channel->getName(), record->observer->getName());
        float* slot = record->lightIntensity.lockWriteBuffer(frame);
        if (!slot) {
            // A frame before the first, or one whose slot a later frame already holds.
            kuNotify::print(5, s_classType,
                            "kxLightMap::update: frame %d cannot be written for chan %s -- "
                            "ignoring",
                            frame, channel->getName());
            continue;
        }
        const float intensity = frame == 1 ? 1.0f : getEnvBrightness(record);
        if (intensity < 0.0f) {
            kuNotify::print(5, s_classType,
                            "kxLightMap: Did not find EnvSun or EnvMoon for channel %s -- light "
                            "intensity assumed to be 1.0",
                            channel->getName());
            *slot = 1.0f;
        } else {
            const float clamped = std::min(1.0f, std::max(0.0f, intensity));
            if (std::fabs(clamped - *slot) > INTENSITY_CHANGE) {
                kuNotify::print(3, s_classType,
                                "kxLightMap: New light intensity for channel %s in frame %d: %g",
                                channel->getName(), frame, static_cast<double>(clamped));
                *slot = clamped;
            }
        }
        record->lightIntensity.unlockWriteBuffer(frame);
        updateObserverPos(channel);
    }
    recordUpdateTime(start);
}

void kxLightMap::updateObserverPos(const ksChannel* channel) {
    _channel_data* record = getChannelData(channel);
    if (!record || !record->observer)
        return;
    kxScene* scene = kxScene::get(0);
    kuVec3d* slot = record->observerPosition.lockWriteBuffer(m_frame);
    if (!slot)
        return;
    record->observer->getAbsolutePosition(slot, nullptr, nullptr,
                                          scene ? scene->getCoordConverter() : nullptr);
    const kuVec3d position = *slot;
    record->observerPosition.unlockWriteBuffer(m_frame);
    kuNotify::print(2, s_classType, "Observer pos (%f,%f,%f) in frame %d", position.x, position.y,
                    position.z, m_frame);
}

float kxLightMap::getEnvBrightness(_channel_data* record) {
    // Without an environment attached to the observer the scene is at full night.
    float brightness = 0.0f;
    kxObserver* observer = record->observer;
    for (int i = 0; observer && i < observer->getNumAttachments(); ++i) {
        kuBase* attachment = observer->getAttachment(i);
        if (!attachment->isOfClassType(kxEnv::getStaticClassType()))
            continue;
        auto* env = static_cast<kxEnv*>(attachment);
        record->environment = env;
        kuNotify::print(2, s_classType, "Found kxEnv %s attached to observer %s", env->getName(),
                        observer->getName());
        brightness = env->getIlluminationBrightness(observer);
        // Clouds neither write depth nor take the scene fog while the map is on.
        for (auto it = env->begin_envfx(); it != env->end_envfx(); ++it) {
            if (!(*it)->isExactClassType(kxEnvCloudLayer::getStaticClassType()))
                continue;
            krState* state = static_cast<kxEnvCloudLayer*>(it->get())->getState(0);
            state->setElement(krDepthWrite::Element(false));
            if (record->fog) {
                std::lock_guard<std::mutex> guard(record->fogMutex);
                if (record->fogFound)
                    record->fog->copyFrom(*record->drawnFog);
                record->fogElement.enable = record->fogFound;
            }
            state->setElement(record->fogElement);
        }
    }
    return brightness;
}

void kxLightMap::fixCloudState(kxObserver* observer) {
    for (int i = 0; observer && i < observer->getNumAttachments(); ++i) {
        kuBase* attachment = observer->getAttachment(i);
        if (!attachment->isOfClassType(kxEnv::getStaticClassType()))
            continue;
        auto* env = static_cast<kxEnv*>(attachment);
        for (auto it = env->begin_envfx(); it != env->end_envfx(); ++it) {
            if (!(*it)->isExactClassType(kxEnvCloudLayer::getStaticClassType()))
                continue;
            krState* state = static_cast<kxEnvCloudLayer*>(it->get())->getState(0);
            if (state->getElement(krFog::Element::Id))
                state->removeElement(krFog::Element::Id);
            if (state->getElement(krDepthWrite::Element::Id))
                state->removeElement(krDepthWrite::Element::Id);
        }
    }
}

void kxLightMap::recordUpdateTime(double start) {
    if (!m_statistics || !m_statistics->get(0))
        return;
    m_statistics->lock();
    m_statistics->get(0)->record(kuTime::get() - start);
    m_statistics->unlock();
}

// ---- rendering (draw thread) ----

float kxLightMap::getDarkness(float intensity) {
    return intensity <= 0.5f ? ((1 - intensity) * (1 - intensity) - 0.25f) * 0.575f : 0.0f;
}

float kxLightMap::getBaseLevel(float intensity) {
    return 0.5f - 1.2f * getDarkness(intensity);
}

float kxLightMap::getLobeFactor(float intensity) {
    return 2.0f * (1.02f - intensity);
}

float kxLightMap::getFogMultiplier(float intensity) {
    return 1.0f / (2.0f * getBaseLevel(intensity));
}

float kxLightMap::getBrighteningAmbient(float intensity) const {
    return (m_transitionLightIntensity - intensity) * m_brightenScale;
}

bool kxLightMap::isMapCreated(const ksChannel* channel) {
    std::lock_guard<std::mutex> guard(s_createdMutex);
    auto it = s_mapCreated.find(channel);
    return it != s_mapCreated.end() && it->second;
}

float kxLightMap::readLightIntensity(_channel_data* record, const ksChannel* channel, bool report) {
    const int frame = ksThread::resolveFrameNumber();
    float intensity = 1.0f;
    // A frame never published (a channel without observer) counts as daylight.
    const bool published = record->lightIntensity.read(frame, &intensity);
    if (!published || intensity < 0.0f || intensity > 1.0f) {
        if (report)
            kuNotify::print(2, s_classType,
                            "Light intensity from frame data for channel %s in frame %d is out of "
                            "range: %f; clamping to 1.0",
                            channel->getName(), frame, static_cast<double>(intensity));
        return 1.0f;
    }
    if (report)
        kuNotify::print(2, s_classType,
                        "Light intensity from frame data for channel %s in frame %d: %f",
                        channel->getName(), frame, static_cast<double>(intensity));
    return intensity;
}

namespace {
// The first fog element with a fog object in a state, or null.
const krFog::Element* fogOf(const krState* state) {
    const krFog::Element* element = state ? state->get<krFog::Element>() : nullptr;
    return element && element->getFog() ? element : nullptr;
}
} // namespace

float kxLightMap::preRenderLobes(const ksChannel* channel, krDrawContext* context) {
    const std::shared_ptr<_channel_data> record = findChannelData(channel);
    if (!record) {
        kuNotify::print(3, s_classType, "No channel data for channel %s -- ignoring",
                        channel ? channel->getName() : "(null)");
        return -1.0f;
    }
    // The channel's window as it is now: the one found when the channel was added may have
    // gone since, or no longer hold the channel.
    const ksWindow* window = channel->getWindow();
    // The frame's settings: the live ones may already be a later frame's.
    const ksChannel::FrameSettings settings = channel->getFrameSettings();
    if (!context || settings.getGraphicsModeEnable(4) || !window)
        return -1.0f;

    // Checked before anything is allocated: the map is read back from the channel, so its
    // size is bounded by the channel's, whatever was set.
    const unsigned int requested = m_textureSize;
    const double left = settings.area[0], right = settings.area[1];
    const double bottom = settings.area[2], top = settings.area[3];
    int x0 = 0, x1 = 0, y0 = 0, y1 = 0;
    window->getSize(x1, y1);
    const double width = (right - left) * (x1 - x0);
    const double height = (top - bottom) * (y1 - y0);
    if (requested == 0 || requested > static_cast<unsigned int>(kxLightLobe::MAX_TEXTURE_SIZE)) {
        kuNotify::print(5, s_classType, "kxLightMap: no light map of size %u for chan %s",
                        requested, channel->getName());
        return -1.0f;
    }
    const int size = static_cast<int>(requested);
    if (size > width || size > height) {
        kuNotify::print(5, s_classType, "Chan %s too small (%d,%d) for lightmap tex size (%d)",
                        channel->getName(), static_cast<int>(width), static_cast<int>(height),
                        size);
        return -1.0f;
    }
    if (size != record->currentSize) {
        kuNotify::print(3, s_classType, "kxLightMap texture size set to %d", size);
        record->currentSize = 0;
        record->imageBits.reset();
        record->imageBits = kuAllocRef::malloc(static_cast<std::size_t>(size) * size * 3);
        if (!record->imageBits)
            return -1.0f;
        record->currentSize = size;
        creatLightTextureBits(size, kxLightLobe::FALLOFF_SQUARED, record->imageBits->data());
        record->mapTexture->setImageLevel(0, record->imageBits.get());
        record->mapTexture->setDimensions(size, size, 0);
    }
    record->mapOriginX = static_cast<int>((x1 - x0) * left + 1.0);
    record->mapOriginY = static_cast<int>((y1 - y0) * bottom + 1.0);
    kuNotify::print(2, s_classType, "Channel %s drawing area origin is (%d,%d)", channel->getName(),
                    record->mapOriginX, record->mapOriginY);

    context->setElement(*context->getElement(KR_ELEMENT_MODELVIEW), true);
    context->setElement(*context->getElement(KR_ELEMENT_PROJECTION), true);
    context->setElement(krViewport::Element(record->mapOriginX, record->mapOriginY, size, size),
                        false);

    // Lobes are drawn around an eye at the origin, turned as the channel looks.
    kuMatrixd eyeTurn = channel->getViewMatrix();
    eyeTurn(3, 0) = eyeTurn(3, 1) = eyeTurn(3, 2) = 0.0;
    context->setElement(krTransform::ElementModelView(kuMatrixd(kuMatrixf(eyeTurn))), true);

    const float intensity = readLightIntensity(record.get(), channel, true);
    // The scene fog's shape, with the eyepoint fade as density: lobes fade to black with distance.
    krFog* lobeFog = record->lobeFog.get();
    const krFog::Element* sceneFog = fogOf(context->getInheritedState());
    if (sceneFog) {
        lobeFog->copyFrom(*sceneFog->getFog());
        const float* c = sceneFog->getFog()->getColor();
        kuNotify::print(2, s_classType, "Fog for Channel %s: dens @ 30k %f, color (%f,%f,%f,%f)",
                        channel->getName(),
                        static_cast<double>(sceneFog->getFog()->getValue(30000.0)),
                        static_cast<double>(c[0]), static_cast<double>(c[1]),
                        static_cast<double>(c[2]), static_cast<double>(c[3]));
    } else {
        kuNotify::print(5, s_classType, "No fog for Channel");
    }
    lobeFog->setDensity(m_eyepointFadeCoefficient);
    lobeFog->setColor(0, 0, 0, 1);

    clearView(true, false, 2 * getBaseLevel(intensity), context);

    context->setElement(krDepthTest::Element(false, 3), true);
    context->setElement(krLighting::Element(false), true);
    context->setElement(krAlphaBlend::Element(true, 1, 1), true);
    context->setElement(krFog::Element(true, lobeFog), true);
    context->setElement(krTextureCoordGen::Element(true, true, true, m_texGen.get()), true);
    return getLobeFactor(intensity);
}

void kxLightMap::transformCullRecord(const ksChannel* channel, kxLightLobe::CullRecord* record) {
    if (!record)
        return;
    record->takeFootprint();
    const std::shared_ptr<_channel_data> data = findChannelData(channel);
    kuVec3d eye;
    if (data)
        data->observerPosition.read(ksThread::resolveFrameNumber(), &eye);
    bool placeable = fitsFloat(record->orientation);
    for (kuVec3d& vertex : record->vertices) {
        vertex -= eye;
        placeable = placeable && fitsFloat(vertex);
    }
    record->position -= eye;
    placeable = placeable && fitsFloat(record->position);
    if (!placeable) {
        // Seen from this eye the footprint has no single-precision place (or no direction):
        // it is drawn as nothing rather than with an undefined conversion or a NaN matrix.
        kuNotify::print(2, s_classType, "Light lobe record beyond reach of channel %s; not lit",
                        channel ? channel->getName() : "(null)");
        for (int k = 0; k < kxLightLobe::NUM_VERTICES; ++k) {
            record->vertices[k] = kuVec3d();
            record->vertexBrightness[k] = 0.0f;
        }
        return;
    }
    const kuVec3d& o = record->orientation;
    const kuVec3d& p = record->position;
    kuMatrixf step;
    kuMatrixf& m = record->textureTransform.matrix;
    step.makeRotate(static_cast<float>(o.z), 0, 0);
    m.preMultiply(step);
    step.makeRotate(0, static_cast<float>(-o.y), 0);
    m.preMultiply(step);
    step.makeRotate(0, 0, static_cast<float>(-o.x));
    m.preMultiply(step);
    // S, T, R are x, z, -y of the eye-relative position.
    step.makeTranslate(static_cast<float>(-p.x), static_cast<float>(-p.z), static_cast<float>(p.y));
    m.preMultiply(step);
}

void kxLightMap::postRenderLobes(const ksChannel* channel, krDrawContext* context) {
    if (!context)
        return;
    const std::shared_ptr<_channel_data> record = findChannelData(channel);
    if (!record) {
        kuNotify::print(3, s_classType, "No channel data for channel %s -- ignoring",
                        channel ? channel->getName() : "(null)");
        return;
    }
    const int size = record->currentSize;
    record->mapTexture->subloadLevel(context, 0, record->mapOriginX, record->mapOriginY, 0, 0, size,
                                     size, true);

    const float intensity = readLightIntensity(record.get(), channel, false);
    const float ambient = getBrighteningAmbient(intensity);
    // Settings that are no number give no brightening rather than an infinite light.
    if (intensity < m_transitionLightIntensity && std::isfinite(ambient)) {
        krLight::Element lights = *context->get<krLight::Element>();
        krLight::Source& brightening = lights.lights[7];
        brightening.enable = true;
        brightening.setDiffuse(0, 0, 0, 0);
        brightening.setSpecular(0, 0, 0, 0);
        brightening.setPosition(0, 0, 0, 0);
        brightening.setAmbient(ambient, ambient, ambient, 1);
        context->setElement(lights, false);
    }
    // The map darkens the scene by 2 L: the scene is drawn with its fog brightened by as much,
    // so the fog keeps its colour.
    const krFog::Element* sceneFog = fogOf(context->getInheritedState());
    if (sceneFog) {
        const krFog* fog = sceneFog->getFog();
        const float multiplier = getFogMultiplier(intensity);
        const float* c = fog->getColor();
        auto compensate = [multiplier](float v) {
            return std::min(1.0f, std::max(0.0f, v * multiplier));
        };
        record->compensatedFog->copyFrom(*fog);
        record->compensatedFog->setColor(compensate(c[0]), compensate(c[1]), compensate(c[2]),
                                         1.0f);
        kuNotify::print(2, s_classType, "Fogmult for channel %s w/curLightIntensity %f is %f",
                        channel->getName(), static_cast<double>(intensity),
                        static_cast<double>(multiplier));
        if (record->drawnFog) {
            std::lock_guard<std::mutex> guard(record->fogMutex);
            record->drawnFog->copyFrom(*fog);
            record->fogFound = true;
        }
    } else {
        std::lock_guard<std::mutex> guard(record->fogMutex);
        record->fogFound = false;
    }
    // In effect for the scene's bins, until the map is laid over them.
    context->setElement(sceneFog ? krFog::Element(sceneFog->enable, record->compensatedFog.get())
                                 : krFog::Element(),
                        false);
}

void kxLightMap::renderMap(const ksChannel* channel, krDrawContext* context) {
    if (!context)
        return;
    const std::shared_ptr<_channel_data> record = findChannelData(channel);
    if (!record) {
        kuNotify::print(5, s_classType, "No channel data for chan %s -- skipping map render",
                        channel ? channel->getName() : "(null)");
        return;
    }
    // The scene is drawn: the light that brightened it goes off.
    krLight::Element lights = *context->get<krLight::Element>();
    lights.lights[7].enable = false;
    context->setElement(lights, false);
    // What is drawn after the map sees the scene's own fog again.
    const krFog::Element* sceneFog = fogOf(context->getInheritedState());
    context->setElement(sceneFog ? *sceneFog : krFog::Element(), false);
    krDrawContext::ScopedPush pass(*context, krDrawContext::ScopedPush::ALL, true, true, true);
    context->setElement(krTransform::ElementModelView(), true);
    // Multiply the scene by twice the map: a level of 0.5 leaves it as it is. Only where the
    // scene drew (depth below the quad's 1.0), so the sky stays as it was.
    context->setElement(krAlphaBlend::Element(true, 6, 2), true);
    context->setElement(krDepthTest::Element(true, 4), true);
    context->setElement(krDepthWrite::Element(false), true);
    context->setElement(krLighting::Element(false), true);
    record->textureState->setEnable(true);
    record->textureState->setBlend(m_blend.get());
    context->setElement(record->textureElement, true);
    context->setElement(krTransform::ElementProjection::ortho(0, 1, 0, 1, 0, 1), true);
    glColor3f(1, 1, 1);
    glBegin(GL_QUADS);
    glTexCoord2f(0, 0);
    glVertex3f(0, 0, -1);
    glTexCoord2f(1, 0);
    glVertex3f(1, 0, -1);
    glTexCoord2f(1, 1);
    glVertex3f(1, 1, -1);
    glTexCoord2f(0, 1);
    glVertex3f(0, 1, -1);
    glEnd();
}

void kxLightMap::clearView(bool color, bool depth, float level, krDrawContext* context) {
    glColor4f(level / 2, level / 2, level / 2, 1);
    krDrawContext::ScopedPush view(*context, KR_ELEMENT_MODELVIEW, true);
    krDrawContext::ScopedPush pass(*context, {KR_ELEMENT_PROJECTION, KR_ELEMENT_DEPTH_TEST,
                                              KR_ELEMENT_DEPTH_WRITE, KR_ELEMENT_LIGHTING,
                                              KR_ELEMENT_TEXTURE, KR_ELEMENT_COLOR_MASK});
    context->setElement(krTransform::ElementProjection::ortho(0, 1, 0, 1, 0, 1), false);
    context->setElement(krLighting::Element(false), false);
    context->setElement(krTexture::Element(), false);
    if (depth) {
        context->setElement(krDepthTest::Element(true, 7), false);
        context->setElement(krDepthWrite::Element(true), false);
    } else {
        context->setElement(krDepthTest::Element(false, 3), false);
    }
    context->setElement(krColorMask::Element(color, color, color, color), false);
    glBegin(GL_QUADS);
    glVertex3f(0, 0, -1);
    glVertex3f(1, 0, -1);
    glVertex3f(1, 1, -1);
    glVertex3f(0, 1, -1);
    glEnd();
}

// ---- falloff images ----
void kxLightMap::creatLightTextureBits(int size, kxLightLobe::Falloff falloff,
                                       unsigned char* bits) const {
    if (size <= 0 || !bits)
        return;
    const double half = size / 2.0;
    const double radius = size / 2.7;
    for (int r = 0; r < size; ++r) {
        for (int c = 0; c < size; ++c) {
            const double dr = r - half;
            const double dc = c - half;
            float v = static_cast<float>(std::sqrt(dr * dr + dc * dc) / radius);
            if (falloff == kxLightLobe::FALLOFF_SQUARED)
                v = v * v;
            else if (falloff == kxLightLobe::FALLOFF_CUBIC)
                v = v * v * v;
            if (v > 1.0f)
                v = 1.0f;
            float value = static_cast<float>((1.0f - v) * 255.0);
            if (size < 16)
                value = static_cast<float>((size / 8.0) * value);
            // Small images are brightened by up to size / 8; saturate rather than let the
            // brightest texels wrap round to dark ones.
            if (value > 255.0f)
                value = 255.0f;
            const unsigned char byte = static_cast<unsigned char>(static_cast<int>(value) & 0xff);
            unsigned char* texel = bits + (static_cast<std::size_t>(r) * size + c) * 3;
            texel[0] = texel[1] = texel[2] = byte;
        }
    }
    // One-texel black border, so a clamped texture never lights beyond the footprint.
    for (int i = 0; i < size; ++i) {
        const std::size_t edges[4] = {
            static_cast<std::size_t>(i),                                            // first row
            static_cast<std::size_t>(size - 1) * size + i,                          // last row
            static_cast<std::size_t>(i) * size,                                     // first column
            static_cast<std::size_t>(i) * size + static_cast<std::size_t>(size - 1) // last column
        };
        for (std::size_t texel : edges)
            bits[texel * 3] = bits[texel * 3 + 1] = bits[texel * 3 + 2] = 0;
    }
}

KX_DEFINE_CLASS_REGISTRY(kxLightMap)
