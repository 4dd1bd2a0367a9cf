#pragma once
// Symbol visibility: the runtime is built with hidden visibility; only what
// instrumented programs call is exported.
#if defined(_WIN32)
#define QEL_EXPORT __declspec(dllexport)
#else
#define QEL_EXPORT __attribute__((visibility("default")))
#endif
