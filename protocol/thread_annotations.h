// Clang's thread-safety annotations under names of our own. A clang build with -Wthread-safety checks
// at compile time that every field marked ZEL_GUARDED_BY is touched only with its mutex held and that
// a function marked ZEL_REQUIRES is called only with it held; other compilers ignore them.
#ifndef ZEL_PROTOCOL_THREAD_ANNOTATIONS_H
#define ZEL_PROTOCOL_THREAD_ANNOTATIONS_H

#if defined(__clang__)
#define ZEL_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define ZEL_THREAD_ANNOTATION(x)
#endif

#define ZEL_CAPABILITY(name) ZEL_THREAD_ANNOTATION(capability(name))
#define ZEL_SCOPED_CAPABILITY ZEL_THREAD_ANNOTATION(scoped_lockable)
#define ZEL_GUARDED_BY(mutex) ZEL_THREAD_ANNOTATION(guarded_by(mutex))
#define ZEL_PT_GUARDED_BY(mutex) ZEL_THREAD_ANNOTATION(pt_guarded_by(mutex))
#define ZEL_ACQUIRED_AFTER(...) ZEL_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define ZEL_ACQUIRED_BEFORE(...) ZEL_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ZEL_REQUIRES(...) ZEL_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ZEL_EXCLUDES(...) ZEL_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ZEL_ACQUIRE(...) ZEL_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ZEL_RELEASE(...) ZEL_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define ZEL_NO_THREAD_SAFETY_ANALYSIS ZEL_THREAD_ANNOTATION(no_thread_safety_analysis)

#endif
