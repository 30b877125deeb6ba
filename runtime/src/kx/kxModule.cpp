#include <kx/kxModule.h>

#include <ku/kuNotify.h>

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

kuBase::ClassType* s_classType = nullptr;

// Modules in load order; each holds one reference, dropped by releaseAll.
std::vector<kuRef<kxModule>>& modules() {
    static std::vector<kuRef<kxModule>> s_modules;
    return s_modules;
}

std::vector<std::string>& modulePaths() {
    static std::vector<std::string> s_paths = [] {
        std::vector<std::string> paths;
        if (const char* env = std::getenv("KESTRIX_MODULE_PATH")) {
            std::string all(env);
            std::size_t start = 0;
            while (start <= all.size()) {
                const std::size_t end = all.find(':', start);
                const std::string folder =
                    all.substr(start, end == std::string::npos ? std::string::npos : end - start);
                if (!folder.empty())
                    paths.push_back(folder);
                if (end == std::string::npos)
                    break;
                start = end + 1;
            }
        }
        paths.push_back(KX_MODULE_BUILD_DIR);
        paths.push_back(KX_MODULE_INSTALL_DIR);
        return paths;
    }();
    return s_paths;
}

// Module names become file and symbol names: keep them to a plain identifier.
bool isPlainName(const char* name) {
    if (!name || !*name)
        return false;
    for (const char* c = name; *c; ++c)
        if (!((*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') || (*c >= '0' && *c <= '9') ||
              *c == '_'))
            return false;
    return true;
}

// The path of an object already in the process whose file is named file, or "".
std::string loadedPath(const std::string& file) {
    struct Search {
        const std::string* file;
        std::string path;
    } search{&file, {}};
    dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t, void* data) {
            auto* s = static_cast<Search*>(data);
            const char* path = info->dlpi_name;
            if (!path || !*path)
                return 0;
            const char* slash = std::strrchr(path, '/');
            if (*s->file != (slash ? slash + 1 : path))
                return 0;
            s->path = path;
            return 1;
        },
        &search);
    return search.path;
}

} // namespace

kxModule::kxModule(const char* name) {
    setName(name);
    modules().emplace_back(this);
}

kxModule::~kxModule() = default;

int kxModule::initialize(int, char**) {
    return KU_SUCCESS;
}
void kxModule::preConfigure() {}
void kxModule::configure() {
    m_configured = true;
}
bool kxModule::isConfigured() const {
    return m_configured;
}
void kxModule::unconfigure() {
    m_configured = false;
}
void kxModule::onFirstFrame() {}
void kxModule::onLastFrame() {}
void kxModule::shutdown() {}

const kuBase::ClassType* kxModule::getClassType() const {
    return s_classType;
}

kxModule* kxModule::find(const char* name) {
    if (!name)
        return nullptr;
    for (auto& module : modules())
        if (std::string(module->getName()) == name)
            return module.get();
    return nullptr;
}

int kxModule::initializeModule(const char* name) {
    if (find(name))
        return KU_SUCCESS;
    if (!isPlainName(name)) {
        kuNotify::print(kuNotify::WARN, s_classType, "kxModule: bad module name \"%s\"",
                        name ? name : "(null)");
        return KU_FAILURE;
    }
    const std::string file = std::string("lib") + name + ".so";
    // A module the application already links is the copy to start (two copies would mean two
    // sets of singletons): it is taken from the process by its file name. Anything else comes
    // from the module path alone, never from the system's library path, where any library of
    // that name would run its constructors.
    void* handle = nullptr;
    const std::string loaded = loadedPath(file);
    if (!loaded.empty())
        handle = dlopen(loaded.c_str(), RTLD_NOW | RTLD_GLOBAL | RTLD_NOLOAD);
    std::string lastError, searched;
    for (std::size_t i = 0; !handle && i < modulePaths().size(); ++i) {
        const std::string path = modulePaths()[i] + "/" + file;
        searched += (searched.empty() ? "" : ":") + modulePaths()[i];
        if (access(path.c_str(), F_OK) != 0)
            continue;
        handle = dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL);
        if (!handle)
            lastError = dlerror();
    }
    if (!handle) {
        if (lastError.empty())
            lastError = "no " + file + " in the module path (" + searched + ")";
        kuNotify::print(kuNotify::WARN, s_classType, "kxModule: unable to load module \"%s\": %s",
                        name, lastError.c_str());
        return KU_FAILURE;
    }
    // Modules stay loaded for the life of the process: objects they made may outlive them.
    const std::string symbol = std::string(name) + "Initialize";
    auto entry = reinterpret_cast<kxModule* (*)()>(dlsym(handle, symbol.c_str()));
    if (!entry) {
        kuNotify::print(kuNotify::WARN, s_classType, "kxModule: module \"%s\" has no %s", name,
                        symbol.c_str());
        return KU_FAILURE;
    }
    kxModule* module = entry();
    if (!module) {
        kuNotify::print(kuNotify::WARN, s_classType, "kxModule: %s failed", symbol.c_str());
        return KU_FAILURE;
    }
    return KU_SUCCESS;
}

int kxModule::getNumModules() {
    return static_cast<int>(modules().size());
}

kxModule* kxModule::getModule(int index) {
    return index >= 0 && index < getNumModules() ? modules()[index].get() : nullptr;
}

void kxModule::addModulePath(const char* folder) {
    if (folder && *folder)
        modulePaths().insert(modulePaths().begin(), folder);
}

const char* kxModule::getModulePath(int index) {
    return index >= 0 && index < getNumModulePaths() ? modulePaths()[index].c_str() : nullptr;
}

int kxModule::getNumModulePaths() {
    return static_cast<int>(modulePaths().size());
}

void kxModule::releaseAll() {
    auto& list = modules();
    while (!list.empty()) {
        kuRef<kxModule> module = list.back();
        list.pop_back();
    }
}

kuBase::ClassType* kxModule::getStaticClassType() {
    return s_classType;
}

int kxModule::initializeClass() {
    if (!s_classType)
        s_classType = new ClassType("kxModule", kuBase::getStaticClassType(), nullptr, true, false);
    return KU_SUCCESS;
}

int kxModule::shutdownClass() {
    delete s_classType;
    s_classType = nullptr;
    return KU_SUCCESS;
}
