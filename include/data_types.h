/**
 * \file
 * \brief Fixed-width scalar names used across the libzuOS interface.
 *
 * `bool` is one byte wherever it crosses the interface. In C++ it is the built-in
 * bool; in C (before C23) it is a signed char, unless `<stdbool.h>` was included
 * first, in which case it is _Bool (also one byte). The library reads any non-zero
 * byte as true and itself stores exactly 1 for true.
 */
#ifndef ZU_DATA_TYPES_H
#define ZU_DATA_TYPES_H

#include <stdint.h>

typedef int32_t int32;   /**< signed 32-bit integer */
typedef uint32_t uint32; /**< unsigned 32-bit integer */
typedef int64_t int64;   /**< signed 64-bit integer */
typedef uint64_t uint64; /**< unsigned 64-bit integer */
typedef uint16_t uint16; /**< unsigned 16-bit integer */

#if !defined(__cplusplus) && !defined(bool) && \
    (!defined(__STDC_VERSION__) || __STDC_VERSION__ < 202311L)
typedef signed char bool; /**< one byte in C: 0 false, anything else true */
#endif

#endif /* ZU_DATA_TYPES_H */
