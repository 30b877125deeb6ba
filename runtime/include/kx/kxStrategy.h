#ifndef KX_STRATEGY_H
#define KX_STRATEGY_H

#include <ku/kuBase.h>

class kxPositionable;

// Moves a positionable once per frame (a vehicle driving a path, a light sweeping).
// Threads: run by the kernel on the application thread.
class KX_API kxStrategy : public kuBase {
public:
    // time: seconds since the first frame; delta: seconds since the previous frame.
    virtual void update(kxPositionable* target, double time, double delta) = 0;

protected:
    ~kxStrategy() override = default;
};

#endif
