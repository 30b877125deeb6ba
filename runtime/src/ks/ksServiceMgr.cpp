#include <ks/ksServiceMgr.h>

#include <ks/ksChannelProxy.h>

#include <mutex>

namespace {
thread_local int t_frame = 0;
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

int ksThread::resolveFrameNumber() {
    return t_frame;
}
void ksThread::setFrameNumber(int frame) {
    t_frame = frame;
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
