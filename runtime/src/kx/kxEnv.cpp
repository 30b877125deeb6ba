#include <kx/kxEnv.h>

#include <kr/krFog.h>
#include <kr/krState.h>
#include <ks/ksChannel.h>
#include <ku/kuMath.h>
#include <ku/kuNotify.h>
#include <ku/kuParameter.h>

#include <algorithm>
#include <cmath>
#include <iterator>

namespace {

kuBase::ClassType* s_envType = nullptr;
kuBase::ClassType* s_sunType = nullptr;
kuBase::ClassType* s_moonType = nullptr;
kuBase::ClassType* s_cloudLayerType = nullptr;
kuBase::ClassType* s_cloudVolumeType = nullptr;
kxEnvGlobals* s_globals = nullptr;

constexpr double DEG = kuMath<double>::DEG2RAD;
constexpr double SYNODIC_MONTH = 29.530588853; // days
constexpr double NEW_MOON_2000 = 2451550.26;   // Julian day of 2000-01-06 18:14 UT
constexpr double J2000 = 2451545.0;            // Julian day of 2000-01-01 12:00 UT
constexpr double CIVIL_TWILIGHT_END = -6.0;    // degrees of sun elevation: brightness 0
constexpr double FULL_DAYLIGHT = 10.0;         // degrees of sun elevation: brightness 1
constexpr double MOON_SHARE = 0.1;             // brightness of a high full moon
constexpr double MOON_FULL_ELEVATION = 10.0;   // degrees: the moon's share is whole above
constexpr double CLOUD_DIMMING = 0.2;          // share of light an overcast layer takes
constexpr double FOG_CONTRAST_LOG = 3.912;     // -ln(0.02): 2% contrast left at the visibility
const float FOG_COLOR[3] = {0.62f, 0.68f, 0.78f};
const float SUN_COLOR[3] = {1.0f, 0.96f, 0.9f};
const float MOON_COLOR[3] = {0.7f, 0.75f, 0.9f};
const float SKY_AMBIENT[3] = {0.85f, 0.9f, 1.0f};
constexpr float AMBIENT_FLOOR = 0.05f;
constexpr float AMBIENT_DAY = 0.35f;

int makeClassType(kuBase::ClassType*& slot, const char* name, kuBase::ClassType* parent) {
    if (!slot)
        slot = new kuBase::ClassType(name, parent, nullptr, true, false);
    return KU_SUCCESS;
}

int dropClassType(kuBase::ClassType*& slot) {
    delete slot;
    slot = nullptr;
    return KU_SUCCESS;
}

bool isLeapYear(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int daysInMonth(int year, int month) {
    static const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && isLeapYear(year) ? 29 : days[month - 1];
}

// The Julian day number of a Gregorian date (the day that starts at its noon).
long julianDayNumber(int year, int month, int day) {
    const long a = (14 - month) / 12;
    const long y = static_cast<long>(year) + 4800 - a; // a year near INT_MAX must not overflow
    const long m = month + 12 * a - 3;
    return day + (153 * m + 2) / 5 + 365 * y + y / 4 - y / 100 + y / 400 - 32045;
}

double smoothstep(double x) {
    x = std::min(1.0, std::max(0.0, x));
    return x * x * (3.0 - 2.0 * x);
}

// Where the sun and moon stand, from the environment's settings (see kxEnv.h).
struct Sky {
    kuVec3d sunDirection, moonDirection;
    double sunElevation = 0, moonElevation = 0, moonPhase = 0;
};

// Unit vector towards a body of declination d and hour angle h seen from latitude lat (radians).
kuVec3d horizonDirection(double d, double h, double lat) {
    return {-std::cos(d) * std::sin(h),
            std::cos(lat) * std::sin(d) - std::sin(lat) * std::cos(d) * std::cos(h),
            std::sin(lat) * std::sin(d) + std::cos(lat) * std::cos(d) * std::cos(h)};
}

double elevationOf(const kuVec3d& direction) {
    return std::asin(std::min(1.0, std::max(-1.0, direction.z))) / DEG;
}

Sky computeSky(double hours, int year, int month, int day, double latDeg, double lonDeg) {
    const double ut = hours - lonDeg / 15.0;
    const double jd = static_cast<double>(julianDayNumber(year, month, day)) - 0.5 + ut / 24.0;
    const double n = jd - J2000;

    const double meanLongitude = 280.460 + 0.9856474 * n;
    const double meanAnomaly = (357.528 + 0.9856003 * n) * DEG;
    const double lambda =
        (meanLongitude + 1.915 * std::sin(meanAnomaly) + 0.020 * std::sin(2 * meanAnomaly)) * DEG;
    const double obliquity = (23.439 - 0.0000004 * n) * DEG;

    auto declination = [&](double eclipticLongitude) {
        return std::asin(std::sin(obliquity) * std::sin(eclipticLongitude));
    };
    auto rightAscension = [&](double eclipticLongitude) {
        return std::atan2(std::cos(obliquity) * std::sin(eclipticLongitude),
                          std::cos(eclipticLongitude));
    };

    const double lat = latDeg * DEG;
    const double sunHourAngle = 15.0 * (hours - 12.0) * DEG;
    Sky sky;
    sky.sunDirection = horizonDirection(declination(lambda), sunHourAngle, lat);
    sky.sunElevation = elevationOf(sky.sunDirection);

    double age = std::fmod(jd - NEW_MOON_2000, SYNODIC_MONTH);
    if (age < 0)
        age += SYNODIC_MONTH;
    const double elongation = 2.0 * kuMath<double>::PI * age / SYNODIC_MONTH;
    const double moonLambda = lambda + elongation;
    // The moon crosses the meridian later than the sun by the difference of right ascensions.
    const double moonHourAngle =
        sunHourAngle - (rightAscension(moonLambda) - rightAscension(lambda));
    sky.moonDirection = horizonDirection(declination(moonLambda), moonHourAngle, lat);
    sky.moonElevation = elevationOf(sky.moonDirection);
    sky.moonPhase = 0.5 * (1.0 - std::cos(elongation));
    return sky;
}

double sunShare(double elevation) {
    return smoothstep((elevation - CIVIL_TWILIGHT_END) / (FULL_DAYLIGHT - CIVIL_TWILIGHT_END));
}

double moonShare(double elevation, double phase) {
    return MOON_SHARE * phase * smoothstep(elevation / MOON_FULL_ELEVATION);
}

} // namespace

// ---- kxEnvSun, kxEnvMoon ----

kxEnvSun::kxEnvSun() {
    registerInstance(s_sunType);
}
kxEnvSun::~kxEnvSun() {
    unregisterInstance(s_sunType);
}
const kuBase::ClassType* kxEnvSun::getClassType() const {
    return s_sunType;
}
kuBase::ClassType* kxEnvSun::getStaticClassType() {
    return s_sunType;
}
int kxEnvSun::initializeClass() {
    return makeClassType(s_sunType, "kxEnvSun", kuBase::getStaticClassType());
}
int kxEnvSun::shutdownClass() {
    return dropClassType(s_sunType);
}

kxEnvMoon::kxEnvMoon() {
    registerInstance(s_moonType);
}
kxEnvMoon::~kxEnvMoon() {
    unregisterInstance(s_moonType);
}
const kuBase::ClassType* kxEnvMoon::getClassType() const {
    return s_moonType;
}
kuBase::ClassType* kxEnvMoon::getStaticClassType() {
    return s_moonType;
}
int kxEnvMoon::initializeClass() {
    return makeClassType(s_moonType, "kxEnvMoon", kuBase::getStaticClassType());
}
int kxEnvMoon::shutdownClass() {
    return dropClassType(s_moonType);
}

// ---- kxEnvCloudLayer, kxEnvCloudVolume ----

kxEnvCloudLayer::kxEnvCloudLayer() {
    registerInstance(s_cloudLayerType);
}
kxEnvCloudLayer::~kxEnvCloudLayer() {
    unregisterInstance(s_cloudLayerType);
}

void kxEnvCloudLayer::setCoverage(float coverage) {
    m_coverage = std::min(1.0f, std::max(0.0f, coverage));
}

krState* kxEnvCloudLayer::getState(int index) {
    if (index < 0 || index >= NUM_STATES)
        return nullptr;
    if (!m_states[index])
        m_states[index] = new krState;
    return m_states[index].get();
}

const kuBase::ClassType* kxEnvCloudLayer::getClassType() const {
    return s_cloudLayerType;
}
kuBase::ClassType* kxEnvCloudLayer::getStaticClassType() {
    return s_cloudLayerType;
}
int kxEnvCloudLayer::initializeClass() {
    return makeClassType(s_cloudLayerType, "kxEnvCloudLayer", kuBase::getStaticClassType());
}
int kxEnvCloudLayer::shutdownClass() {
    return dropClassType(s_cloudLayerType);
}

kxEnvCloudVolume::kxEnvCloudVolume() {
    registerInstance(s_cloudVolumeType);
}
kxEnvCloudVolume::~kxEnvCloudVolume() {
    unregisterInstance(s_cloudVolumeType);
}
const kuBase::ClassType* kxEnvCloudVolume::getClassType() const {
    return s_cloudVolumeType;
}
kuBase::ClassType* kxEnvCloudVolume::getStaticClassType() {
    return s_cloudVolumeType;
}
krState* kxEnvCloudVolume::getState(int index) {
    if (index < 0 || index >= NUM_STATES)
        return nullptr;
    if (!m_states[index])
        m_states[index] = new krState;
    return m_states[index].get();
}

int kxEnvCloudVolume::initializeClass() {
    return makeClassType(s_cloudVolumeType, "kxEnvCloudVolume", kuBase::getStaticClassType());
}
int kxEnvCloudVolume::shutdownClass() {
    return dropClassType(s_cloudVolumeType);
}

// ---- kxEnv ----

const char* const kxEnv::FOG_PARAMETERS = "kxEnv_FogParameters";

kxEnv::kxEnv() : m_fog(new krFog) {
    m_fog->setType(krFog::TYPE_EXP);
    m_fog->setDensity(static_cast<float>(FOG_CONTRAST_LOG / m_visibility));
    updateFogColor();
    publishFogParameters();
    registerInstance(s_envType);
}

kxEnv::~kxEnv() {
    unregisterInstance(s_envType);
}

int kxEnv::setTimeOfDay(double hours) {
    if (!(hours >= 0.0 && hours <= 24.0)) {
        kuNotify::print(kuNotify::WARN, s_envType, "kxEnv::setTimeOfDay - %g is not in [0, 24]",
                        hours);
        return KU_FAILURE;
    }
    m_timeOfDay = hours;
    updateEffects();
    return KU_SUCCESS;
}

int kxEnv::setDate(int year, int month, int day) {
    if (month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month)) {
        kuNotify::print(kuNotify::WARN, s_envType, "kxEnv::setDate - no date %d-%d-%d", year, month,
                        day);
        return KU_FAILURE;
    }
    m_year = year, m_month = month, m_day = day;
    updateEffects();
    return KU_SUCCESS;
}

