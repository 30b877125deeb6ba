// The "kxcoordsys" module: coordinate converters for the scenes of other modules.
#include "kxCoordConverterFlatEarth.h"

#include <ks/ksgu.h>
#include <ku/kuNotify.h>
#include <kx/kxModule.h>

namespace {

class kxCoordSysModule : public kxModule {
public:
    kxCoordSysModule() : kxModule("kxcoordsys") {}

    int initialize(int, char**) override { return KU_SUCCESS; }

protected:
    ~kxCoordSysModule() override { kxCoordConverterFlatEarth::shutdownClass(); }
};

} // namespace

extern "C" KXCOORDSYS_API kxModule* kxcoordsysInitialize() {
    if (kxModule* existing = kxModule::find("kxcoordsys"))
        return existing;
    ksgu::initializeClassSessionBegin("kxcoordsys");
    const int status = kxCoordConverterFlatEarth::initializeClass();
    ksgu::initializeClassSessionEnd();
    if (status != KU_SUCCESS) {
        kuNotify::print(kuNotify::WARN, nullptr,
                        "kxcoordsysInitialize - unable to initialize kxCoordConverterFlatEarth");
        return nullptr;
    }
    return new kxCoordSysModule;
}
