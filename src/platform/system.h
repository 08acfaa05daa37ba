// Threads and time.
#pragma once
#include <cstdint>

#include "platform/files.h"
#include "platform/serial_port.h"

typedef intptr_t ThreadHandle;

// Sleeps for at least ms milliseconds.
void sleep_ms(uint32_t ms);

// Starts entry on a new thread at once. 1 on success with *out set, 0 on failure
// (last_error() tells why).
int thread_start(void (*entry)(), ThreadHandle* out);

// Waits until the thread has returned and releases it.
void thread_join(ThreadHandle t);

// Milliseconds from an arbitrary start; never goes back, whatever is done to the wall
// clock. For measurements and the gang's timers: the loader's waits are counts of sleeps.
uint64_t monotonic_ms();

// Seconds since 1970-01-01 00:00:00 UTC, from the system's clock.
int64_t utc_seconds();

// Milliseconds since 1970-01-01 00:00:00 UTC, from the system's clock. Safe in an
// interrupt handler.
int64_t utc_milliseconds();

// The computer's name into out (at most size bytes with the NUL); "unknown" when the
// system will not tell.
void host_name(char* out, uint32_t size);

// This process's id.
uint32_t process_id();

// Asks the system timer for 1 ms resolution for the rest of the run, so that short
// sleeps are short (Windows ticks every 15.6 ms by default). Harmless elsewhere.
void timer_resolution_begin();
void timer_resolution_end();

// Interrupts: Ctrl+C, SIGTERM, SIGHUP and SIGQUIT on POSIX; Ctrl+C, Ctrl+Break, closing the
// console window, log-off and shut-down on Windows. SIGPIPE is ignored for the run: a write
// to a reader that has gone fails instead, and SIGCHLD is set to its default (a launcher
// that ignores it would otherwise hide every child's exit status). Once begun, the first interrupt ends the process
// within a second, by its own signal whatever follows it, after one clean-up: it deletes
// the guarded file (only while its name still leads to the file the guard holds),
// restores the console (console_end) and puts the guarded port's settings back; the end of the
// process closes the port.
// The process then ends as an interrupted program does: POSIX raises the signal again
// with its default action (a shell sees 130 for Ctrl+C); Windows ends with the exit code
// of an interrupted console program. Before it ends, it writes the lines set with
// interrupt_last_words (platform/last_words.h).
void interrupt_handling_begin();

// The file that an interrupt must delete: the open handle and its name (the name must
// live as long as the guard). kNoFile clears the guard.
void interrupt_guard_file(FileHandle f, const char* path);

// Holds interrupts off while a file is made and its guard set (or it is deleted and the
// guard cleared): any number of interrupts that come meanwhile are handled the moment the
// hold ends, as the first of them, so no window is left in which the file exists unguarded.
void interrupt_hold(int on);

// The port that an interrupt must close; kNoPort clears the guard.
void interrupt_guard_port(PortHandle p);

// Interrupts as requests, for a program that must stop its children before it ends
// (vorla-gang): it holds interrupts for its whole run (interrupt_hold(1) right after
// interrupt_handling_begin) and looks for them in its main loop. Closing the console
// window leaves the process about 5 s (the system's limit) to finish before it is ended.
// The name of the first interrupt that came ("SIGINT", "SIGTERM", "SIGHUP", "SIGQUIT";
// Windows' console events as "SIGINT", "SIGBREAK", "SIGHUP"), or nullptr while none has.
const char* stop_requested();

// Ends the process as an interrupt does, after the clean-up above: by the first interrupt
// that came, or by the one called name when none has (a stop asked for by a key).
[[noreturn]] void end_as_interrupted(const char* name);
