#ifndef KX_KERNEL_H
#define KX_KERNEL_H

#include <ku/kuMemBase.h>

#include <vector>

class krDrawContext;
class ksChannel;
class ksServiceMgr;
class ksWindow;
class kxObserver;

// The runtime's frame loop and start-up. A typical application:
//   kxKernel::initialize(argc, argv);
//   kxModule::initializeModule("kxlightlobe");
//   kxModule::find("kxlightlobe")->initialize(argc, argv);
//   kxKernel::instance()->configure();  ...runFrame()...  unconfigure();
//   kxKernel::shutdown();
// Threads: everything on the application thread; subscribers are notified there.
class KX_API kxKernel : public kuMemBase {
public:
    // Kernel events.
    enum Event {
        EVENT_CONFIGURE = 1,
        EVENT_UNCONFIGURE = 2,
        EVENT_FIRST_FRAME = 3,
        EVENT_LAST_FRAME = 4,
        // Once per frame on the application thread, with the frame number in the service manager.
        EVENT_FRAME_UPDATE = 5,
        NUM_EVENTS = 6
    };

    // Told of kernel events.
    class KX_API Subscriber {
    public:
        virtual ~Subscriber() = default;
        virtual void notify(int event, ksServiceMgr* serviceMgr) = 0;
    };

    // Registers the runtime's classes, reads the options it knows (--notify LEVEL) and binds
    // the master thread buffer to the calling thread. 1, or -32767 when the runtime's classes
    // cannot be set up. A second call does nothing and returns 1.
    static int initialize(int argc, char** argv);
    // Releases the modules (in reverse load order), the runtime's objects and classes.
    static void shutdown();
    // The kernel, or null outside initialize/shutdown.
    static kxKernel* instance();
    static bool isInitialized();

    // preConfigure, then configure, of every module in load order.
    int configure();
    // unconfigure, then shutdown, of every module in reverse load order.
    int unconfigure();
    bool isConfigured() const { return m_configured; }
    // Runs one frame; frames are numbered from 1. 1, or -32767 when not configured.
    // A frame: finish the line-of-sight run of the previous frame, run the strategies, tell
    // the EVENT_FRAME_UPDATE subscribers, start this frame's line-of-sight run, deliver the
    // frame's update tokens to the pipelines' clones, cull every observed channel, then draw
    // and recycle the frame's cull records.
    int runFrame();
    int getFrameNumber() const { return m_frame; }
    // Simulated time advances by 1 / rate per frame, so that runs are repeatable.
    void setFrameRate(double framesPerSecond);
    double getFrameRate() const { return m_frameRate; }
    // Seconds of simulated time at the current frame (0 at frame 1).
    double getFrameTime() const;
    // Whether frames are drawn (windows get GL contexts); off, frames stop after the cull.
    void setDrawEnable(bool enable) { m_drawEnable = enable; }
    bool getDrawEnable() const { return m_drawEnable; }

    // The subscriber is not owned; removeSubscriber's last argument deletes it.
    int addSubscriber(int event, Subscriber* subscriber);
    int removeSubscriber(int event, Subscriber* subscriber, bool destroy);
    int getNumSubscribers(int event) const;

protected:
    ~kxKernel() override;

private:
    kxKernel() = default;
    void notify(int event);
    // The steps of a frame, kept apart so that a pipelined loop can run them on other threads.
    void updateStep();
    void cullStep();
    void drawStep();
    void drawWindow(ksWindow* window);
    void drawChannel(ksChannel* channel, krDrawContext* context);
    void setUpChannelLighting(ksChannel* channel, kxObserver* observer, krDrawContext* context);

    bool m_configured = false;
    bool m_firstFrameDone = false;
    // unconfigure has already run the modules' shutdown phase.
    bool m_modulesShutDown = false;
    int m_frame = 0;
    double m_frameRate = 60.0;
    bool m_drawEnable = true;
    std::vector<Subscriber*> m_subscribers[NUM_EVENTS];
};

#endif
