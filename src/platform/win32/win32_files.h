// What the interrupt handler needs of the Win32 files beyond files.h.
#pragma once
#include "platform/files.h"

// Deletes the file that f holds, only while path still leads to that very file, and
// leaves f open. Where the file system allows, the name goes at once; elsewhere as the
// last handle closes (at the latest when the process ends). 1 on success, 0 on failure
// with the reason in last_error().
int win32_mark_held_deleted(FileHandle f, const char* path);