void kxEnv::getDate(int& year, int& month, int& day) const {
    year = m_year, month = m_month, day = m_day;
}

int kxEnv::setLocation(double latDeg, double lonDeg) {
    if (!(latDeg >= -90.0 && latDeg <= 90.0 && lonDeg >= -180.0 && lonDeg <= 180.0)) {
        kuNotify::print(kuNotify::WARN, s_envType, "kxEnv::setLocation - bad location %g, %g",
                        latDeg, lonDeg);
        return KU_FAILURE;
    }
    m_latitude = latDeg, m_longitude = lonDeg;
    updateEffects();
    return KU_SUCCESS;
}

int kxEnv::setVisibility(double metres) {
    if (!(metres > 0.0) || !std::isfinite(metres)) {
        kuNotify::print(kuNotify::WARN, s_envType, "kxEnv::setVisibility - %g is not positive",
                        metres);
        return KU_FAILURE;
    }
    m_visibility = metres;
    m_fog->setDensity(static_cast<float>(FOG_CONTRAST_LOG / metres));
    publishFogParameters();
    return KU_SUCCESS;
}

void kxEnv::setFogEnable(bool enable) {
    m_fogEnable = enable;
    publishFogParameters();
}

krFog* kxEnv::getFog() {
    // Cloud layers change without telling their environments, so the light is checked here.
    updateFogColor();
    return m_fog.get();
}

