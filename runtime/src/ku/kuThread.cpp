#include <ku/kuThread.h>

namespace {
thread_local int t_frame = 0;
} // namespace

int kuThread::resolveFrameNumber() {
    return t_frame;
}

void kuThread::setFrameNumber(int frame) {
    t_frame = frame;
}
