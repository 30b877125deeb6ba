#include <ku/kuTime.h>

#include <chrono>

namespace {

typedef std::chrono::steady_clock Clock;

Clock::time_point startTime() {
    static const Clock::time_point s_start = Clock::now();
    return s_start;
}

// Takes the start time when the library loads, not at the first query.
[[maybe_unused]] const Clock::time_point s_startAtLoad = startTime();

} // namespace

double kuTime::get() {
    return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

double kuTime::getSinceStart() {
    return std::chrono::duration<double>(Clock::now() - startTime()).count();
}
