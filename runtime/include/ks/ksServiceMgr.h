#ifndef KS_SERVICEMGR_H
#define KS_SERVICEMGR_H

#include <ku/kuMemBase.h>

#include <atomic>

class ksChannelProxy;

// The scene-graph services of one frame pipeline: the frame number and the channel proxy.
// The kernel owns one and hands it to its subscribers.
// Threads: getters from any thread.
class KX_API ksServiceMgr : public kuMemBase {
public:
    ksServiceMgr();
    int getFrameNumber() const;
    void setFrameNumber(int frame);
    ksChannelProxy* getChannelProxy() const;

protected:
    ~ksServiceMgr() override;

private:
    std::atomic<int> m_frame{0};
    kuRef<ksChannelProxy> m_channelProxy;
};

// Per-thread access to the services and the frame being worked on.
class KX_API ksThread {
public:
    // The frame the calling thread is updating, culling or drawing (0 before the first frame);
    // the same as kuThread's.
    static int resolveFrameNumber();
    static void setFrameNumber(int frame);
    // The runtime's service manager (made on first use; released by the kernel's shutdown).
    static ksServiceMgr* resolveServiceMgr();
    static void releaseServiceMgr();
};

#endif
