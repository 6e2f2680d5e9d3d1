#ifndef ALLOCCOUNTER_H
#define ALLOCCOUNTER_H

// Heap allocations made through malloc and friends (operator new included),
// counted by replacements of the allocator's entry points in this binary.
namespace AllocCounter {
// Allocations made so far by the calling thread.
long thisThread();
// Allocations made so far by every thread.
long total();
} // namespace AllocCounter

#endif
