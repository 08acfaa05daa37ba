// Child processes for a program that runs one vorlaloader per port: each child writes its
// event stream into a channel that the parent reads, never reads the terminal, and is
// stopped the way an interrupt stops vorlaloader.
// Every call that fails leaves the reason in last_error().
#pragma once
#include <cstdint>
#include <string>
#include <vector>

// A running child: the OS's handle of the process and its id.
struct ChildProcess {
  intptr_t process;
  uint32_t id;
};

typedef intptr_t ChannelHandle;
const ChannelHandle kNoChannel = -1;

// Makes a new channel that one writer opens by *name and writes lines into (POSIX: a FIFO
// in a folder that only this process uses; Windows: a named pipe that only this machine
// can reach). tag makes the name unique within this process. Reading never waits for the
// writer. 1 with *out and *name set, 0 on failure.
int channel_open(const char* tag, ChannelHandle* out, std::string* name);

// Reads what the writer has sent and this process has not read yet, without waiting:
// 1 with *got the count (0 when nothing is waiting, also before the writer has opened the
// channel or after it has closed it), 0 on failure.
int channel_read(ChannelHandle c, char* buf, uint32_t cap, uint32_t* got);

// Closes the channel; its name is gone.
void channel_close(ChannelHandle c);

// Removes what channel_open left for the whole run (the POSIX folder of the FIFOs).
void channels_end();

// The running program's own folder with a separator at its end ("" when the system will
// not tell), so that a program installed beside it is found there.
std::string program_folder();

// The file name of an executable program called base: "base.exe" on Windows.
std::string executable_name(const char* base);

// Starts argv[0] with the arguments argv, in the current folder, with standard input,
// output and error on the null device (it can never read or write the terminal), and in
// a process group of its own, so that a Ctrl+C typed at the terminal reaches only this
// process. 1 with *out set, 0 on failure.
int child_start(const std::vector<std::string>& argv, ChildProcess* out);

// Asks the child to stop as an interrupt stops vorlaloader (POSIX: SIGINT; Windows: a
// Ctrl+Break to its process group): it deletes its temporary files, closes its port and
// ends as an interrupted program.
void child_interrupt(const ChildProcess& c);

// Ends the child at once, without any clean-up of its own.
void child_kill(const ChildProcess& c);

// Waits up to ms milliseconds for the child to end. 1 once it has ended, with
// *exit_code its exit code, or 128 + the number of the signal that ended it (as a POSIX
// shell shows it); the child is then released and c must not be used again. 0 while it
// still runs.
int child_wait(const ChildProcess& c, uint32_t ms, int* exit_code);
