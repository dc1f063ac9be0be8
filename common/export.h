// Marks the declarations that the shared library exports. Everything else in it is hidden: the build
// uses -fvisibility=hidden and a version script that names the exported symbols.
#ifndef ZEL_COMMON_EXPORT_H
#define ZEL_COMMON_EXPORT_H

#define ZEL_API __attribute__((visibility("default")))

#endif