int kxEnv::addEffect(kuBase* effect) {
    auto* sun = dynamic_cast<kxEnvSun*>(effect);
    auto* moon = dynamic_cast<kxEnvMoon*>(effect);
    const bool known = sun || moon || dynamic_cast<kxEnvCloudLayer*>(effect) ||
                       dynamic_cast<kxEnvCloudVolume*>(effect);
    if (!known || m_effectPlaces.count(effect) || (sun && m_sun) || (moon && m_moon)) {
        kuNotify::print(kuNotify::WARN, s_envType, "kxEnv::addEffect - effect refused");
        return KU_FAILURE;
    }
    m_effects.emplace_back(effect);
    m_effectPlaces[effect] = std::prev(m_effects.end());
    if (sun)
        m_sun = sun;
    if (moon)
        m_moon = moon;
    // Only a sun or a moon needs placing. Clouds change the light alone, which getFog and
    // applyToChannel check in any case: adding many layers costs no pass over the others.
    if (sun || moon)
        updateEffects();
    return KU_SUCCESS;
}

int kxEnv::removeEffect(kuBase* effect) {
    auto place = m_effectPlaces.find(effect);
    if (place == m_effectPlaces.end())
        return KU_FAILURE;
    const bool light = effect == m_sun || effect == m_moon;
    if (effect == m_sun)
        m_sun = nullptr;
    if (effect == m_moon)
        m_moon = nullptr;
    m_effects.erase(place->second);
    m_effectPlaces.erase(place);
    if (light)
        updateFogColor();
    return KU_SUCCESS;
}

