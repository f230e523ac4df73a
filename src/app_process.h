// Process-level set-up of the tool: its open-descriptor limit and detaching
// from the parent.
#ifndef ZQ_APP_PROCESS_H
#define ZQ_APP_PROCESS_H

// Sets the soft and the hard open-descriptor limit to i. On failure prints
// "setrlimit failed!" and leaves the limits as they were. Returns 0.
int set_limit(int i);

// Forks: the parent exits with status 0, the child returns 0 and goes on. A
// failed fork logs a fatal line and exits with status 255. Output buffered
// before the call is written once, by the child.
int InitProcesses();

#endif
