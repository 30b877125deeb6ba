// Feeds arbitrary text to the configuration parser with the runtime's keywords and the
// kxlightlobe module's bound, as an application reading a file would, then releases what the
// parse made so that nothing accumulates from one input to the next.
//
// Only the parse runs: no frames, so no window ever gets an OpenGL context and no probe is
// cast. What a file can still reach from the parse:
// - <Module name="..."/> loads modules by name: the loader accepts plain identifiers only, and
//   a library that is not a module fails cleanly, so it stays enabled.
// - LightLobe setTextureFile reads the named file through the image reader (which refuses
//   anything but regular files of at most 1 GiB): left enabled, it exercises the same reader.
// - Terrain builds its mesh when the parse finishes; see terrainFinish below.
#include <kxlightmap.h>

#include <kc/kcConfigParser.h>
#include <ks/ksChannel.h>
#include <ku/kuNotify.h>
#include <kx/kxKernel.h>
#include <kx/kxModule.h>
#include <kx/kxTerrain.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

namespace {

// A 4096-cell terrain is valid and costs about 1 GiB and many seconds under the sanitizers,
// which would stop the fuzzer as out-of-memory or a timeout without showing a fault. Large
// valid resolutions are skipped; small ones and invalid ones still go through build().
const int MAX_FUZZ_TERRAIN_RESOLUTION = 128;

int terrainFinish(kuBase* instance, const kcArgValues&) {
    auto* terrain = static_cast<kxTerrain*>(instance);
    const int cells = terrain->getResolution();
    if (cells > MAX_FUZZ_TERRAIN_RESOLUTION && cells <= 4096)
        return 1;
    return terrain->build() == 1 ? 1 : -32767;
}

// Live instances per class type that tracks them. The registry holds plain pointers, so an
// object kept alive by a loop of references looks reachable to the leak checker: counting
// instances before and after each input finds those.
std::map<const kuBase::ClassType*, std::size_t> countInstances() {
    std::map<const kuBase::ClassType*, std::size_t> counts;
    for (const kuBase::ClassType* type : kuBase::ClassType::getAll())
        if (type->getTrackInstances())
            counts[type] = type->getInstanceCount(false);
    return counts;
}

std::map<const kuBase::ClassType*, std::size_t> s_baseline;

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Every problem in a file is printed; printing would cost more than parsing.
    // KX_FUZZ_VERBOSE=1 shows the messages when reproducing a single input.
    if (!std::getenv("KX_FUZZ_VERBOSE"))
        kuNotify::setLevel(kuNotify::FATAL + 1);
    kxModule* module = nullptr;
    if (kxKernel::initialize(0, nullptr) != 1 || kxModule::initializeModule("kxlightlobe") != 1 ||
        !(module = kxModule::find("kxlightlobe")) || module->initialize(0, nullptr) != 1) {
        std::fprintf(stderr, "fuzz_config_parser: cannot start the runtime and kxlightlobe\n");
        std::abort();
    }
    kcConfigParser* parser = kcConfigParser::getTheConfigParser();
    if (!parser->isConfigurableClass("LightLobe") ||
        !parser->isConfigurableClass("LightLobeControl") || !parser->isConfigurableClass("Env") ||
        parser->addFinishHandler("Terrain", terrainFinish) != 1) {
        std::fprintf(stderr, "fuzz_config_parser: keywords missing\n");
        std::abort();
    }
    s_baseline = countInstances();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The parser takes NUL-terminated text; embedded NULs simply end it early.
    const std::string text(reinterpret_cast<const char*>(data), size);
    kcConfigParser* parser = kcConfigParser::getTheConfigParser();
    parser->parseString(text.c_str(), "fuzz");
    // The light map keeps the channels a file gave LightLobeControl until they are removed,
    // as an application removes them when it drops the configuration.
    for (const kuRef<kuBase>& instance : parser->getInstances())
        if (instance->isOfClassType(ksChannel::getStaticClassType()))
            kxLightMap::instance()->removeChannel(static_cast<const ksChannel*>(instance.get()));
    parser->clear();
    bool kept = false;
    for (const auto& entry : countInstances()) {
        const std::size_t before = s_baseline.count(entry.first) ? s_baseline[entry.first] : 0;
        if (entry.second > before) {
            std::fprintf(stderr, "fuzz_config_parser: %zu %s outlived clear()\n",
                         entry.second - before, entry.first->getName());
            kept = true;
        }
    }
    if (kept)
        std::abort();
    return 0;
}
