// Threads and time.
#pragma once
#include <cstdint>

typedef intptr_t ThreadHandle;

// Sleeps for at least ms milliseconds.
void sleep_ms(uint32_t ms);

// Starts entry on a new thread at once. 1 on success with *out set, 0 on failure
// (last_error() tells why).
int thread_start(void (*entry)(), ThreadHandle* out);

// Waits until the thread has returned and releases it.
void thread_join(ThreadHandle t);

// Milliseconds from an arbitrary start; never goes back. For measurements only:
// the tool's waits are counts of sleeps.
uint64_t monotonic_ms();

// Asks the system timer for 1 ms resolution for the rest of the run, so that short
// sleeps are short (Windows ticks every 15.6 ms by default). Harmless elsewhere.
void timer_resolution_begin();
void timer_resolution_end();
