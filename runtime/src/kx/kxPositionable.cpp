#include <kx/kxPositionable.h>

#include <kx/kxCoordConverter.h>
#include <kx/kxStrategy.h>

#include <algorithm>
#include <vector>

namespace {
// Positionables that have a strategy, in the order they got it.
std::vector<kxPositionable*>& withStrategies() {
    static std::vector<kxPositionable*> s_list;
    return s_list;
}

void trackStrategy(kxPositionable* positionable, bool hasStrategy) {
    auto& list = withStrategies();
    auto it = std::find(list.begin(), list.end(), positionable);
    if (hasStrategy && it == list.end())
        list.push_back(positionable);
    else if (!hasStrategy && it != list.end())
        list.erase(it);
}
} // namespace

kxPositionable::kxPositionable() = default;
kxPositionable::kxPositionable(const kxPositionable& other) {
    copyPositionable(other);
}

kxPositionable& kxPositionable::operator=(const kxPositionable& other) {
    copyPositionable(other);
    return *this;
}

kxPositionable::~kxPositionable() {
    trackStrategy(this, false);
}

void kxPositionable::setPosition(double x, double y, double z, const kxCoordConverter* converter) {
    kuVec3d position(x, y, z);
    if (converter && m_converter && converter != m_converter.get()) {
        kuVec3d geodetic;
        if (converter->toGeodetic(position, &geodetic) != KU_SUCCESS ||
            m_converter->toLocal(geodetic, &position) != KU_SUCCESS)
            return;
    }
    m_position = position;
    positionableChanged();
}

void kxPositionable::getPosition(double& x, double& y, double& z) const {
    x = m_position.x, y = m_position.y, z = m_position.z;
}

void kxPositionable::setOrientation(double heading, double pitch, double roll) {
    m_orientation.set(heading, pitch, roll);
    positionableChanged();
}

void kxPositionable::getOrientation(double& heading, double& pitch, double& roll) const {
    heading = m_orientation.x, pitch = m_orientation.y, roll = m_orientation.z;
}

void kxPositionable::setRotate(double heading, double pitch, double roll, bool relative) {
    if (relative)
        m_orientation += kuVec3d(heading, pitch, roll);
    else
        m_orientation.set(heading, pitch, roll);
    positionableChanged();
}

void kxPositionable::translate(double dx, double dy, double dz) {
    m_position += kuVec3d(dx, dy, dz);
    positionableChanged();
}

void kxPositionable::setTranslate(double x, double y, double z, bool relative) {
    if (relative)
        translate(x, y, z);
    else
        setPosition(x, y, z, nullptr);
}

void kxPositionable::setScale(double x, double y, double z) {
    m_scale.set(x, y, z);
    positionableChanged();
}

void kxPositionable::setStrategy(kxStrategy* strategy) {
    m_strategy = strategy;
    trackStrategy(this, strategy != nullptr && !m_replica);
}

void kxPositionable::markReplica() {
    m_replica = true;
    trackStrategy(this, false);
}
kxStrategy* kxPositionable::getStrategy() const {
    return m_strategy.get();
}

void kxPositionable::runStrategy(double time, double delta) {
    // Hold a reference: the strategy may replace itself.
    kuRef<kxStrategy> strategy = m_strategy;
    if (strategy && m_strategyEnable)
        strategy->update(this, time, delta);
}

void kxPositionable::runAllStrategies(double time, double delta) {
    // A strategy may add or remove strategies: walk a copy, skipping those gone meanwhile.
    const std::vector<kxPositionable*> list = withStrategies();
    for (kxPositionable* positionable : list)
        if (std::find(withStrategies().begin(), withStrategies().end(), positionable) !=
            withStrategies().end())
            positionable->runStrategy(time, delta);
}

void kxPositionable::setCoordConverter(kxCoordConverter* converter) {
    m_converter = converter;
}
kxCoordConverter* kxPositionable::getCoordConverter() const {
    return m_converter.get();
}

int kxPositionable::convertToFrame(const kuVec3d& point, const kxCoordConverter* converter,
                                   kuVec3d* result) const {
    if (!converter || !m_converter || converter == m_converter.get()) {
        *result = point;
        return KU_SUCCESS;
    }
    kuVec3d geodetic;
    if (m_converter->toGeodetic(point, &geodetic) != KU_SUCCESS)
        return KU_FAILURE;
    return converter->toLocal(geodetic, result);
}

int kxPositionable::getAbsolutePosition(kuVec3d* position, kuVec3d* orientation, kuVec3d* scale,
                                        const kxCoordConverter* converter) const {
    if (orientation)
        *orientation = m_orientation;
    if (scale)
        *scale = m_scale;
    return position ? convertToFrame(m_position, converter, position) : KU_SUCCESS;
}

void kxPositionable::copyPositionable(const kxPositionable& source) {
    if (&source == this)
        return;
    m_position = source.m_position;
    m_orientation = source.m_orientation;
    m_scale = source.m_scale;
    m_strategyEnable = source.m_strategyEnable;
    m_strategy = source.m_strategy;
    trackStrategy(this, m_strategy.get() != nullptr && !m_replica);
    m_converter = source.m_converter;
    positionableChanged();
}

bool kxPositionable::comparePositionable(const kxPositionable& other) const {
    return m_position == other.m_position && m_orientation == other.m_orientation &&
           m_scale == other.m_scale && m_strategyEnable == other.m_strategyEnable &&
           m_strategy.get() == other.m_strategy.get() &&
           m_converter.get() == other.m_converter.get();
}
