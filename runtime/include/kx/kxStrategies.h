#ifndef KX_STRATEGIES_H
#define KX_STRATEGIES_H

#include <ku/kuVec.h>
#include <kx/kxStrategy.h>

#include <vector>

class kxTransform;

// Headings follow kuMatrix::makeRotate: 0 faces +y, positive turns counter-clockwise seen from
// above (90 faces -x). The strategies below keep their own progress (distance, angle), advanced
// by each update's delta, so a disabled strategy resumes where it stopped; give each target its
// own strategy object.
// Threads: application thread (settings between frames, update by the kernel).

// Drives its target along a polyline of waypoints at a constant speed, heading along the
// direction of travel (pitch and roll are left as they are). Without looping it stops at the
// last waypoint; looping, it returns to the first along a closing leg and goes round again.
class KX_API kxPathStrategy : public kxStrategy {
public:
    kxPathStrategy();

    void addWaypoint(double x, double y, double z);
    void clearWaypoints();
    int getNumWaypoints() const { return static_cast<int>(m_waypoints.size()); }
    // (0, 0, 0) when out of range.
    kuVec3d getWaypoint(int index) const;
    // Units per second. 1, or -32767 for a negative or non-finite speed (the speed is kept).
    int setSpeed(double speed);
    double getSpeed() const { return m_speed; }
    void setLoop(bool loop) { m_loop = loop; }
    bool getLoop() const { return m_loop; }
    // Length of the path, with the closing leg when looping.
    double getLength() const;
    // Distance travelled from the first waypoint.
    void setDistance(double distance) { m_distance = distance; }
    double getDistance() const { return m_distance; }

    // The place at a distance along the path (clamped to the ends, or wrapped when looping) and
    // the heading of the leg it lies on; heading is left unchanged where the path has no
    // direction (a single waypoint, or waypoints that all coincide). 1, or -32767 without
    // waypoints.
    int evaluate(double distance, kuVec3d* position, double* heading) const;
    void update(kxPositionable* target, double time, double delta) override;

    const ClassType* getClassType() const override;
    static ClassType* getStaticClassType();
    static kuBase* create();
    static int initializeClass();
    static int shutdownClass();

protected:
    ~kxPathStrategy() override;

private:
    std::vector<kuVec3d> m_waypoints;
    double m_speed = 1;
    bool m_loop = false;
    double m_distance = 0;
};

// Circles its target about a centre: at a radius, a height above the centre, an angular speed
// in degrees per second (positive: counter-clockwise seen from above), heading along the
// direction of travel. The angle is measured from +x counter-clockwise.
class KX_API kxOrbitStrategy : public kxStrategy {
public:
    kxOrbitStrategy();

    void setCenter(double x, double y, double z) { m_center.set(x, y, z); }
    const kuVec3d& getCenter() const { return m_center; }
    // 1, or -32767 for a negative or non-finite radius (the radius is kept).
    int setRadius(double radius);
    double getRadius() const { return m_radius; }
    void setAngularSpeed(double degreesPerSecond) { m_angularSpeed = degreesPerSecond; }
    double getAngularSpeed() const { return m_angularSpeed; }
    void setHeight(double height) { m_height = height; }
    double getHeight() const { return m_height; }
    // The current angle in degrees, kept in [0, 360).
    void setAngle(double degrees);
    double getAngle() const { return m_angle; }

    // The place and heading at an angle.
    void evaluate(double degrees, kuVec3d* position, double* heading) const;
    void update(kxPositionable* target, double time, double delta) override;

    const ClassType* getClassType() const override;
    static ClassType* getStaticClassType();
    static kuBase* create();
    static int initializeClass();
    static int shutdownClass();

protected:
    ~kxOrbitStrategy() override;

private:
    kuVec3d m_center;
    double m_radius = 1;
    double m_angularSpeed = 0;
    double m_height = 0;
    double m_angle = 0;
};

// Keeps its target aimed at a transform: after an optional motion strategy has moved the
// target, sets its heading and pitch toward the transform's world position (roll 0). The aim
// is worked out in world coordinates and set as the target's own orientation, so it is exact
// for targets whose parents do not rotate (observers, nodes under the scene root).
class KX_API kxLookAtStrategy : public kxStrategy {
public:
    kxLookAtStrategy();

    void setNode(kxTransform* node);
    kxTransform* getNode() const;
    // 1, or -32767 when the motion would run this strategy again (itself, or a look-at whose
    // motion chain leads back here).
    int setMotion(kxStrategy* motion);
    kxStrategy* getMotion() const { return m_motion.get(); }

    // Heading and pitch in degrees that turn a target at from toward to; false (outputs left
    // unchanged) when the two coincide.
    static bool aim(const kuVec3d& from, const kuVec3d& to, double* heading, double* pitch);
    void update(kxPositionable* target, double time, double delta) override;

    const ClassType* getClassType() const override;
    static ClassType* getStaticClassType();
    static kuBase* create();
    static int initializeClass();
    static int shutdownClass();

protected:
    ~kxLookAtStrategy() override;

private:
    kuRef<kxTransform> m_node;
    kuRef<kxStrategy> m_motion;
};

#endif
