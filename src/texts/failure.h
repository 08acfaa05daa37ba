// The failure message kept for the board's record: every layer that reports a failure
// prints it through con_failure.
#pragma once
#include <string>

// Prints like con_printf a message that reports a failure. The first such message since
// con_failure_reset is kept, without its line ends, for the production record.
void con_failure(const char* fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
void con_failure_reset();
std::string con_first_failure();
