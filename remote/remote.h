// Control from elsewhere: the remote control server (a web page and a WebSocket carrying the
// one-line commands, remote/server.cpp) and the session manager client (remote/nsm.cpp). Both
// run on the program's GLib main loop, the window's or the headless one.
#ifndef QAF_REMOTE_H
#define QAF_REMOTE_H

#include <string>

struct remoteSettings {
  std::string address = "127.0.0.1";  // where to listen; "0.0.0.0" for every interface
  int port = 0;                       // 0: any free port
  std::string token;                  // "" for a random one
  bool files = false;                 // file commands allowed over the network
};

// "[ADDR:]PORT" (ADDR may be "[v6]"); false when it is not one.
bool parseRemoteAddress(const char *text, remoteSettings *s);

// Main thread, with the main loop's context current: listens and prints the line
// "Remote control: http://ADDR:PORT/?token=T" on the error stream. False, after one line on the
// error stream, when it cannot listen.
bool remoteStart(const remoteSettings &s);
// Main thread, at shutdown: closes every client and stops listening.
void remoteStop();

// The page served at "/" (remote/page.cpp).
extern const char remotePage[];

// ---- The session manager (NSM) ------------------------------------------------------------------

// Main thread, before the sound device opens. When NSM_URL is set: announces to the session
// manager and runs the main loop until it says where the session lives (then true, with the
// client ID for the JACK client's name and the files to use) or until a signal asks to quit (then
// false). Returns true at once, with nothing set, when NSM_URL is not set.
struct nsmSession {
  bool active = false;
  std::string clientId;  // the JACK client's name
  std::string layout;    // PATH/patch.lyo
  std::string setList;   // PATH/setlist.qset
};
bool nsmBegin(const char *executable, nsmSession *out, bool hasWindow);
// Main thread, once the session's files are loaded (or found absent): answers the open.
void nsmOpened(bool ok, const std::string &why);
// Main thread, at shutdown.
void nsmEnd();

#endif
