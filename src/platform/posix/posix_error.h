// The last-error record shared by the POSIX units: each failure stores its errno at once,
// so that clean-up calls made before the caller asks cannot overwrite it.
#pragma once
#include <cstdint>

// Stores code as this thread's last error (last_error() reads it).
void set_last_error(uint32_t code);
