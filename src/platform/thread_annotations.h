// Lock annotations for Clang's thread-safety analysis (-Wthread-safety): which mutex guards
// a field, which functions need a mutex held, take it or release it. The analysis runs at
// compile time, one function at a time; it checks nothing at run time. Compilers without
// the attributes (GCC) see empty macros.
//
// A capability is named by an expression the analysis compares as written: a lock taken as
// `xml_module[id].mutex` is not the same to it as one taken as `m.mutex` through a reference
// `m` to that entry. Lock and access a module through the same expression in one function.
#pragma once

#if defined(__clang__)
#define QV_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define QV_THREAD_ANNOTATION(x)
#endif

// A type that is a lock (a mutex class); `x` names its kind in the warnings.
#define CAPABILITY(x) QV_THREAD_ANNOTATION(capability(x))
// A RAII type that holds a capability from construction to destruction.
#define SCOPED_CAPABILITY QV_THREAD_ANNOTATION(scoped_lockable)
// A field read or written only with the capability held.
#define GUARDED_BY(x) QV_THREAD_ANNOTATION(guarded_by(x))
// The caller must hold the capabilities (exclusively).
#define REQUIRES(...) QV_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
// The function takes the capabilities and returns holding them; no arguments on a method of
// a capability type or in a constructor of a scoped one: the object itself.
#define ACQUIRE(...) QV_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
// The function releases capabilities the caller holds.
#define RELEASE(...) QV_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
// The caller must not hold the capabilities (lock order; flagged where the caller is seen
// to hold one).
#define EXCLUDES(...) QV_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
