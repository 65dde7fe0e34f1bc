// The remote control server: one page at "/" and a WebSocket at "/ws" that carries the one-line
// commands (one reply each, "ok ..." or "err ...") and pushes what changes (programs, parameter
// values, the patch, meters, the tuner, the status). Every request must carry the run's token,
// and a browser's Origin must be the server it talks to: a stage's Wi-Fi is shared with strangers.
// Runs on the main loop's thread, as every command does.
#include <gio/gio.h>
#include <libsoup/soup.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <linux/sockios.h>

#include <string>
#include <vector>

#include "audio/devices.h"
#include "command/cmdparse.h"
#include "base/reply.h"
#include "control/events.h"
#include "control/setlist.h"
#include "monitor/monitor.h"
#include "monitor/pitch.h"
#include "remote/remote.h"

#define MAX_CLIENTS 8
#define MAX_LINE 1024              // a longer command line is refused
#define MAX_FRAME 4096             // a longer frame closes the connection
#define IDLE_CLOSE_US (45 * G_USEC_PER_SEC)  // a client that says nothing for this long goes
#define SLOW_CLIENT_BYTES (16 * 1024)        // unsent bytes past which meter frames are skipped

namespace {

struct remoteClient {
  SoupWebsocketConnection *conn = nullptr;
  int fd = -1;          // the socket, for how much is still unsent
  gint64 lastHeard = 0;
  bool tuner = false;   // wants tuner frames
  bool mute = false;    // wants Line Out silenced while it tunes
};

struct remoteServer {
  SoupServer *server = nullptr;
  std::string token;
  bool files = false;
  std::vector<remoteClient *> clients;
  guint meterTimer = 0, tunerTimer = 0, statusTimer = 0;
  int observer = 0;
  bool muting = false;  // Line Out is silenced for a remote tuner
};

remoteServer *srv = nullptr;

// The token compared in constant time: how long the match runs must not tell where it failed.
bool tokenMatches(const char *given)
{
  if (!given) return false;
  size_t n = strlen(given), m = srv->token.size();
  unsigned diff = n != m;
  for (size_t i = 0; i < m; i++) diff |= (unsigned char)srv->token[i] ^ (unsigned char)(i < n ? given[i] : 0);
  return diff == 0;
}

// A browser's page may open a WebSocket to any server; only a page of this server may talk to
// it. Clients that are not browsers send no Origin.
bool originMatches(SoupServerMessage *msg)
{
  SoupMessageHeaders *h = soup_server_message_get_request_headers(msg);
  const char *origin = soup_message_headers_get_one(h, "Origin");
  if (!origin) return true;
  const char *host = soup_message_headers_get_one(h, "Host");
  if (!host) return false;
  std::string o = origin;
  return o == std::string("http://") + host;
}

bool allowed(SoupServerMessage *msg)
{
  GUri *uri = soup_server_message_get_uri(msg);
  const char *query = g_uri_get_query(uri);
  bool ok = false;
  if (query) {
    GHashTable *q = g_uri_parse_params(query, -1, "&", G_URI_PARAMS_NONE, nullptr);
    if (q) {
      ok = tokenMatches((const char *)g_hash_table_lookup(q, "token"));
      g_hash_table_unref(q);
    }
  }
  return ok && originMatches(msg);
}

void refuse(SoupServerMessage *msg, guint status, const char *why)
{
  soup_server_message_set_status(msg, status, nullptr);
  soup_server_message_set_response(msg, "text/plain", SOUP_MEMORY_COPY, why, strlen(why));
}

// Before the WebSocket handshake: the token, the Origin and the number of clients.
void wsEarly(SoupServer *, SoupServerMessage *msg, const char *, GHashTable *, gpointer)
{
  if (!allowed(msg))
    refuse(msg, SOUP_STATUS_FORBIDDEN, "forbidden\n");
  else if (srv->clients.size() >= MAX_CLIENTS)
    refuse(msg, SOUP_STATUS_SERVICE_UNAVAILABLE, "too many clients\n");
}

void pageHandler(SoupServer *, SoupServerMessage *msg, const char *path, GHashTable *, gpointer)
{
  if (!allowed(msg)) {
    refuse(msg, SOUP_STATUS_FORBIDDEN, "forbidden\n");
    return;
  }
  if (strcmp(path, "/") != 0) {
    refuse(msg, SOUP_STATUS_NOT_FOUND, "not found\n");
    return;
  }
  if (strcmp(soup_server_message_get_method(msg), "GET") != 0) {
    refuse(msg, SOUP_STATUS_METHOD_NOT_ALLOWED, "GET only\n");
    return;
  }
  SoupMessageHeaders *h = soup_server_message_get_response_headers(msg);
  // The page holds the token in its address: no cache, no referrer, nothing from elsewhere.
  soup_message_headers_replace(h, "Cache-Control", "no-store");
  soup_message_headers_replace(h, "Referrer-Policy", "no-referrer");
  soup_message_headers_replace(h, "X-Content-Type-Options", "nosniff");
  soup_message_headers_replace(h, "X-Frame-Options", "DENY");
  soup_message_headers_replace(h, "Content-Security-Policy",
                               "default-src 'none'; script-src 'unsafe-inline'; "
                               "style-src 'unsafe-inline'; connect-src 'self'; img-src data:; "
                               "frame-ancestors 'none'");
  soup_server_message_set_status(msg, SOUP_STATUS_OK, nullptr);
  soup_server_message_set_response(msg, "text/html; charset=utf-8", SOUP_MEMORY_STATIC, remotePage,
                                   strlen(remotePage));
}

// Unsent bytes in the socket: a client that reads slowly (a phone on a poor link) has many.
int unsent(const remoteClient *c)
{
  int n = 0;
  if (c->fd < 0 || ioctl(c->fd, SIOCOUTQ, &n) != 0) return 0;
  return n;
}

void sendTo(remoteClient *c, const std::string &text)
{
  if (soup_websocket_connection_get_state(c->conn) == SOUP_WEBSOCKET_STATE_OPEN)
    soup_websocket_connection_send_text(c->conn, text.c_str());
}

// Events every client gets, whatever its speed: programs, parameters, the patch.
void sendAll(const std::string &text)
{
  for (remoteClient *c : srv->clients) sendTo(c, text);
}

// Frames where only the latest counts: a client still busy with earlier ones skips this one.
void sendFrame(remoteClient *c, const std::string &text)
{
  if (unsent(c) < SLOW_CLIENT_BYTES) sendTo(c, text);
}

void updateMute()
{
  bool want = false;
  for (remoteClient *c : srv->clients) want = want || (c->tuner && c->mute);
  if (want == srv->muting) return;
  srv->muting = want;
  setOutputMuted(want);
}

bool isFileCommand(const std::string &word)
{
  static const char *words[] = {"load", "save", "bank", "setlist", "saveset", "store"};
  for (const char *w : words)
    if (g_ascii_strcasecmp(word.c_str(), w) == 0) return true;
  return false;
}

// The words only a remote client has: "ping", "tuner on|off", "mute on|off". True when the line
// was one, with its reply in *reply.
bool clientWord(remoteClient *c, const std::vector<std::string> &w, std::string *reply)
{
  if (w.size() == 1 && w[0] == "ping") {
    *reply = "ok pong";
    return true;
  }
  if (w.size() != 2 || (w[0] != "tuner" && w[0] != "mute")) return false;
  if (w[1] != "on" && w[1] != "off") {
    *reply = "err " + w[0] + " takes on or off";
    return true;
  }
  bool on = w[1] == "on";
  if (w[0] == "tuner")
    c->tuner = on;
  else
    c->mute = on;
  updateMute();
  *reply = "ok " + w[0] + " " + w[1];
  return true;
}

std::string runLine(remoteClient *c, const std::string &line)
{
  if (line.size() > MAX_LINE) return "err line too long";
  for (unsigned char ch : line)
    if (ch < 0x20 && ch != '\t') return "err control characters are not allowed";
  // The words in lower case, for the checks before the command runs.
  std::vector<std::string> lw;
  gchar **p = g_strsplit_set(line.c_str(), " \t", -1);
  for (gchar **q = p; *q; q++)
    if (**q) lw.push_back(*q);
  g_strfreev(p);
  if (lw.empty()) return "err empty line";
  for (auto &s : lw)
    for (auto &ch : s) ch = (char)g_ascii_tolower(ch);
  if (isFileCommand(lw[0]) && !srv->files)
    return "err file commands are off over the network (start qaf with --remote-files)";
  std::string reply;
  if (clientWord(c, lw, &reply)) return reply;
  replyCollector out;
  std::string copy = line;
  cmdparse(&copy[0], out);
  std::string text;
  for (size_t i = 0; i < out.lines.size(); i++) text += (i ? "\n" : "") + out.lines[i];
  return std::string(out.failedAny() ? "err" : "ok") + (text.empty() ? "" : " " + text);
}

void dropClient(remoteClient *c)
{
  for (size_t i = 0; i < srv->clients.size(); i++)
    if (srv->clients[i] == c) srv->clients.erase(srv->clients.begin() + i);
  g_signal_handlers_disconnect_by_data(c->conn, c);
  g_object_unref(c->conn);
  delete c;
  updateMute();
}

void onMessage(SoupWebsocketConnection *, gint type, GBytes *data, gpointer p)
{
  remoteClient *c = (remoteClient *)p;
  c->lastHeard = g_get_monotonic_time();
  if (type != SOUP_WEBSOCKET_DATA_TEXT) {
    sendTo(c, "err text lines only");
    return;
  }
  gsize n;
  const char *d = (const char *)g_bytes_get_data(data, &n);
  std::string line(d ? d : "", n);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  sendTo(c, runLine(c, line));
}

void onClosed(SoupWebsocketConnection *, gpointer p) { dropClient((remoteClient *)p); }

void wsHandler(SoupServer *, SoupServerMessage *msg, const char *, SoupWebsocketConnection *conn,
               gpointer)
{
  remoteClient *c = new remoteClient;
  c->conn = (SoupWebsocketConnection *)g_object_ref(conn);
  GSocket *s = soup_server_message_get_socket(msg);
  c->fd = s ? g_socket_get_fd(s) : -1;
  c->lastHeard = g_get_monotonic_time();
  soup_websocket_connection_set_max_incoming_payload_size(conn, MAX_FRAME);
  g_signal_connect(conn, "message", G_CALLBACK(onMessage), c);
  g_signal_connect(conn, "closed", G_CALLBACK(onClosed), c);
  srv->clients.push_back(c);
  int n = currentProgram();
  if (n >= 0) sendTo(c, "program " + std::to_string(n) + " " + currentSetList().preset[n].name);
}

// ---- Events ---------------------------------------------------------------------------------------

void onProgram(int n, const char *name, void *)
{
  sendAll("program " + std::to_string(n) + " " + name);
}

void onParm(int id, int parm, float v, void *)
{
  char t[80];
  g_snprintf(t, sizeof t, "parm %d %d %g", id, parm, v);
  sendAll(t);
}

void onPatch(void *) { sendAll("patch"); }

gboolean meterTick(gpointer)
{
  if (srv->clients.empty()) return G_SOURCE_CONTINUE;
  meterPeaks p = monitorTakePeaks(READER_REMOTE);
  char t[80];
  g_snprintf(t, sizeof t, "meters %d %d %d %d", p.in[0], p.in[1], p.out[0], p.out[1]);
  for (remoteClient *c : srv->clients) sendFrame(c, t);
  return G_SOURCE_CONTINUE;
}

gboolean tunerTick(gpointer)
{
  bool any = false;
  for (remoteClient *c : srv->clients) any = any || c->tuner;
  if (!any) return G_SOURCE_CONTINUE;
  // The window's tuner keeps a reading fresh when it is open; otherwise one is made here.
  pitchReading r = tunerRunning() ? tunerLatest() : tunerReadNow();
  char t[80];
  if (r.note)
    g_snprintf(t, sizeof t, "tuner %s %+.1f %.2f", noteName(r.midi).c_str(), r.cents, r.hz);
  else
    g_snprintf(t, sizeof t, "tuner -");
  for (remoteClient *c : srv->clients)
    if (c->tuner) sendFrame(c, t);
  return G_SOURCE_CONTINUE;
}

// Once a second: the status frame, and clients that have been silent too long go.
gboolean statusTick(gpointer)
{
  gint64 now = g_get_monotonic_time();
  std::vector<remoteClient *> silent;
  for (remoteClient *c : srv->clients)
    if (now - c->lastHeard > IDLE_CLOSE_US) silent.push_back(c);
  for (remoteClient *c : silent)
    soup_websocket_connection_close(c->conn, SOUP_WEBSOCKET_CLOSE_POLICY_VIOLATION, "idle");
  double load = monitorLoadPercent();
  long xruns = currentSoundXruns();
  char l[32], x[32], t[120];
  g_snprintf(l, sizeof l, load < 0 ? "--" : "%.1f", load);
  g_snprintf(x, sizeof x, xruns < 0 ? "n/a" : "%ld", xruns);
  g_snprintf(t, sizeof t, "status %s %s %d", l, x, outputMuted() ? 1 : 0);
  for (remoteClient *c : srv->clients) sendFrame(c, t);
  return G_SOURCE_CONTINUE;
}

std::string randomToken()
{
  // 128 bits from the kernel's generator, as 32 hex digits.
  unsigned char b[16];
  bool ok = false;
  FILE *f = fopen("/dev/urandom", "rb");
  if (f) {
    ok = fread(b, 1, sizeof b, f) == sizeof b;
    fclose(f);
  }
  if (!ok)
    for (auto &x : b) x = (unsigned char)g_random_int_range(0, 256);
  char hex[33];
  for (int i = 0; i < 16; i++) g_snprintf(hex + 2 * i, 3, "%02x", b[i]);
  return hex;
}

}  // namespace

