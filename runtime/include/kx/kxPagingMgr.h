#ifndef KX_PAGINGMGR_H
#define KX_PAGINGMGR_H

#include <ku/kuMemBase.h>
#include <ku/kuPalette.h>

// Keeps what loaded and generated data scenes share: the palette in which textures and other
// named objects are kept by name, so that a file is read, or an image made, once per process.
// Threads: instance() and destroy() on the application thread (the kernel's shutdown destroys
// it); getPalette() from any thread (see kuPalette for the palette's own rules).
class KX_API kxPagingMgr {
public:
    // Made on first use.
    static kxPagingMgr* instance();
    // Releases the manager and its palette's reference (kernel shutdown); the next instance()
    // makes a fresh, empty one. Holders of the old palette keep it alive.
    static void destroy();

    kuPalette* getPalette() const { return m_palette.get(); }

private:
    kxPagingMgr();
    ~kxPagingMgr();
    kuRef<kuPalette> m_palette;
};

#endif
