#ifndef KX_DETAIL_RUNTIMECLASSES_H
#define KX_DETAIL_RUNTIMECLASSES_H

// The runtime's own class types, made by kxKernel::initialize in parent-before-child order and
// deleted by kxKernel::shutdown in reverse.
namespace kxRuntimeClasses {
int initialize();
void shutdown();
} // namespace kxRuntimeClasses

#endif
