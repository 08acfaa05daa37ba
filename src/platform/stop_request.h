// Interrupts as requests: for a program that must stop its children before it ends, an
// interrupt only sets a request that its main loop sees and acts on.
#pragma once

// From now on Ctrl+C, SIGTERM, SIGHUP and SIGQUIT (POSIX); Ctrl+C, Ctrl+Break, closing the console
// window, log-off and shut-down (Windows) only record the request. Closing the window
// leaves the process about 5 s (the system's limit) to finish before it is ended.
// Children's exit statuses can be read even when this process was started with SIGCHLD
// ignored.
void stop_requests_begin();

// The name of the first interrupt that came ("SIGINT", "SIGTERM", "SIGHUP", "SIGQUIT"; Windows'
// console events as the same names), or nullptr while none has come.
const char* stop_requested();

// Ends the process as the interrupt called name ends a program that does not handle it:
// POSIX raises the signal again with its default action (a shell sees 130 for SIGINT);
// Windows ends with the exit code of an interrupted console program.
[[noreturn]] void end_as_interrupted(const char* name);
