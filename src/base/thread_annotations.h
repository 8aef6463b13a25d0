// Who may touch what, written so that clang's -Wthread-safety checks it:
// members name the mutex that guards them, functions the mutex they need.
// Other compilers see nothing.
#pragma once

#if defined(__clang__)
#define LE_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define LE_THREAD_ANNOTATION(x)
#endif

#define LE_CAPABILITY(name) LE_THREAD_ANNOTATION(capability(name))
#define LE_SCOPED_CAPABILITY LE_THREAD_ANNOTATION(scoped_lockable)
#define LE_GUARDED_BY(m) LE_THREAD_ANNOTATION(guarded_by(m))
#define LE_PT_GUARDED_BY(m) LE_THREAD_ANNOTATION(pt_guarded_by(m))
#define LE_ACQUIRED_BEFORE(...) LE_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define LE_REQUIRES(...) LE_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define LE_EXCLUDES(...) LE_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define LE_ACQUIRE(...) LE_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define LE_RELEASE(...) LE_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define LE_NO_THREAD_SAFETY_ANALYSIS LE_THREAD_ANNOTATION(no_thread_safety_analysis)
