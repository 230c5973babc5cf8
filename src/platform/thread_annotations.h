// Lock annotations that clang's -Wthread-safety checks; empty elsewhere.
#ifndef IOCHURN_PLATFORM_THREAD_ANNOTATIONS_H_
#define IOCHURN_PLATFORM_THREAD_ANNOTATIONS_H_

#if defined(__clang__)
#define IOCHURN_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define IOCHURN_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) IOCHURN_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY IOCHURN_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) IOCHURN_THREAD_ANNOTATION(guarded_by(x))
#define ACQUIRE(...) IOCHURN_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) IOCHURN_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) \
  IOCHURN_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define REQUIRES(...) IOCHURN_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) IOCHURN_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS \
  IOCHURN_THREAD_ANNOTATION(no_thread_safety_analysis)

#endif  // IOCHURN_PLATFORM_THREAD_ANNOTATIONS_H_
