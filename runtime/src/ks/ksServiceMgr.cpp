#include <ks/ksServiceMgr.h>

#include <ks/ksChannelProxy.h>
#include <ku/kuThread.h>

#include <mutex>

namespace {
std::mutex s_mutex;
kuRef<ksServiceMgr> s_serviceMgr;
} // namespace

ksServiceMgr::ksServiceMgr() : m_channelProxy(new ksChannelProxy) {}
ksServiceMgr::~ksServiceMgr() = default;

int ksServiceMgr::getFrameNumber() const {
    return m_frame;
}
void ksServiceMgr::setFrameNumber(int frame) {
    m_frame = frame;
}
ksChannelProxy* ksServiceMgr::getChannelProxy() const {
    return m_channelProxy.get();
}

// The utility layer keeps the frame, so that its per-frame data resolves it too.
int ksThread::resolveFrameNumber() {
    return kuThread::resolveFrameNumber();
}
void ksThread::setFrameNumber(int frame) {
    kuThread::setFrameNumber(frame);
}

ksServiceMgr* ksThread::resolveServiceMgr() {
    std::lock_guard<std::mutex> guard(s_mutex);
    if (!s_serviceMgr)
        s_serviceMgr = new ksServiceMgr;
    return s_serviceMgr.get();
}

void ksThread::releaseServiceMgr() {
    std::lock_guard<std::mutex> guard(s_mutex);
    s_serviceMgr.reset();
}
