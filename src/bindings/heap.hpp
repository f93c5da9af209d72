// Giving the freed heap back to the system.
#pragma once

#include <cstdlib>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace quelmar::py {

/// Returns the pages of the freed heap to the system.  The C library keeps
/// them otherwise: after many small blocks are freed at once (the
/// structures of a search, a parsed document), the process stays as large
/// as it was at its largest while Python's own objects, which live
/// elsewhere, cannot reuse them.  Does nothing where the C library has no
/// such call.
inline void release_free_memory() {
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

}  // namespace quelmar::py
