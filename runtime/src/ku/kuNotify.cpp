#include <ku/kuNotify.h>

#include <ku/kuString.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <vector>

namespace {
std::atomic<int> s_level{kuNotify::WARN};
std::recursive_mutex s_mutex; // recursive: a callback may print in turn
kuNotifyCallback s_callback = nullptr;
void* s_userData = nullptr;
// Read without the lock so that messages nobody will see cost no formatting.
std::atomic<bool> s_hasCallback{false};
} // namespace

void kuNotify::print(int level, const kuBase::ClassType* classType, const char* format, ...) {
    if (level < s_level.load(std::memory_order_relaxed) &&
        !s_hasCallback.load(std::memory_order_acquire))
        return;
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::vector<char> message(length > 0 ? static_cast<std::size_t>(length) + 1 : 1, '\0');
    if (length > 0)
        std::vsnprintf(message.data(), message.size(), format, args);
    va_end(args);

    // One lock keeps printed lines whole and lets tests swap the callback safely.
    std::lock_guard<std::recursive_mutex> guard(s_mutex);
    if (level >= s_level.load())
        std::fprintf(stderr, "[%d] %s%s%s\n", level, classType ? classType->getName() : "",
                     classType ? ": " : "", message.data());
    if (s_callback)
        s_callback(level, classType, message.data(), s_userData);
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
    s_hasCallback.store(callback != nullptr, std::memory_order_release);
}
