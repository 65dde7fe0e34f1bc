// The session manager client: the NSM protocol over OSC, through liblo, on the main loop. QAF
// announces itself, waits to be told where its session lives before its JACK client starts (named
// after the client ID it is given), keeps its patch and set list there, saves when asked and
// says when it has unsaved changes. Messages from anyone but the session manager are ignored.
#include <glib-unix.h>
#include <glib.h>
#include <glib/gstdio.h>
#include <lo/lo.h>
#include <netdb.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "control/events.h"
#include "control/setlist.h"
#include "files/fileops.h"
#include "remote/remote.h"

namespace {

struct nsmClient {
  lo_server server = nullptr;
  lo_address manager = nullptr;
  std::vector<std::string> managerHosts;  // the manager's numeric addresses
  std::string managerPort;
  guint watch = 0;
  int observer = 0;
  bool opened = false, quit = false, dirty = false, hasWindow = false;
  nsmSession session;
};

nsmClient *nsm = nullptr;

bool fromManager(lo_message m)
{
  lo_address src = lo_message_get_source(m);
  if (!src) return false;
  const char *host = lo_address_get_hostname(src), *port = lo_address_get_port(src);
  if (!host || !port || nsm->managerPort != port) return false;
  for (const std::string &h : nsm->managerHosts)
    if (h == host) return true;
  return false;
}

void reply(const char *to, const char *message)
{
  lo_send_from(nsm->manager, nsm->server, LO_TT_IMMEDIATE, "/reply", "ss", to, message);
}

void error(const char *to, int code, const char *message)
{
  lo_send_from(nsm->manager, nsm->server, LO_TT_IMMEDIATE, "/error", "sis", to, code, message);
}

void sendPlain(const char *path) { lo_send_from(nsm->manager, nsm->server, LO_TT_IMMEDIATE, path, ""); }

void markDirty()
{
  if (nsm->dirty || !nsm->opened) return;
  nsm->dirty = true;
  sendPlain("/nsm/client/is_dirty");
}

int onOpen(const char *, const char *, lo_arg **argv, int, lo_message m, void *)
{
  if (!fromManager(m)) return 0;
  if (nsm->opened) {
    // One session per run: its JACK client is already named.
    error("/nsm/client/open", -1, "QAF opens one session per run; restart it to switch");
    return 0;
  }
  std::string path = &argv[0]->s, id = &argv[2]->s;
  if (g_mkdir_with_parents(path.c_str(), 0755) != 0) {
    error("/nsm/client/open", -9, ("cannot make the folder " + path).c_str());
    return 0;
  }
  nsm->session.active = true;
  nsm->session.clientId = id;
  nsm->session.layout = path + "/patch.lyo";
  nsm->session.setList = path + "/setlist.qset";
  nsm->opened = true;
  return 0;
}

int onSave(const char *, const char *, lo_arg **, int, lo_message m, void *)
{
  if (!fromManager(m)) return 0;
  if (!nsm->opened) {
    error("/nsm/client/save", -1, "no session is open");
    return 0;
  }
  // The layout is written beside and renamed over the old one when whole.
  std::string tmp = nsm->session.layout.substr(0, nsm->session.layout.size() - 4) + ".new.lyo";
  g_remove(tmp.c_str());
  real_save(&tmp[0]);
  bool ok = g_file_test(tmp.c_str(), G_FILE_TEST_IS_REGULAR) &&
            g_rename(tmp.c_str(), nsm->session.layout.c_str()) == 0;
  ok = ok && saveSetList(nsm->session.setList.c_str());
  if (!ok) {
    g_remove(tmp.c_str());
    error("/nsm/client/save", -4, "the patch or the set list could not be written");
    return 0;
  }
  reply("/nsm/client/save", "Saved");
  nsm->dirty = false;
  sendPlain("/nsm/client/is_clean");
  return 0;
}

// The window cannot be hidden or shown from here; the manager is told how things stand.
int onGui(const char *, const char *, lo_arg **, int, lo_message m, void *)
{
  if (!fromManager(m)) return 0;
  sendPlain(nsm->hasWindow ? "/nsm/client/gui_is_shown" : "/nsm/client/gui_is_hidden");
  return 0;
}

int onReply(const char *, const char *, lo_arg **argv, int argc, lo_message m, void *)
{
  if (!fromManager(m) || argc < 2) return 0;
  if (strcmp(&argv[0]->s, "/nsm/server/announce") == 0)
    fprintf(stderr, "Session manager: %s\n", &argv[1]->s);
  return 0;
}

int onError(const char *, const char *, lo_arg **argv, int argc, lo_message m, void *)
{
  if (!fromManager(m) || argc < 3) return 0;
  fprintf(stderr, "Session manager refused %s: %s\n", &argv[0]->s, &argv[2]->s);
  if (strcmp(&argv[0]->s, "/nsm/server/announce") == 0) nsm->quit = true;
  return 0;
}

gboolean onSocket(gint, GIOCondition, gpointer)
{
  while (lo_server_recv_noblock(nsm->server, 0) > 0) {
  }
  return G_SOURCE_CONTINUE;
}

gboolean onSignal(gpointer)
{
  nsm->quit = true;
  return G_SOURCE_REMOVE;
}

void onProgram(int, const char *, void *) { markDirty(); }
void onParm(int, int, float, void *) { markDirty(); }
void onPatch(void *) { markDirty(); }

// The manager's address as numbers, as message sources read.
void resolveManager(const char *host, const char *port)
{
  addrinfo hints = {}, *res = nullptr;
  hints.ai_socktype = SOCK_DGRAM;
  if (getaddrinfo(host, port, &hints, &res) != 0) return;
  for (addrinfo *a = res; a; a = a->ai_next) {
    char h[NI_MAXHOST];
    if (getnameinfo(a->ai_addr, a->ai_addrlen, h, sizeof h, nullptr, 0, NI_NUMERICHOST) == 0)
      nsm->managerHosts.push_back(h);
  }
  freeaddrinfo(res);
}

}  // namespace

