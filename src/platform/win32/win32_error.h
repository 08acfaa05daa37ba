// The last-error record shared by the Win32 units. Each failure stores GetLastError()
// at once, so that cleanup calls made before the caller asks cannot overwrite it.
#pragma once
#include <cstdint>

// Stores code as this thread's last error.
void win32_set_error(uint32_t code);

// Stores GetLastError() as this thread's last error and returns 0.
int win32_fail();
