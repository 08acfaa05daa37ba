// The program: banner, command line, then the compound run or the loader run.
#pragma once

// Returns the process exit code.
int run_main(int argc, const char* const* argv);
