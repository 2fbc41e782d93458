// Ending the process after a GPU failure.
#ifndef NONCESIEVE_FATAL_H
#define NONCESIEVE_FATAL_H

// Flushes standard output and standard error, then ends the process with
// status 1. exit() would run static destructors while Node's other threads
// are still running, and Node aborts; most failures happen on a pool thread.
[[noreturn]] void fatal_exit();

#endif
