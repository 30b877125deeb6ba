#ifndef KX_KERNEL_H
#define KX_KERNEL_H

#include <ku/kuMemBase.h>

#include <atomic>
#include <memory>
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
    // How a frame's work is spread over threads.
    enum ThreadingMode {
        // Update, cull and draw one after the other on the application thread (repeatable).
        THREADING_SERIAL = 0,
        // Per window, a cull thread culls frame N and a draw thread (the owner of the window's
        // GL context) draws frame N-1 while the application thread updates frame N+1. The
        // application and cull threads meet at each frame boundary, where the frame's tokens
        // reach the clones; views and per-frame data are kept per frame for the draw thread.
        THREADING_PIPELINED = 1
    };

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

    // A layer above the kernel (configuration files) joins start-up and shutdown without the
    // kernel depending on it: initialize runs each start hook once the kernel exists; shutdown
    // runs each stop hook, in reverse order, after the modules' shutdown and before they are
    // released, so that what the layer made goes while its classes still exist. Either hook may
    // be null; a pair registered again is kept once. Meant for static registrars: call it as the
    // library loads or on the application thread outside initialize/shutdown.
    // 1, or -32767 when MAX_LAYER_HOOKS pairs are registered already.
    typedef void (*LayerHook)();
    static constexpr int MAX_LAYER_HOOKS = 4;
    static int addLayerHooks(LayerHook start, LayerHook stop);

    // preConfigure, then configure, of every module in load order.
    int configure();
    // Stops the proxy manager, then unconfigure and shutdown of every module in reverse load
    // order.
    int unconfigure();
    bool isConfigured() const { return m_configured; }
    // Runs one frame; frames are numbered from 1. 1, or -32767 when not configured.
    // A frame: finish the line-of-sight run of the previous frame, execute the proxy
    // requests and poll the property checkers (kxProxyMgr), run the strategies, tell
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
    // Set between frames; takes effect at the next frame.
    void setThreadingMode(int mode);
    int getThreadingMode() const { return m_threadingMode; }
    // Waits until every window has drawn every frame given to it (a no-op in serial mode).
    // Call it before reading a window's image. Pipelined, each frame in flight holds the
    // channels, observers, scenes and observer attachments it reads, so that the application
    // may release them at any time; the holds go here, or once later frames show the frame
    // drawn, on the application thread.
    void finishFrames();
    // One window's part of a frame: cull its observed channels, draw them, recycle the records.
    // Serial mode; the pipelined mode runs the cull and the draw (with the recycling) on the
    // window's two threads.
    void processWindow(ksWindow* window, int frame);

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
    void cullWindow(ksWindow* window, int frame);
    void drawWindow(ksWindow* window, int frame);
    // Draws the frame (when drawing is on) and recycles its records.
    void drawAndRecycle(ksWindow* window, int frame);
    // Waits until every window's cull thread is idle (its frames handed to its draw thread).
    void waitForCulls();
    void stopPipelines();
    struct WindowWorker;

    bool m_configured = false;
    bool m_firstFrameDone = false;
    // unconfigure has already run the modules' shutdown phase.
    bool m_modulesShutDown = false;
    int m_frame = 0;
    double m_frameRate = 60.0;
    std::atomic<bool> m_drawEnable{true}; // read by the draw threads
    int m_threadingMode = THREADING_SERIAL;
    std::vector<std::unique_ptr<WindowWorker>> m_workers;
    std::vector<Subscriber*> m_subscribers[NUM_EVENTS];
};

#endif
