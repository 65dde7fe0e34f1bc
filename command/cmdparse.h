// The one-line text commands: A (create), C (wire), D (disconnect), R (remove), @ (wire query).
#ifndef QAF_CMDPARSE_H
#define QAF_CMDPARSE_H

class replySink;

// UI thread. Interprets one writable command line, which it upper-cases and left-trims in place;
// every outcome goes as reply lines into the caller's sink (standard output without one).
void cmdparse(char *msg, replySink &out);
void cmdparse(char *msg);

#endif
