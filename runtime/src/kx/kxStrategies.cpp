#include <kx/kxStrategies.h>

#include <kx/kxPositionable.h>
#include <kx/kxTransform.h>

#include <cmath>

namespace {
kuBase::ClassType* s_pathType = nullptr;
kuBase::ClassType* s_orbitType = nullptr;
kuBase::ClassType* s_lookAtType = nullptr;

const double DEGREES = 180.0 / M_PI;

// The heading of a direction in the x-y plane.
double headingOf(double dx, double dy) {
    return std::atan2(-dx, dy) * DEGREES;
}

// Moves the target, and turns it to heading keeping its pitch and roll.
void place(kxPositionable* target, const kuVec3d& position, const double* heading) {
    target->setPosition(position.x, position.y, position.z, nullptr);
    if (heading) {
        double h = 0, p = 0, r = 0;
        target->getOrientation(h, p, r);
        target->setOrientation(*heading, p, r);
    }
}

int initializeType(kuBase::ClassType*& type, const char* name, kuBase::CreateFunc create) {
    if (!type)
        type = new kuBase::ClassType(name, kxStrategy::getStaticClassType(), create, false, false);
    return KU_SUCCESS;
}

int shutdownType(kuBase::ClassType*& type) {
    delete type;
    type = nullptr;
    return KU_SUCCESS;
}
} // namespace

// ---- kxPathStrategy ----

kxPathStrategy::kxPathStrategy() = default;
kxPathStrategy::~kxPathStrategy() = default;

void kxPathStrategy::addWaypoint(double x, double y, double z) {
    m_waypoints.emplace_back(x, y, z);
}

void kxPathStrategy::clearWaypoints() {
    m_waypoints.clear();
    m_distance = 0;
}

kuVec3d kxPathStrategy::getWaypoint(int index) const {
    return index >= 0 && index < getNumWaypoints() ? m_waypoints[static_cast<std::size_t>(index)]
                                                   : kuVec3d();
}

int kxPathStrategy::setSpeed(double speed) {
    if (!(speed >= 0) || !std::isfinite(speed))
        return KU_FAILURE;
    m_speed = speed;
    return KU_SUCCESS;
}

double kxPathStrategy::getLength() const {
    const std::size_t n = m_waypoints.size();
    double length = 0;
    for (std::size_t i = 1; i < n; ++i)
        length += (m_waypoints[i] - m_waypoints[i - 1]).length();
    if (m_loop && n > 1)
        length += (m_waypoints.front() - m_waypoints.back()).length();
    return length;
}

int kxPathStrategy::evaluate(double distance, kuVec3d* position, double* heading) const {
    const std::size_t n = m_waypoints.size();
    if (n == 0)
        return KU_FAILURE;
    const double length = getLength();
    if (!(length > 0)) {
        *position = m_waypoints.front();
        return KU_SUCCESS;
    }
    double d = distance;
    if (m_loop) {
        d = std::fmod(d, length);
        if (d < 0)
            d += length;
    } else {
        d = std::fmax(0.0, std::fmin(d, length));
    }
    const std::size_t legs = m_loop ? n : n - 1;
    // The last leg with a length takes whatever rounding leaves over.
    std::size_t lastLeg = 0;
    for (std::size_t i = 0; i < legs; ++i)
        if (m_waypoints[i] != m_waypoints[(i + 1) % n])
            lastLeg = i;
    for (std::size_t i = 0; i < legs; ++i) {
        const kuVec3d& a = m_waypoints[i];
        const kuVec3d& b = m_waypoints[(i + 1) % n];
        const kuVec3d leg = b - a;
        const double legLength = leg.length();
        if (legLength == 0)
            continue;
        if (d <= legLength || i == lastLeg) {
            *position = a + leg * std::fmin(d / legLength, 1.0);
            if (heading)
                *heading = headingOf(leg.x, leg.y);
            return KU_SUCCESS;
        }
        d -= legLength;
    }
    return KU_SUCCESS;
}

void kxPathStrategy::update(kxPositionable* target, double, double delta) {
    if (!target || m_waypoints.empty())
        return;
    const double length = getLength();
    m_distance += m_speed * delta;
    // Keep the distance on the path, so that it stays precise and a stopped path restarts
    // from its end rather than from far beyond it.
    if (m_loop && length > 0)
        m_distance = std::fmod(m_distance, length);
    else
        m_distance = std::fmin(m_distance, length);
    kuVec3d position;
    double heading = std::nan("");
    evaluate(m_distance, &position, &heading);
    place(target, position, std::isnan(heading) ? nullptr : &heading);
}