kxEnvSun* kxEnv::getSun() const {
    return m_sun;
}
kxEnvMoon* kxEnv::getMoon() const {
    return m_moon;
}

float kxEnv::computeBrightness() const {
    const bool hasSun = getSun() != nullptr;
    const bool hasMoon = getMoon() != nullptr;
    if (!hasSun && !hasMoon)
        return -1.0f;
    const Sky sky = computeSky(m_timeOfDay, m_year, m_month, m_day, m_latitude, m_longitude);
    double brightness = 0.0;
    if (hasSun)
        brightness += sunShare(sky.sunElevation);
    if (hasMoon)
        brightness += moonShare(sky.moonElevation, sky.moonPhase);
    for (const kuRef<kuBase>& effect : m_effects)
        if (const kxEnvCloudLayer* layer = dynamic_cast<const kxEnvCloudLayer*>(effect.get()))
            brightness *= 1.0 - CLOUD_DIMMING * layer->getCoverage();
    return static_cast<float>(std::min(1.0, std::max(0.0, brightness)));
}

float kxEnv::getIlluminationBrightness(const kxObserver*) const {
    return computeBrightness();
}

kuVec3d kxEnv::getSunDirection() const {
    return computeSky(m_timeOfDay, m_year, m_month, m_day, m_latitude, m_longitude).sunDirection;
}
double kxEnv::getSunElevation() const {
    return computeSky(m_timeOfDay, m_year, m_month, m_day, m_latitude, m_longitude).sunElevation;
}
kuVec3d kxEnv::getMoonDirection() const {
    return computeSky(m_timeOfDay, m_year, m_month, m_day, m_latitude, m_longitude).moonDirection;
}
double kxEnv::getMoonElevation() const {
    return computeSky(m_timeOfDay, m_year, m_month, m_day, m_latitude, m_longitude).moonElevation;
}
double kxEnv::getMoonPhase() const {
    return computeSky(m_timeOfDay, m_year, m_month, m_day, m_latitude, m_longitude).moonPhase;
}

