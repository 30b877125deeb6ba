#include <kr/krWindow.h>

#include <kr/krDrawContext.h>
#include <ku/kuImageFactory.h>
#include <ku/kuNotify.h>

#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <GL/gl.h>

#include <mutex>

namespace {

// One EGL display for the process, initialized on first use.
struct Display {
    std::mutex mutex;
    EGLDisplay display = EGL_NO_DISPLAY;
    bool tried = false;
    std::string error;
};

Display& sharedDisplay() {
    static Display s_display;
    return s_display;
}

EGLDisplay obtainDisplay(std::string& error) {
    Display& d = sharedDisplay();
    std::lock_guard<std::mutex> guard(d.mutex);
    if (!d.tried) {
        d.tried = true;
        // The surfaceless platform needs no display server; never the default display.
        d.display = eglGetPlatformDisplay(EGL_PLATFORM_SURFACELESS_MESA,
                                          reinterpret_cast<void*>(EGL_DEFAULT_DISPLAY), nullptr);
        EGLint major = 0, minor = 0;
        if (d.display == EGL_NO_DISPLAY || !eglInitialize(d.display, &major, &minor)) {
            d.error = "no EGL display on the surfaceless platform";
            d.display = EGL_NO_DISPLAY;
        }
    }
    error = d.error;
    return d.display;
}

} // namespace

struct krWindow::Egl {
    EGLDisplay display = EGL_NO_DISPLAY;
    EGLContext context = EGL_NO_CONTEXT;
    EGLSurface surface = EGL_NO_SURFACE;
};

krWindow::krWindow(int width, int height)
    : m_egl(new Egl), m_context(new krDrawContext), m_width(width), m_height(height) {
    m_context->setDrawableSize(width, height);
    m_egl->display = obtainDisplay(m_error);
    if (m_egl->display == EGL_NO_DISPLAY)
        return;
    eglBindAPI(EGL_OPENGL_API);
    const EGLint configAttributes[] = {EGL_SURFACE_TYPE,
                                       EGL_PBUFFER_BIT,
                                       EGL_RED_SIZE,
                                       8,
                                       EGL_GREEN_SIZE,
                                       8,
                                       EGL_BLUE_SIZE,
                                       8,
                                       EGL_ALPHA_SIZE,
                                       8,
                                       EGL_DEPTH_SIZE,
                                       24,
                                       EGL_RENDERABLE_TYPE,
                                       EGL_OPENGL_BIT,
                                       EGL_NONE};
    EGLConfig config = nullptr;
    EGLint count = 0;
    if (!eglChooseConfig(m_egl->display, configAttributes, &config, 1, &count) || count < 1) {
        m_error = "no EGL configuration with a pbuffer, RGBA8 and a depth buffer";
        return;
    }
    // A 2.1 context: the fixed-function pipeline and immediate mode are there.
    const EGLint contextAttributes[] = {EGL_CONTEXT_MAJOR_VERSION, 2, EGL_CONTEXT_MINOR_VERSION, 1,
                                        EGL_NONE};
    m_egl->context = eglCreateContext(m_egl->display, config, EGL_NO_CONTEXT, contextAttributes);
    const EGLint surfaceAttributes[] = {EGL_WIDTH, width, EGL_HEIGHT, height, EGL_NONE};
    m_egl->surface = eglCreatePbufferSurface(m_egl->display, config, surfaceAttributes);
    if (m_egl->context == EGL_NO_CONTEXT || m_egl->surface == EGL_NO_SURFACE)
        m_error = "EGL could not make a context or a pbuffer surface";
}

krWindow::~krWindow() {
    if (m_egl->display == EGL_NO_DISPLAY)
        return;
    if (m_egl->context != EGL_NO_CONTEXT && makeCurrent()) {
        m_context->releaseTextures();
        doneCurrent();
    }
    if (m_egl->surface != EGL_NO_SURFACE)
        eglDestroySurface(m_egl->display, m_egl->surface);
    if (m_egl->context != EGL_NO_CONTEXT)
        eglDestroyContext(m_egl->display, m_egl->context);
}

bool krWindow::isValid() const {
    return m_egl->context != EGL_NO_CONTEXT && m_egl->surface != EGL_NO_SURFACE;
}

bool krWindow::makeCurrent() {
    if (!isValid())
        return false;
    eglBindAPI(EGL_OPENGL_API);
    return eglMakeCurrent(m_egl->display, m_egl->surface, m_egl->surface, m_egl->context) ==
           EGL_TRUE;
}

void krWindow::doneCurrent() {
    if (m_egl->display != EGL_NO_DISPLAY)
        eglMakeCurrent(m_egl->display, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
}

void krWindow::getCoordinates(int& x0, int& x1, int& y0, int& y1) const {
    x0 = 0, x1 = m_width, y0 = 0, y1 = m_height;
}

bool krWindow::isCurrent() const {
    return isValid() && eglGetCurrentContext() == m_egl->context;
}

std::unique_lock<std::mutex> krWindow::lockDrawing() {
    static std::mutex s_drawing;
    if (m_serialDrawing < 0 && isCurrent()) {
        const std::string renderer = getRenderer();
        m_serialDrawing = renderer.find("llvmpipe") != std::string::npos ||
                          renderer.find("softpipe") != std::string::npos;
    }
    // Unknown (not current): the safe side.
    return m_serialDrawing == 0 ? std::unique_lock<std::mutex>()
                                : std::unique_lock<std::mutex>(s_drawing);
}

void krWindow::finish() {
    if (isCurrent())
        glFinish();
}

kuImage* krWindow::readPixels() {
    const bool wasCurrent = isCurrent();
    if (!wasCurrent && !makeCurrent())
        return nullptr;
    kuImage* image = kuImage::create(m_width, m_height, 3);
    if (image) {
        glFinish();
        glPixelStorei(GL_PACK_ALIGNMENT, 1);
        glReadBuffer(GL_BACK);
        glReadPixels(0, 0, m_width, m_height, GL_RGB, GL_UNSIGNED_BYTE, image->getData());
    }
    if (!wasCurrent)
        doneCurrent();
    return image;
}

std::string krWindow::getRenderer() {
    const auto* name = reinterpret_cast<const char*>(glGetString(GL_RENDERER));
    return name ? name : "";
}
