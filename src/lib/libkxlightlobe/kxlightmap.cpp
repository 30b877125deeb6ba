#include "kxlightmap.h"

#include "kxlightlobeprojected.h"

#include <ks/ksChannel.h>
#include <ks/ksChannelProxy.h>
#include <ks/ksServiceMgr.h>
#include <ks/ksWindow.h>
#include <ku/kuMath.h>
#include <ku/kuNotify.h>
#include <ku/kuTime.h>
#include <kx/kxIsectorService.h>
#include <kx/kxIsectorServiceAsynchronous.h>
#include <kx/kxObserver.h>
#include <kx/kxScene.h>

#include <cassert>
#include <cmath>

namespace {
kuBase::ClassType* s_classType = nullptr;
kuRef<kxLightMap> s_instance;
int s_mapCreateBinId = -1;
int s_mapRenderBinId = -1;

// Draws the lobes' records into the channel's map before the scene. Its drawing needs a GL
// context; until a channel has one it only keeps the build-time statistic.
class MapCreateDrawProcessor : public ksChannelProxy::DrawProcessor {
public:
    int process(krDrawContext*, ksCullRecord* const*, ksCullRecord* const*,
                const ksChannel*) override {
        return 1;
    }
    int registerStatistics(kuBase* owner) {
        m_statistics.reset(new kuStat::Containers(1));
        return kuStat::push_back(owner, "STATISTIC_BUILD_MAP_TIME", m_statistics.get(), 0);
    }

private:
    std::unique_ptr<kuStat::Containers> m_statistics;
};

// Lays the map over the channel after the scene.
class MapRenderDrawProcessor : public ksChannelProxy::DrawProcessor {
public:
    int process(krDrawContext*, ksCullRecord* const*, ksCullRecord* const*,
                const ksChannel*) override {
        return 1;
    }
};

kuRef<MapCreateDrawProcessor> s_mapCreateProcessor;

constexpr float INTENSITY_CHANGE = 0.0005f;
} // namespace

// ---- class ----

kxLightMap::kxLightMap() : m_updateSubscriber(new UpdateSubscriber(this)) {
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

kxLightMap* kxLightMap::create() { return instance(); }

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
        s_mapCreateBinId = proxy->reserveBin(false, -1600, true, "kxLightMap Create Channel Bin",
                                             nullptr, nullptr, cull.get(),
                                             s_mapCreateProcessor.get(), nullptr, nullptr, 49,
                                             -1, 49, -1);
    }
    if (s_mapRenderBinId < 0 || !proxy->getBin(s_mapRenderBinId, nullptr)) {
        kuRef<ksChannelProxy::CullProcessor> cull = new ksChannelProxy::CullProcessor;
        kuRef<MapRenderDrawProcessor> draw = new MapRenderDrawProcessor;
        s_mapRenderBinId = proxy->reserveBin(false, 100, false, "kxLightMap Render Channel Bin",
                                             nullptr, nullptr, cull.get(), draw.get(), nullptr,
                                             nullptr, 49, -1, 49, -1);
    }
    return 1;
}

int kxLightMap::shutdownClass() {
    s_instance.reset();
    if (s_classType) {
        s_mapCreateProcessor.reset();
        delete s_classType;
        s_classType = nullptr;
    }
    return 1;
}

int kxLightMap::getMapCreateBinID() { return s_mapCreateBinId; }
int kxLightMap::getMapRenderBinID() { return s_mapRenderBinId; }

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

void kxLightMap::setIsectorService(kxIsectorService* service) { m_isectorService = service; }
kxIsectorService* kxLightMap::getIsectorService() const { return m_isectorService.get(); }

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
    if (!channel || m_channels.count(channel))
        return;
    std::unique_ptr<_channel_data> record(new _channel_data);
    record->channel = channel;
    record->currentSize = 0;
    record->mapTexture = new krTexture;
    record->mapTexture->setWrap(3, 3, 0);
    record->mapTexture->setMinFilter(2, 0);
    record->mapTexture->setMagFilter(2);
    record->mapTexture->setFormat(5, 2);
    record->textureState = new krTexture::State;
    record->textureState->setTexture(record->mapTexture.get());
    for (int i = 0; i < ksWindow::getNum() && !record->window; ++i)
        if (ksWindow::get(i)->hasChannel(channel))
            record->window = ksWindow::get(i);
    if (!record->window)
        kuNotify::print(5, s_classType, "Could not find window for channel %s!",
                        channel->getName());
    m_channels[channel] = std::move(record);
}

void kxLightMap::removeChannel(const ksChannel* channel) {
    m_channels.erase(channel);
}

kxLightMap::_channel_data* kxLightMap::getChannelData(const ksChannel* channel) {
    auto it = m_channels.find(channel);
    return it == m_channels.end() ? nullptr : it->second.get();
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
    _channel_data* record = getChannelData(channel);
    return record && record->lightIntensity.read(frame, intensity);
}

bool kxLightMap::getObserverPosition(const ksChannel* channel, int frame, kuVec3d* position) {
    _channel_data* record = getChannelData(channel);
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
    if (m_channels.empty())
        for (int i = 0; i < ksChannel::getNum(); ++i)
            addChannel(ksChannel::get(i));
    m_configured = true;
    return 1;
}

int kxLightMap::unconfigure() {
    if (m_configured) {
        if (kxKernel* kernel = kxKernel::instance())
            kernel->removeSubscriber(kxKernel::EVENT_FRAME_UPDATE, m_updateSubscriber.get(),
                                     false);
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
    kxScene* scene = kxScene::get(0);
    if (!scene) {
        kuNotify::print(5, s_classType, "No scene -- kxLightMap::update bailing");
        recordUpdateTime(start);
        return;
    }
    if (kxScene::getNum() > 1 && kxLightLobeProjected::empty())
        kuNotify::print(5, s_classType, "There are %d scenes -- kxLightMap::update assuming first: %s",
                        kxScene::getNum(), scene->getName());
    // The light map works only while there are intersection lobes and no projected ones.
    if (kxLightLobe::empty() || !kxLightLobeProjected::empty()) {
        recordUpdateTime(start);
        return;
    }
    if (m_enable)
        for (auto it = kxLightLobe::begin(); it != kxLightLobe::end(); ++it)
            if ((*it)->getEnable())
                (*it)->update(scene->getRoot());

    for (auto& entry : m_channels) {
        const ksChannel* channel = entry.first;
        _channel_data* record = entry.second.get();
        record->observer = nullptr;
        for (int i = 0; i < kxObserver::getNum() && !record->observer; ++i)
            if (kxObserver::get(i)->hasChannel(channel))
                record->observer = kxObserver::get(i);
        if (!record->observer) {
            kuNotify::print(5, s_classType, "kxLightMap::update: chan %s has no observer -- ignoring",
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
    record->observer->getAbsolutePosition(slot, nullptr, nullptr,
                                          scene ? scene->getCoordConverter() : nullptr);
    const kuVec3d position = *slot;
    record->observerPosition.unlockWriteBuffer(m_frame);
    kuNotify::print(2, s_classType, "Observer pos (%f,%f,%f) in frame %d", position.x,
                    position.y, position.z, m_frame);
}

float kxLightMap::getEnvBrightness(_channel_data*) {
    // Without an environment attached to the observer the scene is at full night.
    return 0.0f;
}

void kxLightMap::fixCloudState(kxObserver*) {}

void kxLightMap::recordUpdateTime(double start) {
    if (!m_statistics || !m_statistics->get(0))
        return;
    m_statistics->lock();
    m_statistics->get(0)->record(kuTime::get() - start);
    m_statistics->unlock();
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
