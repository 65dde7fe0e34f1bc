// The GTK front end as the program sees it: the module qaf-gtk.so, which the program opens only
// when it shows a window, so that a run without one never maps GTK and the libraries under it.
// No toolkit types here: the program includes this without GTK's headers.
#ifndef QAF_UI_FRONTEND_H
#define QAF_UI_FRONTEND_H

#define QAF_FRONTEND_MODULE "qaf-gtk.so"
#define QAF_FRONTEND_ENTRY "qafFrontEnd"
// Changes whenever the table below does, so that a program never calls through the table of a
// module built for another one.
#define QAF_FRONTEND_ABI 1

// Everything here runs on the main thread, in this order.
struct qafFrontEndTable {
  int abi;                               // QAF_FRONTEND_ABI of the module's build
  void (*init)(int *argc, char ***argv); // the toolkit (gtk_init)
  void (*buildMainWindow)();
  void (*addSetListMenuItems)();
  void (*quitOnSignals)();               // SIGINT and SIGTERM end the main loop
  void (*run)();                         // the main loop, until the window closes
};

// The module's one exported entry point, looked up by its name QAF_FRONTEND_ENTRY.
extern "C" const qafFrontEndTable *qafFrontEnd();

#endif
