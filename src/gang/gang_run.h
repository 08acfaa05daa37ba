// vorla-gang: one vorlaloader process per port of a fixture, watched through each one's
// event stream and drawn as one line per slot.
#pragma once

// The program: checks the command line, runs the slots until they are done (-s) or the
// gang is stopped, prints the final table. The exit code; an interrupt (or q) ends the
// process as an interrupted program instead of returning.
int gang_main(int argc, const char* const* argv);
