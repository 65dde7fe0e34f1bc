// The one-line text commands: A (create), C (wire), D (disconnect), R (remove), @ (wire query).
#ifndef QAF_CMDPARSE_H
#define QAF_CMDPARSE_H

// UI thread. Interprets one writable command line, which it upper-cases and left-trims in place;
// every outcome is printed, nothing is returned.
void cmdparse(char *msg);

#endif
