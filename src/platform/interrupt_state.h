// The state of the one interrupt path that both backends share, and what each backend
// gives it. Only the platform's own files include this.
#pragma once
#include <atomic>

// 1 while interrupts are held (interrupt_hold).
extern std::atomic<int> g_interrupt_hold;
// The backend's code of the first interrupt that came (never 0); 0 while none has.
extern std::atomic<int> g_interrupt_first;

// Backend: the clean-up of system.h, then the end of an interrupted program by the first
// interrupt. Runs once whoever calls it first; a second caller waits for that end.
[[noreturn]] void interrupt_clean_up_and_end();

// Backend: the name of an interrupt's code ("SIGINT", ...), and the code of a name.
const char* interrupt_name(int code);
int interrupt_code(const char* name);
