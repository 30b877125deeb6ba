#ifndef KX_PROXYMGR_H
#define KX_PROXYMGR_H

#include <ku/kuExport.h>

// The proxy manager lets other threads reach the application's objects through queued
// requests. It is valid only once an application has started it; modules register their proxy
// factories only then.
// Threads: start/stop on the application thread; isValid from any thread.
class KX_API kxProxyMgr {
public:
    static int start();
    static void stop();
    static bool isValid();
};

#endif
