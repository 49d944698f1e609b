// Compile-time layout checks for records that cross the library boundary. Records with pointer
// fields are exact to their documented offsets on a 32-bit terminal (KR_ILP32) and take the
// natural wider layout elsewhere.
#pragma once

#include <cstddef>
#include <cstdint>

#define KR_CHECK_SIZE(T, n) static_assert(sizeof(T) == (n), "size of " #T)
#define KR_CHECK_OFFSET(T, f, n) static_assert(offsetof(T, f) == (n), "offset of " #T "." #f)

#if UINTPTR_MAX == 0xFFFFFFFFu
#define KR_ILP32 1
#else
#define KR_ILP32 0
#endif