bool parseRemoteAddress(const char *text, remoteSettings *s)
{
  std::string t = text ? text : "";
  std::string addr = s->address, port = t;
  size_t colon = t.rfind(':');
  if (colon != std::string::npos) {
    addr = t.substr(0, colon);
    port = t.substr(colon + 1);
    if (addr.size() > 2 && addr.front() == '[' && addr.back() == ']') addr = addr.substr(1, addr.size() - 2);
    GInetAddress *a = g_inet_address_new_from_string(addr.c_str());
    if (!a) return false;
    g_object_unref(a);
  }
  char *end = nullptr;
  long n = strtol(port.c_str(), &end, 10);
  if (port.empty() || *end || n < 0 || n > 65535) return false;
  s->address = addr;
  s->port = (int)n;
  return true;
}

bool remoteStart(const remoteSettings &s)
{
  srv = new remoteServer;
  srv->token = s.token.empty() ? randomToken() : s.token;
  srv->files = s.files;
  srv->server = soup_server_new("server-header", "qaf", nullptr);
  soup_server_add_handler(srv->server, nullptr, pageHandler, nullptr, nullptr);
  soup_server_add_early_handler(srv->server, "/ws", wsEarly, nullptr, nullptr);
  soup_server_add_websocket_handler(srv->server, "/ws", nullptr, nullptr, wsHandler, nullptr, nullptr);
  GSocketAddress *where = g_inet_socket_address_new_from_string(s.address.c_str(), (guint)s.port);
  GError *err = nullptr;
  if (!where || !soup_server_listen(srv->server, where, (SoupServerListenOptions)0, &err)) {
    fprintf(stderr, "Remote control: cannot listen on %s port %d: %s\n", s.address.c_str(), s.port,
            err ? err->message : "not an address");
    if (err) g_error_free(err);
    if (where) g_object_unref(where);
    g_object_unref(srv->server);
    delete srv;
    srv = nullptr;
    return false;
  }
  g_object_unref(where);
  int port = s.port;
  GSList *uris = soup_server_get_uris(srv->server);
  if (uris) port = g_uri_get_port((GUri *)uris->data);
  g_slist_free_full(uris, (GDestroyNotify)g_uri_unref);
  bool v6 = s.address.find(':') != std::string::npos;
  fprintf(stderr, "Remote control: http://%s%s%s:%d/?token=%s\n", v6 ? "[" : "", s.address.c_str(),
          v6 ? "]" : "", port, srv->token.c_str());
  fflush(stderr);
  srv->observer = addControlObserver({onProgram, onParm, onPatch, nullptr});
  srv->meterTimer = g_timeout_add(50, meterTick, nullptr);
  srv->tunerTimer = g_timeout_add(66, tunerTick, nullptr);
  srv->statusTimer = g_timeout_add(1000, statusTick, nullptr);
  return true;
}

void remoteStop()
{
  if (!srv) return;
  removeControlObserver(srv->observer);
  g_source_remove(srv->meterTimer);
  g_source_remove(srv->tunerTimer);
  g_source_remove(srv->statusTimer);
  while (!srv->clients.empty()) dropClient(srv->clients.back());
  soup_server_disconnect(srv->server);
  g_object_unref(srv->server);
  delete srv;
  srv = nullptr;
}
