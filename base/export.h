// Marks what the zezi_vidad library exports. A shared build hides every other symbol, so
// only declarations carrying ZEZI_VIDAD_EXPORT are reachable from outside. Usable from C.
#pragma once

#if defined(__GNUC__) || defined(__clang__)
#define ZEZI_VIDAD_EXPORT __attribute__((visibility("default")))
#else
#define ZEZI_VIDAD_EXPORT
#endif
