#ifndef KX_ENV_H
#define KX_ENV_H

#include <ku/kuBase.h>
#include <ku/kuVec.h>

#include <atomic>
#include <list>
#include <unordered_map>
#include <vector>

class krFog;
class krState;
class ksChannel;
class kxObserver;

// The sun of an environment. The environment that holds it sets where it stands whenever the
// time, date or place changes. Threads: application thread.
class KX_API kxEnvSun : public kuBase {
public:
    kxEnvSun();

    // Unit vector towards the sun (x east, y north, z up) and its elevation in degrees.
    const kuVec3d& getDirection() const { return m_direction; }
    double getElevation() const { return m_elevation; }

    const ClassType* getClassType() const override;
    static ClassType* getStaticClassType();
    static int initializeClass();
    static int shutdownClass();

protected:
    ~kxEnvSun() override;

private:
    friend class kxEnv;
    kuVec3d m_direction{0, 0, 1};
    double m_elevation = 90;
};

// The moon of an environment, placed and lit (its phase) by the environment that holds it.
// Threads: application thread.
class KX_API kxEnvMoon : public kuBase {
public:
    kxEnvMoon();

    const kuVec3d& getDirection() const { return m_direction; }
    double getElevation() const { return m_elevation; }
    // The illuminated fraction of the disc: 0 new moon, 1 full moon.
    double getPhase() const { return m_phase; }

    const ClassType* getClassType() const override;
    static ClassType* getStaticClassType();
    static int initializeClass();
    static int shutdownClass();

protected:
    ~kxEnvMoon() override;

private:
    friend class kxEnv;
    kuVec3d m_direction{0, 0, -1};
    double m_elevation = -90;
    double m_phase = 0;
};

// A layer of cloud: base altitude and thickness in metres, coverage from 0 (clear) to 1
// (overcast), and the render state it is drawn with (modules add elements to state 0).
// Threads: application thread.
class KX_API kxEnvCloudLayer : public kuBase {
public:
    enum { NUM_STATES = 1 };

    kxEnvCloudLayer();

    void setAltitude(double metres) { m_altitude = metres; }
    double getAltitude() const { return m_altitude; }
    // Negative thicknesses count as 0.
    void setThickness(double metres) { m_thickness = metres > 0 ? metres : 0; }
    double getThickness() const { return m_thickness; }
    // Clamped to [0, 1].
    void setCoverage(float coverage);
    float getCoverage() const { return m_coverage; }

    // The layer's render state; made on first use. Null outside [0, NUM_STATES).
    krState* getState(int index);

    const ClassType* getClassType() const override;
    static ClassType* getStaticClassType();
    static int initializeClass();
    static int shutdownClass();

protected:
    ~kxEnvCloudLayer() override;

private:
    double m_altitude = 2000;
    double m_thickness = 500;
    float m_coverage = 0.5f;
    kuRef<krState> m_states[NUM_STATES];
};

// A bounded body of cloud. It carries no settings yet besides its render state (modules add
// elements to state 0): an environment accepts it as an effect so that configurations naming
// one load. Threads: application thread.
class KX_API kxEnvCloudVolume : public kuBase {
public:
    enum { NUM_STATES = 1 };

    kxEnvCloudVolume();

    // The volume's render state; made on first use. Null outside [0, NUM_STATES).
    krState* getState(int index);

    const ClassType* getClassType() const override;
    static ClassType* getStaticClassType();
    static int initializeClass();
    static int shutdownClass();

protected:
    ~kxEnvCloudVolume() override;

private:
    kuRef<krState> m_states[NUM_STATES];
};

// The sky and light of the scene: time of day, date and place drive a sun and a moon, whose
// combined brightness darkens the night; visibility drives a fog that every channel the
// environment is applied to is drawn with.
//
// Sun position (a standard low-precision almanac, good to about 0.01 degree in declination):
// with n the days from 2000-01-01 12:00 UT,
//   mean longitude L = 280.460 + 0.9856474 n, mean anomaly g = 357.528 + 0.9856003 n,
//   ecliptic longitude lambda = L + 1.915 sin g + 0.020 sin 2g, obliquity e = 23.439,
//   declination d = asin(sin e sin lambda).
// The time of day is local apparent solar time at the scene origin, so the hour angle is
// H = 15 (t - 12) degrees (the sun crosses the meridian at 12:00); the longitude converts it to
// universal time, UT = t - lon / 15, which dates n. The elevation h follows from
//   sin h = sin(lat) sin d + cos(lat) cos d cos H.
// Moon: its age is the time since the new moon of 2000-01-06 18:14 UT modulo the synodic month
// (29.530588853 days); its elongation from the sun is E = 360 age / month, its phase
// (1 - cos E) / 2, and it is placed on the ecliptic at lambda + E (its 5 degree inclination
// ignored), its hour angle behind the sun's by the difference of right ascensions.
//
// Brightness: the sun gives smoothstep((h + 6) / 16), 0 at 6 degrees below the horizon (the
// end of civil twilight), 1 at 10 degrees above, with zero slope at both ends. The moon adds
// 0.1 phase smoothstep(h_moon / 10). Each cloud layer multiplies by (1 - 0.2 coverage).
//
// Threads: application thread. Observers call applyToChannel at each frame boundary, which
// hands the frame's light and fog to the channel's draw thread as copies.
class KX_API kxEnv : public kuBase {
public:
    typedef std::list<kuRef<kuBase>> EffectList;
    typedef EffectList::const_iterator const_envfx_iterator;

