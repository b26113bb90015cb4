// Marks memory that an allocator of our own holds free as not to be touched, in builds with
// the address sanitizer (elsewhere the marks cost nothing).
#pragma once

#if defined(TQ_SANITIZE)
#include <sanitizer/asan_interface.h>
#include <sanitizer/lsan_interface.h>
#define TQ_POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define TQ_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
// Memory the leak checker does not know as a block (our own mappings) but must read for
// pointers to blocks it does know.
#define TQ_LEAK_ROOT(p, n) __lsan_register_root_region((p), (n))
#define TQ_LEAK_UNROOT(p, n) __lsan_unregister_root_region((p), (n))
#else
#define TQ_POISON(p, n) ((void)(p), (void)(n))
#define TQ_UNPOISON(p, n) ((void)(p), (void)(n))
#define TQ_LEAK_ROOT(p, n) ((void)(p), (void)(n))
#define TQ_LEAK_UNROOT(p, n) ((void)(p), (void)(n))
#endif
