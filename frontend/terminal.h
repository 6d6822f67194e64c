// What the front end needs of the terminal it runs in: whether its output is
// one (live redrawing or plain lines), how wide it is, and interrupt requests
// (Ctrl-C, SIGTERM, SIGHUP) counted instead of ending the process, so that a
// run can be stopped cooperatively.
#ifndef QUORVALMIST_FRONTEND_TERMINAL_H_
#define QUORVALMIST_FRONTEND_TERMINAL_H_

namespace quorvalmist {

// True when standard output is a terminal.
bool StdoutIsTerminal();

// The width of the terminal on standard output in columns; 0 when unknown.
int TerminalColumns();

// From now on an interrupt (SIGINT, SIGTERM, SIGHUP) no longer ends the
// process: each one adds one to InterruptCount(). Safe to call more than once.
void CountInterrupts();

// How many interrupts arrived since CountInterrupts was first called.
int InterruptCount();

// How the last interrupt was asked for, in words a message can use: "Ctrl-C"
// for SIGINT (the terminal's key), else the signal's name ("SIGTERM").
const char* LastInterruptName();

}  // namespace quorvalmist

#endif  // QUORVALMIST_FRONTEND_TERMINAL_H_