    // Defaults: 12:00 on 21 June 2000, latitude 45 N, longitude 0, visibility 20 km, fog on,
    // no effects.
    kxEnv();

    // Hours of local apparent solar time in [0, 24]. -32767 outside (the time is kept).
    int setTimeOfDay(double hours);
    double getTimeOfDay() const { return m_timeOfDay; }
    // A Gregorian calendar date. -32767 for a month or day that does not exist.
    int setDate(int year, int month, int day);
    void getDate(int& year, int& month, int& day) const;
    // Degrees: latitude in [-90, 90] (north positive), longitude in [-180, 180] (east
    // positive). -32767 outside.
    int setLocation(double latDeg, double lonDeg);
    double getLatitude() const { return m_latitude; }
    double getLongitude() const { return m_longitude; }

    // Metres at which a dark object keeps 2% of its contrast. -32767 unless positive.
    int setVisibility(double metres);
    double getVisibility() const { return m_visibility; }
    void setFogEnable(bool enable);
    bool getFogEnable() const { return m_fogEnable; }
    // The environment's exponential fog (density 3.912 / visibility, colour a grey-blue scaled
    // by the light level), brought up to date with the current light.
    krFog* getFog();

    // Effects: one kxEnvSun, one kxEnvMoon, any number of kxEnvCloudLayer and
    // kxEnvCloudVolume. -32767 for null, another kind of object, one already added, or a
    // second sun or moon.
    int addEffect(kuBase* effect);
    int removeEffect(kuBase* effect);
    int getNumEffects() const { return static_cast<int>(m_effects.size()); }
    // In the order they were added.
    const_envfx_iterator begin_envfx() const { return m_effects.begin(); }
    const_envfx_iterator end_envfx() const { return m_effects.end(); }
    kxEnvSun* getSun() const;
    kxEnvMoon* getMoon() const;

    // The combined brightness of sun and moon in [0, 1] as seen by observer (which may be null;
    // its offset from the scene origin is too small to matter). -1 when the environment has
    // neither a sun nor a moon: it does not light the scene.
    // Virtual so that an application can model the light its own way.
    virtual float getIlluminationBrightness(const kxObserver* observer) const;

    // Unit vectors towards the sun and the moon (x east, y north, z up), elevations in degrees
    // and the moon's illuminated fraction, whether or not the effects are present.
    kuVec3d getSunDirection() const;
    double getSunElevation() const;
    kuVec3d getMoonDirection() const;
    double getMoonElevation() const;
    double getMoonPhase() const;

    // The main light: the direction towards the sun (towards the moon when the sun is below
    // civil twilight and the moon is up), a diffuse colour scaled by the brightness and an
    // ambient colour with a small floor so that night scenes are not pitch black. Without sun
    // and moon the scene is lit as at full daylight. Any output may be null.
    void getSunLight(kuVec3f* direction, float diffuse[4], float ambient[4]) const;

    // Sets the channel's environment for the calling thread's frame: light 0 from getSunLight
    // and the environment's fog, enabled when the fog is on and the channel draws fog.
    // observer may be null.
    void applyToChannel(ksChannel* channel, const kxObserver* observer);

    const ClassType* getClassType() const override;
    static ClassType* getStaticClassType();
    static int initializeClass();
    static int shutdownClass();
    static int getNum();
    static kxEnv* get(int index);

    // The parameter the fog settings are published under, four floats:
    //   [0] visibility in metres;
    //   [1] the exponential fog's density per metre, 3.912 / visibility (the fog keeps
    //       exp(-density * distance) of a colour): what readers that scale an effect by the
    //       thickness of the fog take;
    //   [2] fog start, 0 (the fog starts at the eye);
    //   [3] enable, 0 or 1.
    static const char* const FOG_PARAMETERS;

protected:
    ~kxEnv() override;

private:
    // Places the sun and moon after a change of time, date or place.
    void updateEffects();
    void updateFogColor();
    void publishFogParameters() const;
    float computeBrightness() const;

    double m_timeOfDay = 12.0;
    int m_year = 2000, m_month = 6, m_day = 21;
    double m_latitude = 45.0, m_longitude = 0.0;
    double m_visibility = 20000.0;
    bool m_fogEnable = true;
    kuRef<krFog> m_fog;
    // In the order they were added, with each one's place for constant-time look-up and
    // removal, and the sun and the moon among them.
    EffectList m_effects;
    std::unordered_map<const kuBase*, EffectList::iterator> m_effectPlaces;
    kxEnvSun* m_sun = nullptr;
    kxEnvMoon* m_moon = nullptr;
};

// Settings shared by every environment.
// Threads: instance()/destroy() on the application thread; the settings from any thread.
class KX_API kxEnvGlobals {
public:
    // Made on first use.
    static kxEnvGlobals* instance();
    // Deletes the instance (kernel shutdown); the next instance() makes a fresh one.
    static void destroy();

    // Whether the sky lights the scene (default true).
    void setSkyLightEnable(bool enable) { m_skyLight = enable; }
    bool getSkyLightEnable() const { return m_skyLight; }

private:
    kxEnvGlobals() = default;
    std::atomic<bool> m_skyLight{true};
};

#endif
