// Running without a display: text commands from standard input in place of the main window.
#ifndef QAF_HEADLESS_H
#define QAF_HEADLESS_H

// Main thread, in place of the toolkit's main loop (the UI thread's part). Reads standard input
// line by line into cmdparse until a line "quit", the end of the input, or an interrupt or
// termination signal, then returns for shutdown. With keepRunningAtEof the end of the input does
// not stop the run: a file render goes on to the end of its own input (which ends the program).
void runHeadless(bool keepRunningAtEof);

#endif
