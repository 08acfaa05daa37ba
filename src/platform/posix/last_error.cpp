#include "platform/files.h"
#include "platform/posix/posix_error.h"

static thread_local uint32_t g_last_error = 0;

void set_last_error(uint32_t code) { g_last_error = code; }

uint32_t last_error() { return g_last_error; }
