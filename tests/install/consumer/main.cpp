// An application outside the repository: it starts the runtime and the module from the
// installed package, makes a lobe and runs a frame. Exits 0 only when every step succeeded.
#include <kx/kxKernel.h>
#include <kx/kxModule.h>
#include <kxlightlobe.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {

bool check(bool ok, const char* step) {
    if (!ok)
        std::fprintf(stderr, "consumer: %s failed\n", step);
    return ok;
}

// True when the runtime and its modules are mapped from folder. Without this a module missing
// from the install would be picked up from the build tree unnoticed.
bool loadedFrom(const std::string& folder) {
    const char* libraries[] = {"/libkestrix.so", "/libkxcoordsys.so", "/libkxlightlobe.so"};
    std::string paths[3];
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        const std::string::size_type slash = line.find('/');
        if (slash == std::string::npos)
            continue;
        for (int i = 0; i < 3; ++i)
            if (paths[i].empty() && line.find(libraries[i], slash) != std::string::npos)
                paths[i] = line.substr(slash);
    }
    bool ok = true;
    for (int i = 0; i < 3; ++i) {
        if (paths[i].empty()) {
            std::fprintf(stderr, "consumer: %s is not loaded\n", libraries[i] + 1);
            ok = false;
        } else if (paths[i].compare(0, folder.size() + 1, folder + "/") != 0) {
            std::fprintf(stderr, "consumer: %s is not from %s\n", paths[i].c_str(), folder.c_str());
            ok = false;
        }
    }
    return ok;
}

bool run(int argc, char** argv) {
    if (!check(kxModule::initializeModule("kxlightlobe") == 1, "kxModule::initializeModule"))
        return false;
    kxModule* module = kxModule::find("kxlightlobe");
    if (!check(module != nullptr, "kxModule::find") ||
        !check(module->initialize(argc, argv) == 1, "kxModule::initialize"))
        return false;

    const char* modulePath = std::getenv("KESTRIX_MODULE_PATH");
    if (modulePath && !check(loadedFrom(modulePath), "loading from the installed prefix"))
        return false;

    kuRef<kxLightLobe> lobe = kxLightLobe::create();
    if (!check(lobe.get() != nullptr, "kxLightLobe::create"))
        return false;
    lobe->setName("consumerLobe");
    if (!check(kxLightLobe::find("consumerLobe") == lobe.get(), "kxLightLobe::find"))
        return false;

    kxKernel* kernel = kxKernel::instance();
    return check(kernel->configure() == 1, "kxKernel::configure") &&
           check(kernel->runFrame() == 1, "kxKernel::runFrame") &&
           check(kernel->getFrameNumber() == 1, "numbering the first frame 1") &&
           check(kernel->unconfigure() == 1, "kxKernel::unconfigure");
}

} // namespace

int main(int argc, char** argv) {
    if (!check(kxKernel::initialize(argc, argv) == 1, "kxKernel::initialize"))
        return 1;
    const bool ok = run(argc, argv);
    kxKernel::shutdown();
    return ok ? 0 : 1;
}
