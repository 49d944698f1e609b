// Counts every operator new in the test process, on every thread, so a test can prove that a
// stretch of work allocated nothing.
#pragma once

#include <cstdint>

namespace krtest {

uint64_t HeapAllocations();

}  // namespace krtest
