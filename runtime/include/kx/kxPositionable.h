#ifndef KX_POSITIONABLE_H
#define KX_POSITIONABLE_H

#include <ku/kuExport.h>
#include <ku/kuMemBase.h>
#include <ku/kuVec.h>

class kxCoordConverter;
class kxStrategy;

// Something with a place: position, orientation (heading, pitch, roll in degrees), scale, an
// optional strategy that moves it each frame and the coordinate converter its position is
// expressed in (none: scene-local coordinates).
// Threads: application thread.
class KX_API kxPositionable {
public:
    typedef kxStrategy Strategy;

    kxPositionable();
    kxPositionable(const kxPositionable& other);
    kxPositionable& operator=(const kxPositionable& other);
    virtual ~kxPositionable();

    // converter: the frame (x, y, z) are given in; it is re-expressed in this positionable's
    // own frame when the two differ. Null: already in the own frame.
    void setPosition(double x, double y, double z, const kxCoordConverter* converter = nullptr);
    void getPosition(double& x, double& y, double& z) const;
    const kuVec3d& getPosition() const { return m_position; }
    void setOrientation(double heading, double pitch, double roll);
    void getOrientation(double& heading, double& pitch, double& roll) const;
    const kuVec3d& getOrientation() const { return m_orientation; }
    // Sets the orientation, or adds to it when relative.
    void setRotate(double heading, double pitch, double roll, bool relative);
    // Moves by (dx, dy, dz) in the own frame.
    void translate(double dx, double dy, double dz);
    // Moves by (x, y, z) when relative, else moves to (x, y, z).
    void setTranslate(double x, double y, double z, bool relative);
    void setScale(double x, double y, double z);
    const kuVec3d& getScale() const { return m_scale; }

    void setStrategy(kxStrategy* strategy);
    kxStrategy* getStrategy() const;
    void setStrategyEnable(bool enable) { m_strategyEnable = enable; }
    bool getStrategyEnable() const { return m_strategyEnable; }
    // Runs the strategy when there is one and it is enabled.
    void runStrategy(double time, double delta);
    // Runs the strategies of every positionable that has one (the kernel, once per frame).
    static void runAllStrategies(double time, double delta);

    void setCoordConverter(kxCoordConverter* converter);
    kxCoordConverter* getCoordConverter() const;

    // Position, orientation and scale in world coordinates (through the parents for nodes),
    // the position expressed in the converter's frame (null: the own frame). Any output may be
    // null. Returns 1, or -32767 when a conversion fails.
    virtual int getAbsolutePosition(kuVec3d* position, kuVec3d* orientation, kuVec3d* scale,
                                    const kxCoordConverter* converter) const;

    // Copies or compares every positionable setting.
    void copyPositionable(const kxPositionable& source);
    bool comparePositionable(const kxPositionable& other) const;

protected:
    // A replica (a scene-graph clone) follows its master and never runs a strategy itself.
    void markReplica();
    // Called after any change of position, orientation or scale.
    virtual void positionableChanged() {}
    // Re-expresses a point of the own frame in another converter's frame (null: unchanged).
    int convertToFrame(const kuVec3d& point, const kxCoordConverter* converter,
                       kuVec3d* result) const;

private:
    kuVec3d m_position;
    kuVec3d m_orientation;
    kuVec3d m_scale{1, 1, 1};
    bool m_strategyEnable = true;
    bool m_replica = false;
    kuRef<kxStrategy> m_strategy;
    kuRef<kxCoordConverter> m_converter;
};

#endif
