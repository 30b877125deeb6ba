#ifndef KR_SHADER_INFRASTRUCTURE_H
#define KR_SHADER_INFRASTRUCTURE_H

#include <kr/krState.h>
#include <ku/kuBase.h>

#include <atomic>

class krDrawContext;
struct krShaderProgramKey;

// The switch between fixed-function drawing and generated programs, and the techniques every
// shaderized state inherits (the light lobes a module adds to the terrain, for instance).
// Off by default: drawing then stays on the fixed-function pipeline, untouched. On, each
// geometry a draw context draws uses the generated program of the fixed-function features
// its elements turn on, the drawn state's techniques and, for a shaderized state, the inherit
// state's techniques. A state that holds a program element of its own keeps it.
// Enabled from code or from a configuration file:
//   <ShaderInfrastructure name="shaders"><setEnable>true</setEnable></ShaderInfrastructure>
// Threads: enable, getInheritState and shaderize on the application thread between frames;
// getEnable and makeKey from any draw thread.
class KX_API krShaderInfrastructure : public kuBase {
public:
    // The one instance, made on first use.
    static krShaderInfrastructure* instance();
    // Drops the instance (the kernel's shutdown); instance() makes a fresh, disabled one.
    static void release();
    // Whether generated programs draw; cheap, and makes no instance.
    static bool isEnabled() { return s_enabled.load(std::memory_order_acquire); }

    void setEnable(bool enable) { s_enabled.store(enable, std::memory_order_release); }
    bool getEnable() const { return isEnabled(); }

    // The state whose techniques every shaderized state's programs take (push_back_technique
    // on it).
    krState* getInheritState() { return m_inheritState.get(); }
    // Marks a state as taking the inherit state's techniques.
    void shaderize(krState* state);

    // The key of the program that draws state (null: no state) with the elements in effect on
    // context.
    void makeKey(const krDrawContext& context, const krState* state, krShaderProgramKey& key) const;

    const ClassType* getClassType() const override;
    static ClassType* getStaticClassType();
    static int initializeClass();
    static int shutdownClass();

protected:
    krShaderInfrastructure();
    ~krShaderInfrastructure() override;

private:
    static std::atomic<bool> s_enabled;
    kuRef<krState> m_inheritState;
};

#endif
