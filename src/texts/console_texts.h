// The tool's face on the console: spinner, banner and usage text.
#pragma once
#include <cstdint>

// Prints spinner character counter % 4 of "|/-\" followed by a backspace, so the next
// character overwrites it. Callers count up by one per call.
void show_spinner(uint8_t counter);

// Scrolls the console clear (80 line ends), then prints the banner line and the rule.
void clear_screen_and_banner();

// Prints the usage text; with every_option (--help) also the options that it leaves out,
// the port forms and the exit code of an interrupted run.
void print_usage(int every_option);

// Prints the name and version in one line: "vorlaloader 1.4".
void print_version();
