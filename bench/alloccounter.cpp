#include "alloccounter.h"

#include <atomic>
#include <cerrno>
#include <cstddef>

// The executable's definitions win over the C library's for every library in
// the process; the real work is done by glibc's own entry points.
extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t n, size_t size);
void *__libc_realloc(void *p, size_t size);
void *__libc_memalign(size_t alignment, size_t size);
void __libc_free(void *p);
}

namespace {
thread_local long t_allocs = 0;
std::atomic<long> s_allocs {0};

inline void counted()
{
    ++t_allocs;
    s_allocs.fetch_add(1, std::memory_order_relaxed);
}
} // namespace

long AllocCounter::thisThread()
{
    return t_allocs;
}

long AllocCounter::total()
{
    return s_allocs.load(std::memory_order_relaxed);
}

extern "C" {

void *malloc(size_t size)
{
    counted();
    return __libc_malloc(size);
}

void *calloc(size_t n, size_t size)
{
    counted();
    return __libc_calloc(n, size);
}

void *realloc(void *p, size_t size)
{
    counted();
    return __libc_realloc(p, size);
}

void *memalign(size_t alignment, size_t size)
{
    counted();
    return __libc_memalign(alignment, size);
}

void *aligned_alloc(size_t alignment, size_t size)
{
    counted();
    return __libc_memalign(alignment, size);
}

int posix_memalign(void **out, size_t alignment, size_t size)
{
    counted();
    void *p = __libc_memalign(alignment, size);
    if (!p)
        return ENOMEM;
    *out = p;
    return 0;
}

void free(void *p)
{
    __libc_free(p);
}

} // extern "C"
