#ifndef KS_GU_H
#define KS_GU_H

#include <ku/kuExport.h>

// Class-initialization sessions. Class types may be created only while a session is open;
// sessions nest (a module that loads its prerequisite opens one inside another).
// Threads: application thread only.
class KX_API ksgu {
public:
    // owner names who opened the session, for messages; may be null.
    static void initializeClassSessionBegin(const char* owner = nullptr);
    static void initializeClassSessionEnd();
    static bool inInitializeClassSession();
    static int getSessionDepth();
};

#endif
