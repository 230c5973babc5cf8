// Delivery of console signals to the break handler.
#ifndef IOCHURN_GUARD_SIGNALS_H_
#define IOCHURN_GUARD_SIGNALS_H_

namespace iochurn {

// Blocks SIGINT, SIGTERM, SIGHUP and SIGQUIT in the calling thread (and so in
// every thread started after it) and starts the one signal thread that takes
// them and calls break_handler in ordinary context, one-shot per kind.
// Installs the SIGSEGV handler: a SIGSEGV sent by another process is a break
// like the rest; a real fault writes the notice and ends the process by the
// default action. Ignores SIGPIPE and SIGXFSZ, so that a closed pipe or a
// file-size limit is a failed write, not a death that leaves files behind.
// Main thread, before any other thread exists. Returns 0 or an errno value.
int install_break_signals();

// Blocks the signals install_break_signals takes in the calling thread, so
// that threads started before it inherit the mask: a library thread that
// left them unblocked could take one with its default action and end the
// process without the break (the multi-host program calls it before MPI
// starts its own threads). Main thread. Returns 0 or an errno value.
int block_break_signals();

}  // namespace iochurn

#endif  // IOCHURN_GUARD_SIGNALS_H_