bool nsmBegin(const char *executable, nsmSession *out, bool hasWindow)
{
  const char *url = getenv("NSM_URL");
  if (!url || !*url) return true;
  nsm = new nsmClient;
  nsm->hasWindow = hasWindow;
  nsm->manager = lo_address_new_from_url(url);
  if (!nsm->manager) {
    fprintf(stderr, "Session manager: NSM_URL \"%s\" is not an OSC address; going on without it\n", url);
    delete nsm;
    nsm = nullptr;
    return true;
  }
  resolveManager(lo_address_get_hostname(nsm->manager), lo_address_get_port(nsm->manager));
  nsm->managerPort = lo_address_get_port(nsm->manager);
  nsm->server = lo_server_new_with_proto(nullptr, LO_UDP, nullptr);
  if (!nsm->server) {
    fprintf(stderr, "Session manager: cannot open a UDP port; going on without it\n");
    lo_address_free(nsm->manager);
    delete nsm;
    nsm = nullptr;
    return true;
  }
  lo_server_add_method(nsm->server, "/nsm/client/open", "sss", onOpen, nullptr);
  lo_server_add_method(nsm->server, "/nsm/client/save", "", onSave, nullptr);
  lo_server_add_method(nsm->server, "/nsm/client/show_optional_gui", "", onGui, nullptr);
  lo_server_add_method(nsm->server, "/nsm/client/hide_optional_gui", "", onGui, nullptr);
  lo_server_add_method(nsm->server, "/reply", nullptr, onReply, nullptr);
  lo_server_add_method(nsm->server, "/error", "sis", onError, nullptr);
  nsm->watch = g_unix_fd_add(lo_server_get_socket_fd(nsm->server), G_IO_IN, onSocket, nullptr);
  const char *base = strrchr(executable, '/');
  lo_send_from(nsm->manager, nsm->server, LO_TT_IMMEDIATE, "/nsm/server/announce", "sssiii", "QAF",
               ":optional-gui:dirty:", base ? base + 1 : executable, 1, 1, (int)getpid());
  // Nothing starts before the session is known; a termination request still ends the run.
  guint sigTerm = g_unix_signal_add(SIGTERM, onSignal, nullptr);
  guint sigInt = g_unix_signal_add(SIGINT, onSignal, nullptr);
  while (!nsm->opened && !nsm->quit) g_main_context_iteration(nullptr, TRUE);
  GSource *s;
  if ((s = g_main_context_find_source_by_id(nullptr, sigTerm))) g_source_destroy(s);
  if ((s = g_main_context_find_source_by_id(nullptr, sigInt))) g_source_destroy(s);
  if (!nsm->opened) return false;
  *out = nsm->session;
  nsm->observer = addControlObserver({onProgram, onParm, onPatch, nullptr});
  return true;
}

void nsmOpened(bool ok, const std::string &why)
{
  if (!nsm || !nsm->opened) return;
  if (ok)
    reply("/nsm/client/open", "Opened");
  else
    error("/nsm/client/open", -3, why.c_str());
  sendPlain(nsm->hasWindow ? "/nsm/client/gui_is_shown" : "/nsm/client/gui_is_hidden");
  nsm->dirty = false;
  sendPlain("/nsm/client/is_clean");
}

void nsmEnd()
{
  if (!nsm) return;
  if (nsm->observer) removeControlObserver(nsm->observer);
  g_source_remove(nsm->watch);
  lo_server_free(nsm->server);
  lo_address_free(nsm->manager);
  delete nsm;
  nsm = nullptr;
}
