#ifndef KX_STRATEGY_H
#define KX_STRATEGY_H

#include <ku/kuBase.h>

class kxPositionable;

// Moves a positionable once per frame (a vehicle driving a path, a light sweeping).
// Its class type is named "kxPositionable::Strategy" (the name configuration files' references
// to strategies ask for).
// Threads: run by the kernel on the application thread.
class KX_API kxStrategy : public kuBase {
public:
    // time: seconds since the first frame; delta: seconds since the previous frame.
    virtual void update(kxPositionable* target, double time, double delta) = 0;

    const ClassType* getClassType() const override;
    static ClassType* getStaticClassType();
    static int initializeClass();
    static int shutdownClass();

protected:
    ~kxStrategy() override = default;
};

#endif
