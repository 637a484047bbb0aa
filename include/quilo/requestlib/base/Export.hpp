#pragma once

// Marks the public API. A shared quilo is built with every other symbol hidden, so that it
// exports only what carries this mark. QUILO_HIDDEN keeps an inner member of such a class in.
#if defined(__GNUC__) || defined(__clang__)
#define QUILO_EXPORT __attribute__((visibility("default")))
#define QUILO_HIDDEN __attribute__((visibility("hidden")))
#else
#define QUILO_EXPORT
#define QUILO_HIDDEN
#endif
