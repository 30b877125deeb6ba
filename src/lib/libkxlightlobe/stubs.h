#ifndef KXLIGHTLOBE_STUBS_H
#define KXLIGHTLOBE_STUBS_H

// The configuration keywords are registered by each configurable class's configureParser(),
// defined in stubs.cpp; this header only groups the unit.

#endif
