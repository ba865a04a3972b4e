#pragma once

#include <cstddef>

// Raw byte blocks shared by StringBuffer and DataBuffer. Both classes hand blocks to each other
// (StringBuffer::takeFromDb, DataBuffer::takeData), so they must come from one allocator; failure
// gives null, never an exception.
unsigned char *ckNewBytes(size_t n);
void ckFreeBytes(void *p);

// Test seam: the next `count` block allocations made on the calling thread fail as if memory had
// run out. Lets tests exercise the out-of-memory paths without huge requests.
void ckFailNextAllocations(int count);

// A live object's validity marker did not match: the memory is not the object it claims to be.
// Writes a line to stderr and aborts; never returns.
[[noreturn]] void ckFatalInternalError(const char *what);
