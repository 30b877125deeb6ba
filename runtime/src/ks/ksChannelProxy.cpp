#include <ks/ksChannelProxy.h>

#include <algorithm>

int ksChannelProxy::CullProcessor::process(krDrawContext*, ksCullRecord* const*,
                                           ksCullRecord* const*, const ksChannel*) {
    return 1;
}

ksChannelProxy::ksChannelProxy() {
    Bin opaque;
    opaque.id = 0;
    opaque.orderValue = 0;
    opaque.holdsRecords = true;
    opaque.name = "Opaque";
    Bin transparent = opaque;
    transparent.id = 10;
    transparent.orderValue = 10;
    transparent.sorted = true;
    transparent.name = "Transparent";
    m_bins = {opaque, transparent};
}

int ksChannelProxy::reserveBin(bool sorted, int orderValue, bool holdsRecords, const char* name,
                               Sorter* opaqueSorter, Sorter* transparentSorter,
                               BinProcessor* cullProcessor, BinProcessor* drawProcessor,
                               BinProcessor* preDrawProcessor, BinProcessor* postDrawProcessor,
                               int opaqueModes, int opaqueMask, int transparentModes,
                               int transparentMask) {
    Bin bin;
    bin.sorted = sorted;
    bin.orderValue = orderValue;
    bin.holdsRecords = holdsRecords;
    bin.name = name;
    bin.opaqueSorter = opaqueSorter;
    bin.transparentSorter = transparentSorter;
    bin.cullProcessor = cullProcessor;
    bin.drawProcessor = drawProcessor;
    bin.preDrawProcessor = preDrawProcessor;
    bin.postDrawProcessor = postDrawProcessor;
    bin.opaqueModes = opaqueModes;
    bin.opaqueMask = opaqueMask;
    bin.transparentModes = transparentModes;
    bin.transparentMask = transparentMask;
    std::lock_guard<std::mutex> guard(m_mutex);
    bin.id = m_nextId++;
    m_bins.push_back(bin);
    ++m_revision;
    return bin.id;
}

int ksChannelProxy::releaseBin(int id) {
    std::lock_guard<std::mutex> guard(m_mutex);
    auto it = std::find_if(m_bins.begin(), m_bins.end(), [id](const Bin& b) { return b.id == id; });
    if (it == m_bins.end() || id == 0 || id == 10)
        return -32767;
    m_bins.erase(it);
    ++m_revision;
    return 1;
}

int ksChannelProxy::setCullBinProcessor(int id, BinProcessor* processor) {
    std::lock_guard<std::mutex> guard(m_mutex);
    for (Bin& bin : m_bins)
        if (bin.id == id) {
            bin.cullProcessor = processor;
            ++m_revision;
            return 1;
        }
    return -32767;
}

bool ksChannelProxy::getBin(int id, Bin* bin) const {
    std::lock_guard<std::mutex> guard(m_mutex);
    for (const Bin& b : m_bins)
        if (b.id == id) {
            if (bin)
                *bin = b;
            return true;
        }
    return false;
}

std::vector<ksChannelProxy::Bin> ksChannelProxy::getBins() const {
    std::vector<Bin> bins;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        bins = m_bins;
    }
    std::stable_sort(bins.begin(), bins.end(),
                     [](const Bin& a, const Bin& b) { return a.orderValue < b.orderValue; });
    return bins;
}
