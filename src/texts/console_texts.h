// The tool's face on the console: spinner, banner and usage text.
#pragma once
#include <cstdint>

// Prints spinner character counter % 4 of "|/-\" followed by a backspace, so the next
// character overwrites it. Callers count up by one per call.
void show_spinner(uint8_t counter);

// Scrolls the console clear (80 line ends), then prints the banner line and the rule.
void clear_screen_and_banner();

// Prints the usage text.
void print_usage();