void kxEnv::getSunLight(kuVec3f* direction, float diffuse[4], float ambient[4]) const {
    const Sky sky = computeSky(m_timeOfDay, m_year, m_month, m_day, m_latitude, m_longitude);
    const bool moonLight = getMoon() && sky.moonElevation > 0.0 &&
                           (!getSun() || sky.sunElevation <= CIVIL_TWILIGHT_END);
    float brightness = computeBrightness();
    if (brightness < 0.0f)
        brightness = 1.0f;
    if (direction)
        *direction = kuVec3f(moonLight ? sky.moonDirection : sky.sunDirection);
    const float* color = moonLight ? MOON_COLOR : SUN_COLOR;
    const float ambientLevel = AMBIENT_FLOOR + AMBIENT_DAY * brightness;
    for (int i = 0; i < 3; ++i) {
        if (diffuse)
            diffuse[i] = color[i] * brightness;
        if (ambient)
            ambient[i] = SKY_AMBIENT[i] * ambientLevel;
    }
    if (diffuse)
        diffuse[3] = 1.0f;
    if (ambient)
        ambient[3] = 1.0f;
}

void kxEnv::applyToChannel(ksChannel* channel, const kxObserver*) {
    if (!channel)
        return;
    updateFogColor();
    const bool enable = m_fogEnable && channel->getGraphicsModeEnable(ksChannel::MODE_FOG);
    ksChannel::Lighting lighting;
    kuVec3f toLight;
    getSunLight(&toLight, lighting.diffuse, lighting.ambient);
    lighting.direction[0] = toLight.x, lighting.direction[1] = toLight.y;
    lighting.direction[2] = toLight.z, lighting.direction[3] = 0.0f;
    channel->setFrameEnvironment(lighting, enable, m_fog.get());
}

void kxEnv::updateEffects() {
    const Sky sky = computeSky(m_timeOfDay, m_year, m_month, m_day, m_latitude, m_longitude);
    if (kxEnvSun* sun = getSun()) {
        sun->m_direction = sky.sunDirection;
        sun->m_elevation = sky.sunElevation;
    }
    if (kxEnvMoon* moon = getMoon()) {
        moon->m_direction = sky.moonDirection;
        moon->m_elevation = sky.moonElevation;
        moon->m_phase = sky.moonPhase;
    }
    updateFogColor();
}

void kxEnv::updateFogColor() {
    // An environment without sun or moon does not darken the scene, nor its fog.
    float level = computeBrightness();
    if (level < 0.0f)
        level = 1.0f;
    const float* current = m_fog->getColor();
    const float r = FOG_COLOR[0] * level, g = FOG_COLOR[1] * level, b = FOG_COLOR[2] * level;
    // Only a real change moves the fog's revision (and so makes the draw side apply it again).
    if (current[0] != r || current[1] != g || current[2] != b || current[3] != 1.0f)
        m_fog->setColor(r, g, b, 1.0f);
}

void kxEnv::publishFogParameters() const {
    // Made again when the registry was cleared since the last change.
    kuParameter* parameter = kuParameter::create(FOG_PARAMETERS, kuParameter::TYPE_FLOAT4);
    if (!parameter)
        return;
    const float values[4] = {static_cast<float>(m_visibility), m_fog->getDensity(), 0.0f,
                             m_fogEnable ? 1.0f : 0.0f};
    parameter->setFloats(values);
}

const kuBase::ClassType* kxEnv::getClassType() const {
    return s_envType;
}
kuBase::ClassType* kxEnv::getStaticClassType() {
    return s_envType;
}
int kxEnv::initializeClass() {
    return makeClassType(s_envType, "kxEnv", kuBase::getStaticClassType());
}
int kxEnv::shutdownClass() {
    return dropClassType(s_envType);
}
int kxEnv::getNum() {
    return kuGetInstanceCount(s_envType);
}
kxEnv* kxEnv::get(int index) {
    return kuGetInstance<kxEnv>(s_envType, index);
}

// ---- kxEnvGlobals ----

kxEnvGlobals* kxEnvGlobals::instance() {
    if (!s_globals)
        s_globals = new kxEnvGlobals;
    return s_globals;
}

void kxEnvGlobals::destroy() {
    delete s_globals;
    s_globals = nullptr;
}
