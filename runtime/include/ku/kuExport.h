#ifndef KU_EXPORT_H
#define KU_EXPORT_H

// Symbols of the runtime library that applications and modules may use. Everything else is
// hidden, so the library's internals cannot clash with those of a module.
#define KX_API __attribute__((visibility("default")))

// Status results of the whole runtime.
enum { KU_SUCCESS = 1, KU_FAILURE = -32767 };

#endif
