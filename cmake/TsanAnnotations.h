/* Included into every file of the thread-sanitizer build. libstdc++'s shared_ptr releases its
   last reference on a fast path whose ordering the sanitizer cannot see by itself; these are the
   hooks libstdc++ provides for race detectors, so that the build reports real races only. */
#ifndef TARNWICK_CMAKE_TSANANNOTATIONS_H_
#define TARNWICK_CMAKE_TSANANNOTATIONS_H_

#include <sanitizer/tsan_interface.h>

#define _GLIBCXX_SYNCHRONIZATION_HAPPENS_BEFORE(A) __tsan_release(A)
#define _GLIBCXX_SYNCHRONIZATION_HAPPENS_AFTER(A) __tsan_acquire(A)

#endif
