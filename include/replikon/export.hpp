// REPLIKON_API marks what the shared library exports; everything else in it
// stays hidden. A static library (REPLIKON_STATIC) exports nothing of its own.
#pragma once

#if defined(REPLIKON_STATIC)
#define REPLIKON_API
#elif defined(__GNUC__) || defined(__clang__)
#define REPLIKON_API __attribute__((visibility("default")))
#else
#define REPLIKON_API
#endif
