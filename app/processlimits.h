#ifndef PROCESSLIMITS_H
#define PROCESSLIMITS_H

// Raises the soft limit on open file descriptors to the hard limit: every
// connection costs one, and a service started with the usual 1024 runs out
// under a flood of idle connections long before the machine does. Says so on
// the debug output when the limit changes; a failure leaves it as it was.
void raiseOpenFileLimit();

#endif // PROCESSLIMITS_H
