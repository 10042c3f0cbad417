// Compiles one function for the named instruction-set extensions, leaving the
// rest of its file portable. The extensions are never passed as flags for a
// whole file: an inline function from a shared header compiled there could be
// the copy the linker keeps, and run on a CPU that lacks them.
#pragma once

#if defined(__GNUC__) || defined(__clang__)
#define VELMORA_TARGET(extensions) [[gnu::target(extensions)]]
#else
// MSVC emits any intrinsic without being asked.
#define VELMORA_TARGET(extensions)
#endif
