#include "update/update.h"

uint32_t initial_baud = 115200;
const char* boot_file_path = nullptr;
