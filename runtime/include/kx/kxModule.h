#ifndef KX_MODULE_H
#define KX_MODULE_H

#include <ku/kuBase.h>

// A module of the runtime: a shared library lib<name>.so that exports the plain C function
// <name>Initialize returning its kxModule. The kernel drives every loaded module through the
// phases below, in load order (unconfigure and shutdown in reverse).
// Threads: application thread only.
class KX_API kxModule : public kuBase {
public:
    explicit kxModule(const char* name);

    virtual int initialize(int argc, char** argv);
    virtual void preConfigure();
    virtual void configure();
    virtual bool isConfigured() const;
    virtual void unconfigure();
    virtual void onFirstFrame();
    virtual void onLastFrame();
    virtual void shutdown();

    const ClassType* getClassType() const override;

    // The loaded module of that name, or null.
    static kxModule* find(const char* name);
    // Loads lib<name>.so (unless that module is already known) and calls <name>Initialize.
    // A lib<name>.so already in the process (a module an application links) is the very copy
    // started; otherwise the file comes from the first folder of the module path that has it,
    // never from the system's library path. 1 or -32767.
    static int initializeModule(const char* name);
    // Modules in load order.
    static int getNumModules();
    static kxModule* getModule(int index);

    // Folders searched for modules: KESTRIX_MODULE_PATH (colon-separated), the build tree's
    // module folder, the installed library folder.
    static void addModulePath(const char* folder);
    static const char* getModulePath(int index);
    static int getNumModulePaths();

    static ClassType* getStaticClassType();
    static int initializeClass();
    static int shutdownClass();
    // Releases every module (kernel shutdown): destroys them in reverse load order.
    static void releaseAll();

protected:
    ~kxModule() override;

private:
    bool m_configured = false;
};

#endif
