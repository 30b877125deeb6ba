#ifndef KXLIGHTLOBE_EXPORT_H
#define KXLIGHTLOBE_EXPORT_H

// Public classes of the module are exported; its helpers stay hidden.
#define KXLIGHTLOBE_API __attribute__((visibility("default")))

#endif
