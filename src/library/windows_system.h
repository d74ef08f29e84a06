// The Windows system headers, as the library's Windows code includes them: without the rarely
// used parts and without the min/max macros that would break std::min and std::max.
#pragma once

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif
