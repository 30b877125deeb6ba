#ifndef KXRUN_DEFAULTSCENE_H
#define KXRUN_DEFAULTSCENE_H

#include <ku/kuBase.h>

#include <vector>

// The night scene kxrun runs without a configuration file (examples/night_drive.xml describes
// the same scene): hilly terrain, a vehicle with two headlights driving a loop, a searchlight
// turning on a tower, and an observer following the vehicle, at night.
// Threads: application thread, between kernel initialisation and configure.
class kxRunDefaultScene {
public:
    // Builds the scene with one window of the given size ("window", with one channel
    // "channel"). 1, or -32767 when a part cannot be made.
    int build(int width, int height);
    // Drops the scene's objects (before the kernel shuts down).
    void release() { m_objects.clear(); }

private:
    template <class T>
    T* keep(T* object) {
        m_objects.push_back(object);
        return object;
    }

    std::vector<kuRef<kuBase>> m_objects;
};

#endif
