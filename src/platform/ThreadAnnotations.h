// Clang thread-safety annotations; empty for other compilers. A clang build with
// -Wthread-safety checks that guarded state is only touched under its lock.
#ifndef TARNWICK_PLATFORM_THREADANNOTATIONS_H_
#define TARNWICK_PLATFORM_THREADANNOTATIONS_H_

#if defined(__clang__)
#define TW_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define TW_THREAD_ANNOTATION(x)
#endif

#define GUARDED_BY(x) TW_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) TW_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_AFTER(...) TW_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define ACQUIRED_BEFORE(...) TW_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define EXCLUSIVE_LOCKS_REQUIRED(...) TW_THREAD_ANNOTATION(exclusive_locks_required(__VA_ARGS__))
#define LOCKS_EXCLUDED(...) TW_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define LOCKABLE TW_THREAD_ANNOTATION(lockable)
#define SCOPED_LOCKABLE TW_THREAD_ANNOTATION(scoped_lockable)
#define EXCLUSIVE_LOCK_FUNCTION(...) TW_THREAD_ANNOTATION(exclusive_lock_function(__VA_ARGS__))
#define UNLOCK_FUNCTION(...) TW_THREAD_ANNOTATION(unlock_function(__VA_ARGS__))
#define EXCLUSIVE_TRYLOCK_FUNCTION(...) \
  TW_THREAD_ANNOTATION(exclusive_trylock_function(__VA_ARGS__))
#define ASSERT_EXCLUSIVE_LOCK(...) TW_THREAD_ANNOTATION(assert_exclusive_lock(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS TW_THREAD_ANNOTATION(no_thread_safety_analysis)

#endif  // TARNWICK_PLATFORM_THREADANNOTATIONS_H_
