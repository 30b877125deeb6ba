#include <ku/kuNotify.h>

#include <ku/kuString.h>

#include <atomic>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <vector>

namespace {
std::atomic<int> s_level{kuNotify::WARN};
std::atomic<int> s_callbackLevel{kuNotify::DEBUG};
// The callback level while a callback is installed, above every level otherwise: read without
// the lock, so that a message nobody will see costs no formatting and no locking.
std::atomic<int> s_callbackGate{INT_MAX};
std::recursive_mutex s_mutex; // recursive: a callback may print in turn
kuNotifyCallback s_callback = nullptr;
void* s_userData = nullptr;

// With s_mutex held.
void updateCallbackGate() {
    s_callbackGate.store(s_callback ? s_callbackLevel.load() : INT_MAX, std::memory_order_relaxed);
}
} // namespace

void kuNotify::print(int level, const kuBase::ClassType* classType, const char* format, ...) {
    // A hint only: whether the message is printed or handed on is decided again under the lock.
    if (level < s_level.load(std::memory_order_relaxed) &&
        level < s_callbackGate.load(std::memory_order_relaxed))
        return;
    // Formatted once into the stack buffer; only a longer message is formatted again on the heap.
    char buffer[256];
    std::vector<char> longMessage;
    const char* message = buffer;
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(buffer, sizeof(buffer), format, copy);
    va_end(copy);
    if (length < 0) {
        buffer[0] = '\0';
    } else if (static_cast<std::size_t>(length) >= sizeof(buffer)) {
        longMessage.resize(static_cast<std::size_t>(length) + 1);
        std::vsnprintf(longMessage.data(), longMessage.size(), format, args);
        message = longMessage.data();
    }
    va_end(args);

    // One lock keeps printed lines whole and lets tests swap the callback safely.
    std::lock_guard<std::recursive_mutex> guard(s_mutex);
    if (level >= s_level.load())
        std::fprintf(stderr, "[%d] %s%s%s\n", level, classType ? classType->getName() : "",
                     classType ? ": " : "", message);
    if (s_callback && level >= s_callbackLevel.load())
        s_callback(level, classType, message, s_userData);
}

bool kuNotify::isWanted(int level) {
    return level >= s_level.load(std::memory_order_relaxed) ||
           level >= s_callbackGate.load(std::memory_order_relaxed);
}

void kuNotify::setLevel(int level) {
    s_level.store(level);
}
int kuNotify::getLevel() {
    return s_level.load();
}

void kuNotify::setCallback(kuNotifyCallback callback, void* userData) {
    std::lock_guard<std::recursive_mutex> guard(s_mutex);
    s_callback = callback;
    s_userData = userData;
    updateCallbackGate();
}

void kuNotify::setCallbackLevel(int level) {
    std::lock_guard<std::recursive_mutex> guard(s_mutex);
    s_callbackLevel.store(level);
    updateCallbackGate();
}
int kuNotify::getCallbackLevel() {
    return s_callbackLevel.load();
}
