#include <ks/ksChannelBin.h>

#include <algorithm>

void ksChannelBin::insert(ksCullRecord* record, const double* sortKey) {
    if (!record)
        return;
    (void)sortKey; // bins draw in insertion order; sorting belongs to the bin's sorters
    m_records.push_back(record);
}

void ksChannelBin::clear() {
    // Records of a large frame have left the cache by now: ask for them a few ahead.
    constexpr std::size_t AHEAD = 8;
    const std::size_t count = m_records.size();
    for (std::size_t i = 0; i < count; ++i) {
        if (i + AHEAD < count)
            __builtin_prefetch(m_records[i + AHEAD], 1);
        m_records[i]->recycle();
    }
    m_records.clear();
}

ksChannelBinMgr::ksChannelBinMgr(ksChannelProxy* proxy) : m_proxy(proxy) {}

ksChannelBinMgr::~ksChannelBinMgr() {
    for (FrameSet& set : m_sets)
        for (ksChannelBin* bin : set.bins)
            delete bin;
}

ksChannelBinMgr::FrameSet* ksChannelBinMgr::findSet(int frame) {
    return const_cast<FrameSet*>(static_cast<const ksChannelBinMgr*>(this)->findSet(frame));
}

const ksChannelBinMgr::FrameSet* ksChannelBinMgr::findSet(int frame) const {
    for (const FrameSet& set : m_sets)
        if (set.frame == frame && frame != 0)
            return &set;
    return nullptr;
}

bool ksChannelBinMgr::hasFrame(int frame) const {
    std::lock_guard<std::mutex> guard(m_mutex);
    const FrameSet* set = findSet(frame);
    return set && set->inFlight;
}

int ksChannelBinMgr::getCurrentFrame() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_current < 0 ? 0 : m_sets[m_current].frame;
}

void ksChannelBinMgr::beginFrame(int frame) {
    std::lock_guard<std::mutex> guard(m_mutex);
    FrameSet* set = findSet(frame);
    if (!set) {
        // The set drawn last is free again in a serial frame loop: reuse it, with its storage
        // already grown. Otherwise the next free set, or the oldest one.
        int pick = -1;
        for (int i = 0; i < NUM_FRAME_SETS && pick < 0; ++i) {
            const int index = (m_current + NUM_FRAME_SETS + i) % NUM_FRAME_SETS;
            if (m_current >= 0 && !m_sets[index].inFlight)
                pick = index;
        }
        m_current = pick >= 0 ? pick : (m_current + 1) % NUM_FRAME_SETS;
        set = &m_sets[m_current];
        for (ksChannelBin* bin : set->bins)
            bin->clear();
        set->frame = frame;
        set->inFlight = true;
    } else {
        m_current = static_cast<int>(set - m_sets);
    }
    if (!m_proxy || set->proxyRevision == m_proxy->getRevision())
        return;
    const std::vector<ksChannelProxy::Bin> reserved = m_proxy->getBins();
    syncBins(*set, reserved);
    // Sets not used yet take the same bins now, so later frames allocate nothing.
    for (FrameSet& other : m_sets)
        if (other.frame == 0)
            syncBins(other, reserved);
}

void ksChannelBinMgr::syncBins(FrameSet& set, const std::vector<ksChannelProxy::Bin>& reserved) {
    set.proxyRevision = m_proxy->getRevision();
    // Keep the set in step with the reserved bins (bins may be reserved or released at any
    // set-up step between frames).
    std::vector<ksChannelBin*> bins;
    bins.reserve(reserved.size());
    for (const ksChannelProxy::Bin& definition : reserved) {
        auto it = std::find_if(set.bins.begin(), set.bins.end(),
                               [&](ksChannelBin* b) { return b->getId() == definition.id; });
        if (it != set.bins.end()) {
            bins.push_back(*it);
            set.bins.erase(it);
        } else {
            bins.push_back(new ksChannelBin(definition));
        }
    }
    for (ksChannelBin* gone : set.bins)
        delete gone;
    set.bins.swap(bins);
}

ksChannelBin* ksChannelBinMgr::getBin(int id) {
    if (m_current < 0)
        return nullptr;
    for (ksChannelBin* bin : m_sets[m_current].bins)
        if (bin->getId() == id)
            return bin;
    return nullptr;
}

const std::vector<ksChannelBin*>& ksChannelBinMgr::getBins(int frame) {
    static const std::vector<ksChannelBin*> s_none;
    std::lock_guard<std::mutex> guard(m_mutex);
    FrameSet* set = findSet(frame);
    return set ? set->bins : s_none;
}

void ksChannelBinMgr::recycleFrame(int frame) {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (FrameSet* set = findSet(frame)) {
        for (ksChannelBin* bin : set->bins)
            bin->clear();
        set->inFlight = false;
    }
}
