#ifndef KS_CHANNEL_H
#define KS_CHANNEL_H

#include <ku/kuBase.h>
#include <ku/kuMatrix.h>
#include <ku/kuPipeline.h>

#include <memory>
#include <mutex>
#include <vector>

class krDrawContext;
class krFog;
class krState;
class ksChannelBinMgr;
class ksNode;
class ksWindow;

// A view into the scene drawn into part of a window: its draw area (fractions of the window),
// its projection, its offset from the observer that carries it, the view matrix of the frame
// being culled, its graphics modes and cull mask, and its bins. Channel ids are small
// integers, unique among live channels, from 0.
// Threads: settings on the application thread between frames; the view and bins are used by
// the channel's cull and draw threads.
class KX_API ksChannel : public kuBase {
public:
    // Channel events, told to subscribers on the draw thread with the draw context.
    enum Event {
        EVENT_PRE_DRAW = 1,  // before anything is drawn (after the clear)
        EVENT_POST_DRAW = 2, // after the bins are drawn
        EVENT_PRE_BINS = 3,  // before the scene's bins are drawn
        NUM_EVENTS = 4
    };
    // Graphics-mode bits. A sensor view (night-vision or thermal imagery) shows the scene as
    // the sensor sees it, without the visible-light effects of the eye's view.
    enum GraphicsMode { MODE_LIGHTING = 1, MODE_FOG = 2, MODE_SENSOR = 4, MODE_WIREFRAME = 8 };
    enum { MAX_CHANNELS = 256 };

    class KX_API Subscriber {
    public:
        virtual ~Subscriber() = default;
        virtual void notify(int event, ksChannel* channel, krDrawContext* context) = 0;
    };

    // The settings a frame is culled and drawn with: the draw area, projection, graphics modes,
    // cull mask and clear colour as they were when the application thread last set the frame's
    // view or environment. Cull and draw threads read these, never the live settings, which the
    // application thread may change for a later frame meanwhile.
    struct KX_API FrameSettings {
        double area[4] = {0, 1, 0, 1}; // left, right, bottom, top
        double fovX = 60, fovY = 45, nearClip = 1, farClip = 20000;
        int graphicsModes = MODE_LIGHTING | MODE_FOG;
        unsigned int cullMask = 0xffffffffu;
        float clearColor[4] = {0, 0, 0, 1};

        // The OpenGL projection in row-vector layout.
        kuMatrixd getProjectionMatrix() const;
        bool getGraphicsModeEnable(int mode) const { return (graphicsModes & mode) != 0; }
    };

    ksChannel();

    // The id; -1 when all MAX_CHANNELS ids are taken.
    int getId() const { return m_id; }

    // The draw area as fractions of the window, edges from its lower-left corner.
    void setDrawArea(double left, double right, double bottom, double top);
    void getDrawArea(double& left, double& right, double& bottom, double& top) const;
    // The draw area in window pixels (x, y from the lower-left corner).
    void getViewport(int& x, int& y, int& width, int& height) const;
    // The same for a frame's settings, in the window as it is now.
    void getViewport(const FrameSettings& settings, int& x, int& y, int& width, int& height) const;
    ksWindow* getWindow() const { return m_window; }

    // Symmetric perspective: full field of view in degrees across and up, near and far.
    void setProjection(double fovX, double fovY, double nearClip, double farClip);
    void getProjection(double& fovX, double& fovY, double& nearClip, double& farClip) const;
    // The OpenGL projection in row-vector layout.
    kuMatrixd getProjectionMatrix() const;

    // The channel's place and turn relative to its observer.
    void setOffset(double x, double y, double z, double heading, double pitch, double roll);
    const kuMatrixd& getOffsetMatrix() const { return m_offset; }
    // World to eye coordinates (OpenGL eye space: looking down -z, y up), set from the observer
    // each frame. Kept per frame: the view belongs to the calling thread's frame
    // (ksThread::resolveFrameNumber()), so a draw thread drawing frame N sees the view N was
    // culled with while the application thread sets N + 2's. A frame that was given none sees
    // the latest view given before it.
    void setViewMatrix(const kuMatrixd& view);
    kuMatrixd getViewMatrix() const;
    // The eye matrix from the observer's world matrix: offset, observer, then the change of
    // axes from the scene's (y forward, z up) to OpenGL's eye space.
    static kuMatrixd makeViewMatrix(const kuMatrixd& eyeWorld);

