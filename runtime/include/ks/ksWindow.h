#ifndef KS_WINDOW_H
#define KS_WINDOW_H

#include <ku/kuBase.h>

#include <memory>
#include <string>
#include <vector>

class ksChannel;
class krWindow;
class ksThreadBuffer;

// A window: its place and size in pixels and the channels drawn into it. Each window has its
// own cull pipeline, with the thread buffer whose clones its channels cull.
// Threads: application thread.
class KX_API ksWindow : public kuBase {
public:
    ksWindow();

    void setOrigin(int x, int y);
    void getOrigin(int& x, int& y) const;
    // 1, or -32767 for a size that is not positive.
    int setSize(int width, int height);
    void getSize(int& width, int& height) const;

    // A channel belongs to at most one window; adding it here takes it from another.
    int addChannel(ksChannel* channel);
    int removeChannel(ksChannel* channel);
    int getNumChannels() const { return static_cast<int>(m_channels.size()); }
    ksChannel* getChannel(int index) const;
    bool hasChannel(const ksChannel* channel) const;

    // The pipeline's thread buffer (its clones are what this window's channels cull).
    ksThreadBuffer* getThreadBuffer() const { return m_threadBuffer; }

    // The window's OpenGL side, made on first use on the draw thread (at the window's size
    // then). Null only when it cannot be made (getRenderWindow()->getError() of a failed one is
    // kept in getRenderError()).
    krWindow* getRenderWindow();
    const std::string& getRenderError() const { return m_renderError; }
    // Draws the frame into the window's GL context (made current on the calling thread):
    // clears it, then draws every channel culled in the frame. Draw thread.
    void draw(int frame);
    // Gives every record of the frame back to its pool, drawn or not. Draw thread.
    void recycleFrame(int frame);

    // Writes the last drawn frame as a PNG file. 1, or -32767 (with a message) on failure.
    int writeImage(const char* fileName);

    const ClassType* getClassType() const override;
    static ClassType* getStaticClassType();
    static int initializeClass();
    static int shutdownClass();
    static int getNum();
    static ksWindow* get(int index);

protected:
    ~ksWindow() override;

private:
    int m_x = 0, m_y = 0, m_width = 640, m_height = 480;
    std::vector<kuRef<ksChannel>> m_channels;
    ksThreadBuffer* m_threadBuffer;
    std::unique_ptr<krWindow> m_renderWindow;
    std::string m_renderError;
};

#endif
