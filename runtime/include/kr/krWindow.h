#ifndef KR_WINDOW_H
#define KR_WINDOW_H

#include <ku/kuExport.h>

#include <memory>
#include <mutex>
#include <string>

class krDrawContext;
class kuImage;

// A headless OpenGL window: an EGL context (OpenGL 2.1 compatibility) with a pbuffer surface of
// the window's size, so it has a real default frame buffer to draw into and read back.
// Threads: made, made current, drawn and read on one draw thread.
class KX_API krWindow {
public:
    krWindow(int width, int height);
    ~krWindow();
    krWindow(const krWindow&) = delete;
    krWindow& operator=(const krWindow&) = delete;

    // False when no context could be made; getError() says why.
    bool isValid() const;
    const std::string& getError() const { return m_error; }
    // A context is current on one thread at a time: a thread that made it current releases it
    // (doneCurrent) before another thread can make it current.
    bool makeCurrent();
    void doneCurrent();
    // Whether the context is current on the calling thread.
    bool isCurrent() const;
    // Waits until everything drawn into the context (current on the calling thread) is done.
    void finish();
    // Held by a thread while it draws into this window's context (current on it). Locks a
    // process-wide mutex only on drivers that cannot draw into two contexts at once: Mesa's
    // software rasterizer compiles its shader variants through LLVM, and two draw threads doing
    // so together crashed inside it. Other drivers draw windows in parallel.
    std::unique_lock<std::mutex> lockDrawing();
    int getWidth() const { return m_width; }
    int getHeight() const { return m_height; }
    // The window's pixel extent: x from x0 to x1, y from y0 to y1.
    void getCoordinates(int& x0, int& x1, int& y0, int& y1) const;
    // The frame buffer as an RGB image, bottom row first; null when the window is not valid or
    // its context is current on another thread. A context that was not current on the calling
    // thread is released again, so the thread that draws the window can take it back.
    kuImage* readPixels();
    krDrawContext* getDrawContext() { return m_context.get(); }
    // The GL renderer's name ("llvmpipe ...", a GPU's name), once the context is current.
    std::string getRenderer();

private:
    struct Egl;
    std::unique_ptr<Egl> m_egl;
    std::unique_ptr<krDrawContext> m_context;
    int m_width, m_height;
    // Whether drawing takes the process-wide lock: -1 until the driver is known.
    int m_serialDrawing = -1;
    std::string m_error;
};

#endif