    // Light 0 of a frame: a direction towards the light in world coordinates (w = 0) and its
    // colours. The default is a dim, moonlit light.
    struct Lighting {
        float direction[4] = {0.3f, -0.4f, 0.866f, 0.0f};
        float diffuse[4] = {0.6f, 0.6f, 0.6f, 1.0f};
        float ambient[4] = {0.3f, 0.3f, 0.3f, 1.0f};
    };
    // The environment of the calling thread's frame, set on the application thread with the
    // view: the light and the fog (copied; none when fog is null or enable is false). A frame
    // given none keeps the environment of the frame before.
    void setFrameEnvironment(const Lighting& lighting, bool fogEnable, const krFog* fog);
    // What the calling thread's frame is drawn with, as the view is found (getViewMatrix): the
    // light, and the state the channel's drawing inherits, which is state 0 as it was when the
    // frame's view or environment was set, with the frame's fog. The state is never changed
    // once handed out, so a draw thread may hold it while the application thread goes on.
    Lighting getFrameLighting() const;
    kuRef<const krState> getFrameState() const;
    FrameSettings getFrameSettings() const;
    // The scene (its master root) the calling thread's frame culls, set on the application
    // thread with the view; null for a frame given none, which is then not culled.
    void setFrameScene(ksNode* root);

    // Culls the frame into the channel's bins on its cull thread, using the pipeline's clones
    // of the frame's scene, then runs the bins' cull processors in order value. A frame
    // without scene is not culled (and so not drawn).
    void cull(int pipeline, int frame);

    // The live settings, on the application thread; a frame takes a copy (getFrameSettings).
    void setGraphicsModes(int modes) { m_settings.graphicsModes = modes; }
    int getGraphicsModes() const { return m_settings.graphicsModes; }
    void setGraphicsModeEnable(int mode, bool enable) {
        int& modes = m_settings.graphicsModes;
        modes = enable ? (modes | mode) : (modes & ~mode);
    }
    bool getGraphicsModeEnable(int mode) const { return m_settings.getGraphicsModeEnable(mode); }
    void setCullMask(unsigned int mask) { m_settings.cullMask = mask; }
    unsigned int getCullMask() const { return m_settings.cullMask; }
    void setClearColor(float r, float g, float b, float a);
    const float* getClearColor() const { return m_settings.clearColor; }

    ksChannelBinMgr* getChannelBinMgr() const { return m_binMgr.get(); }
    // The channel's render states; state 0 holds what the whole channel is drawn with (an
    // environment's fog, for instance). Made on first use.
    krState* getState(int index);
    enum { NUM_STATES = 2 };

    // Draws the channel's bins of a frame it was culled in, on the window's draw thread with
    // the window's context: clears the draw area, sets the frame's light, state and matrices,
    // tells EVENT_PRE_BINS, runs each bin's draw processor (or draws its records) in order
    // value, then tells EVENT_POST_DRAW. Nothing it sets leaks into the next channel.
    void draw(krDrawContext* context, int frame);

    int addSubscriber(int event, Subscriber* subscriber);
    int removeSubscriber(int event, Subscriber* subscriber);
    void notifySubscribers(int event, krDrawContext* context);

    const ClassType* getClassType() const override;
    static ClassType* getStaticClassType();
    static int initializeClass();
    static int shutdownClass();
    // Live channels in creation order.
    static int getNum();
    static ksChannel* get(int index);

protected:
    ~ksChannel() override;

private:
    friend class ksWindow;
    void setWindow(ksWindow* window) { m_window = window; }

    int m_id;
    FrameSettings m_settings;
    ksWindow* m_window = nullptr;
    kuMatrixd m_offset;
    // The views of the frames in flight (update, cull, draw and one spare), by frame.
    struct View {
        int frame = -1;
        kuMatrixd matrix;
        Lighting lighting;
        bool fogEnable = false;
        kuRef<const krFog> fog;
        kuRef<const krState> state;
        ksNode* scene = nullptr;
        FrameSettings settings;
    };
    enum { NUM_VIEWS = kuPipeline::NUM_FRAME_SLOTS };
    // The frame's own slot, or else the oldest one taken for it (m_viewMutex held).
    View& takeView(int frame);
    const View* findView(int frame) const;
    void snapshotState(View& view);
    mutable std::mutex m_viewMutex;
    View m_views[NUM_VIEWS];
    std::unique_ptr<ksChannelBinMgr> m_binMgr;
    kuRef<krState> m_states[NUM_STATES];
    std::mutex m_subscriberMutex;
    // Replaced, never changed, when a subscriber comes or goes, so that telling them takes no
    // copy on the draw thread.
    typedef std::vector<Subscriber*> SubscriberList;
    std::shared_ptr<const SubscriberList> m_subscribers[NUM_EVENTS];
};

#endif