const kuBase::ClassType* kxPathStrategy::getClassType() const {
    return s_pathType;
}
kuBase::ClassType* kxPathStrategy::getStaticClassType() {
    return s_pathType;
}
kuBase* kxPathStrategy::create() {
    return new kxPathStrategy;
}
int kxPathStrategy::initializeClass() {
    return initializeType(s_pathType, "kxPathStrategy", create);
}
int kxPathStrategy::shutdownClass() {
    return shutdownType(s_pathType);
}

// ---- kxOrbitStrategy ----

kxOrbitStrategy::kxOrbitStrategy() = default;
kxOrbitStrategy::~kxOrbitStrategy() = default;

int kxOrbitStrategy::setRadius(double radius) {
    if (!(radius >= 0) || !std::isfinite(radius))
        return KU_FAILURE;
    m_radius = radius;
    return KU_SUCCESS;
}

void kxOrbitStrategy::setAngle(double degrees) {
    if (!std::isfinite(degrees))
        return;
    m_angle = std::fmod(degrees, 360.0);
    if (m_angle < 0)
        m_angle += 360.0;
}

void kxOrbitStrategy::evaluate(double degrees, kuVec3d* position, double* heading) const {
    const double a = degrees / DEGREES;
    *position = m_center + kuVec3d(m_radius * std::cos(a), m_radius * std::sin(a), m_height);
    if (heading) {
        // The tangent: (-sin a, cos a) going counter-clockwise, the opposite going clockwise.
        const double sign = m_angularSpeed < 0 ? -1.0 : 1.0;
        *heading = headingOf(-std::sin(a) * sign, std::cos(a) * sign);
    }
}

void kxOrbitStrategy::update(kxPositionable* target, double, double delta) {
    if (!target)
        return;
    setAngle(m_angle + m_angularSpeed * delta);
    kuVec3d position;
    double heading = 0;
    evaluate(m_angle, &position, &heading);
    place(target, position, &heading);
}

const kuBase::ClassType* kxOrbitStrategy::getClassType() const {
    return s_orbitType;
}
kuBase::ClassType* kxOrbitStrategy::getStaticClassType() {
    return s_orbitType;
}
kuBase* kxOrbitStrategy::create() {
    return new kxOrbitStrategy;
}
int kxOrbitStrategy::initializeClass() {
    return initializeType(s_orbitType, "kxOrbitStrategy", create);
}
int kxOrbitStrategy::shutdownClass() {
    return shutdownType(s_orbitType);
}

// ---- kxLookAtStrategy ----

kxLookAtStrategy::kxLookAtStrategy() = default;
kxLookAtStrategy::~kxLookAtStrategy() = default;

void kxLookAtStrategy::setNode(kxTransform* node) {
    m_node = node;
}
kxTransform* kxLookAtStrategy::getNode() const {
    return m_node.get();
}

int kxLookAtStrategy::setMotion(kxStrategy* motion) {
    for (kxStrategy* step = motion; step;) {
        if (step == this)
            return KU_FAILURE;
        step = step->isOfClassType(s_lookAtType) ? static_cast<kxLookAtStrategy*>(step)->getMotion()
                                                 : nullptr;
    }
    m_motion = motion;
    return KU_SUCCESS;
}

bool kxLookAtStrategy::aim(const kuVec3d& from, const kuVec3d& to, double* heading, double* pitch) {
    const kuVec3d d = to - from;
    if (d.length2() == 0)
        return false;
    *heading = headingOf(d.x, d.y);
    *pitch = std::atan2(d.z, std::sqrt(d.x * d.x + d.y * d.y)) * DEGREES;
    return true;
}

void kxLookAtStrategy::update(kxPositionable* target, double time, double delta) {
    if (!target)
        return;
    if (kuRef<kxStrategy> motion = m_motion)
        motion->update(target, time, delta);
    if (!m_node)
        return;
    kuVec3d from, to;
    if (target->getAbsolutePosition(&from, nullptr, nullptr, nullptr) != KU_SUCCESS ||
        m_node->getAbsolutePosition(&to, nullptr, nullptr, nullptr) != KU_SUCCESS)
        return;
    double heading = 0, pitch = 0;
    if (aim(from, to, &heading, &pitch))
        target->setOrientation(heading, pitch, 0);
}

const kuBase::ClassType* kxLookAtStrategy::getClassType() const {
    return s_lookAtType;
}
kuBase::ClassType* kxLookAtStrategy::getStaticClassType() {
    return s_lookAtType;
}
kuBase* kxLookAtStrategy::create() {
    return new kxLookAtStrategy;
}
int kxLookAtStrategy::initializeClass() {
    return initializeType(s_lookAtType, "kxLookAtStrategy", create);
}
int kxLookAtStrategy::shutdownClass() {
    return shutdownType(s_lookAtType);
}
