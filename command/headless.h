// Running without a display: text commands from standard input in place of the main window, and
// from a file at start-up.
#ifndef QAF_HEADLESS_H
#define QAF_HEADLESS_H

// Main thread, in place of the toolkit's main loop (the UI thread's part). Reads standard input
// line by line into cmdparse until a line "quit", the end of the input, or an interrupt or
// termination signal, then returns for shutdown. With keepRunningAtEof the end of the input does
// not stop the run: a file render goes on to the end of its own input (which ends the program).
void runHeadless(bool keepRunningAtEof);

// Main thread, at start-up, before the audio thread: runs the text commands of the file at path,
// one a line, as standard input runs them (their replies on standard output); blank lines and
// lines that start with '#' are skipped. Stops at the first command that fails. False, after
// one line on the error stream naming the file and the line, when the file cannot be read or a
// command failed.
bool runCommandFile(const char *path);

#endif
