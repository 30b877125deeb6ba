#ifndef KU_NOTIFY_H
#define KU_NOTIFY_H

#include <ku/kuBase.h>

// Receives the messages at or above the callback level, whatever the print threshold.
typedef void (*kuNotifyCallback)(int level, const kuBase::ClassType* classType, const char* message,
                                 void* userData);

// Diagnostics. Levels: 1 debug, 2 per-frame traces, 3 information, 4 fallbacks that keep
// working, 5 failed or ignored requests, 6 failures of set-up and shut-down, 7 fatal.
// Messages at or above the threshold (default 5) are printed to stderr; those at or above the
// callback level (default 1: every message) go to the callback. A message that neither wants
// is neither formatted nor locked: a filtered message costs two comparisons.
// Thread-safe: may be called from any thread.
class KX_API kuNotify {
public:
    enum Level { DEBUG = 1, TRACE = 2, INFO = 3, NOTICE = 4, WARN = 5, FAIL = 6, FATAL = 7 };

    static void print(int level, const kuBase::ClassType* classType, const char* format, ...)
        __attribute__((format(printf, 3, 4)));

    // Whether a message of this level would be printed or handed on now: a caller with many
    // messages to give (a trace per vertex) asks once and skips them all, calls included.
    static bool isWanted(int level);

    static void setLevel(int level);
    static int getLevel();
    static void setCallback(kuNotifyCallback callback, void* userData);
    // Kept when the callback changes: tests ask for every level, applications for what they use.
    static void setCallbackLevel(int level);
    static int getCallbackLevel();
};

#endif
