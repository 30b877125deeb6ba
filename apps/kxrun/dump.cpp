#include "dump.h"

#include <kxlightlobe.h>
#include <kxlightlobeprojected.h>
#include <kxlightmap.h>

#include <ks/ksChannel.h>
#include <ku/kuString.h>
#include <kx/kxIsectorLOS.h>

#include <cmath>
#include <cstring>

namespace {

// A JSON string: quotes, backslashes and control characters escaped, and every byte that is
// not part of well-formed UTF-8 replaced by U+FFFD, so that the line stays valid JSON whatever
// the name holds.
void writeString(std::FILE* file, const char* text) {
    const std::size_t size = std::strlen(text);
    std::fputc('"', file);
    for (std::size_t i = 0; i < size;) {
        const unsigned char ch = static_cast<unsigned char>(text[i]);
        const std::size_t length = kuString::utf8Length(text, size, i);
        if (length == 0)
            std::fputs("\\ufffd", file);
        else if (length > 1)
            std::fwrite(text + i, 1, length, file);
        else if (ch == '"' || ch == '\\')
            std::fprintf(file, "\\%c", ch);
        else if (ch < 0x20 || ch == 0x7f)
            std::fprintf(file, "\\u%04x", ch);
        else
            std::fputc(ch, file);
        i += length ? length : 1;
    }
    std::fputc('"', file);
}

// JSON has no infinities or NaNs.
void writeNumber(std::FILE* file, double value) {
    if (std::isfinite(value))
        std::fprintf(file, "%.9g", value);
    else
        std::fputs("null", file);
}

// Whether the lobe has a footprint this frame: a ground plane, and either a probe that hit in
// the run the footprint came from or a static lobe frozen on its first hit.
bool hasHit(const kxLightLobe* lobe) {
    if (!(lobe->getGroundPlane().length() > 0))
        return false;
    if (lobe->getStaticEnable() && lobe->getStaticDone())
        return true;
    for (int i = 0; i < kxLightLobe::NUM_ISECTORS; ++i) {
        kuVec3d point;
        if (const kxIsectorLOS* isector = lobe->getIsector(i))
            if (isector->getHitPoint(&point) == 1)
                return true;
    }
    return false;
}

void writeNumbers(std::FILE* file, const float* values, int count) {
    std::fputc('[', file);
    for (int i = 0; i < count; ++i) {
        if (i)
            std::fputc(',', file);
        writeNumber(file, values[i]);
    }
    std::fputc(']', file);
}

} // namespace

// What the projected lobe published for the frame; a lobe that publishes nothing (no slot, not
// configured) has null values.
void kxRunDump::writeProjected(const kxLightLobeProjected* lobe, int frame) {
    kxLightLobeProjected::ShaderParameters p;
    const bool published = lobe->getShaderParameters(frame, &p);
    std::fprintf(m_file, "{\"frame\":%d,\"projected\":", frame);
    writeString(m_file, lobe->getName());
    std::fprintf(m_file, ",\"enable\":%s", lobe->getEnable() ? "true" : "false");
    if (!published) {
        std::fputs(",\"lightParams\":null,\"lightColor\":null,\"projection\":null,"
                   "\"beam\":null,\"beamAlpha\":null}\n",
                   m_file);
        return;
    }
    const float params[4] = {p.lightParams.x, p.lightParams.y, p.lightParams.z, p.lightParams.w};
    const float color[4] = {p.lightColor.x, p.lightColor.y, p.lightColor.z, p.lightColor.w};
    float projection[16];
    for (int i = 0; i < 16; ++i)
        projection[i] = static_cast<float>(p.projTexMatrix.ptr()[i]);
    std::fputs(",\"lightParams\":", m_file);
    writeNumbers(m_file, params, 4);
    std::fputs(",\"lightColor\":", m_file);
    writeNumbers(m_file, color, 4);
    std::fputs(",\"projection\":", m_file);
    if (p.projectionValid)
        writeNumbers(m_file, projection, 16);
    else
        std::fputs("null", m_file);
    std::fprintf(m_file, ",\"beam\":%s,\"beamAlpha\":", p.beamVisible ? "true" : "false");
    writeNumber(m_file, p.beamAlpha);
    std::fputs("}\n", m_file);
}

kxRunDump::~kxRunDump() {
    close();
}

bool kxRunDump::open(const std::string& fileName) {
    close();
    m_file = std::fopen(fileName.c_str(), "w");
    return m_file != nullptr;
}

void kxRunDump::writeFrame(int frame) {
    if (!m_file)
        return;
    for (int l = 0; l < kxLightLobe::getNum(); ++l) {
        const kxLightLobe* lobe = kxLightLobe::get(l);
        std::fprintf(m_file, "{\"frame\":%d,\"name\":", frame);
        writeString(m_file, lobe->getName());
        std::fprintf(m_file, ",\"hit\":%s,\"vertices\":[", hasHit(lobe) ? "true" : "false");
        for (int k = 0; k < kxLightLobe::NUM_VERTICES; ++k) {
            const kuVec3d& v = lobe->getVertex(k);
            std::fputs(k ? ",[" : "[", m_file);
            for (int axis = 0; axis < 3; ++axis) {
                if (axis)
                    std::fputc(',', m_file);
                writeNumber(m_file, v[axis]);
            }
            std::fputc(']', m_file);
        }
        std::fputs("],\"brightness\":[", m_file);
        for (int k = 0; k < kxLightLobe::NUM_VERTICES; ++k) {
            if (k)
                std::fputc(',', m_file);
            writeNumber(m_file, lobe->getVertexBrightness(k));
        }
        std::fputs("]}\n", m_file);
    }
    for (int l = 0; l < kxLightLobeProjected::getNum(); ++l)
        writeProjected(kxLightLobeProjected::get(l), frame);
    kxLightMap* map = kxLightMap::instance();
    for (int c = 0; c < ksChannel::getNum(); ++c) {
        const ksChannel* channel = ksChannel::get(c);
        float intensity = 0;
        if (!map->getLightIntensity(channel, frame, &intensity))
            continue;
        std::fprintf(m_file, "{\"frame\":%d,\"channel\":", frame);
        writeString(m_file, channel->getName());
        std::fputs(",\"intensity\":", m_file);
        writeNumber(m_file, intensity);
        std::fputs("}\n", m_file);
    }
}

bool kxRunDump::close() {
    if (!m_file)
        return true;
    const bool ok = std::ferror(m_file) == 0;
    const bool closed = std::fclose(m_file) == 0;
    m_file = nullptr;
    return ok && closed;
}
