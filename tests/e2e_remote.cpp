// Control from elsewhere, end to end: build/qaf --no-gui --remote on the fake device (paced, so
// meters move) answered by a libsoup client; the page in headless Chromium driven through its
// DevTools protocol; and the session manager played by the test with liblo against a private
// jackd. Everything talks to 127.0.0.1 only, and every wait has a deadline.
#include <gtest/gtest.h>
#include <libsoup/soup.h>
#include <lo/lo.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <deque>
#include <functional>

#include "tests/devicetest.h"
#include "tests/jackserver.h"

struct TempDir {
  std::string path;
  TempDir()
  {
    char t[] = "/tmp/qaftestXXXXXX";
    path = mkdtemp(t) ? t : "/tmp";
  }
  ~TempDir() { (void)!system(("rm -rf '" + path + "'").c_str()); }
};

// Runs the main context until done() or the deadline; true when done.
static bool spin(const std::function<bool()> &done, int ms = 8000)
{
  gint64 end = g_get_monotonic_time() + ms * 1000LL;
  while (!done()) {
    if (g_get_monotonic_time() > end) return false;
    g_main_context_iteration(nullptr, FALSE);
    g_usleep(1000);
  }
  return true;
}

// build/qaf in a process group of its own, standard input kept open, its error stream in a file.
struct Qaf {
  pid_t pid = -1;
  int in = -1;
  std::string err, out;
  Qaf(const std::vector<std::string> &args, const std::string &dir)
  {
    err = dir + "/stderr";
    out = dir + "/stdout";
    int p[2];
    if (pipe(p) != 0) return;
    pid = fork();
    if (pid == 0) {
      setpgid(0, 0);
      dup2(p[0], 0);
      close(p[1]);
      if (!freopen(out.c_str(), "w", stdout) || !freopen(err.c_str(), "w", stderr)) _exit(98);
      std::vector<char *> argv{(char *)QAF_BINARY};
      for (const std::string &a : args) argv.push_back((char *)a.c_str());
      argv.push_back(nullptr);
      execv(QAF_BINARY, argv.data());
      _exit(97);
    }
    close(p[0]);
    in = p[1];
  }
  // The server's address from its start-up line ("" when it never came).
  std::string url()
  {
    std::string u;
    spin([&] {
      for (const std::string &l : readLines(err))
        if (l.rfind("Remote control: ", 0) == 0) u = l.substr(16);
      return !u.empty();
    });
    return u;
  }
  int finish(int sig = 0)
  {
    if (sig) kill(pid, sig);
    if (in >= 0) close(in);
    in = -1;
    int st = -1;
    for (int t = 0; t < 1000 && waitpid(pid, &st, WNOHANG) != pid; t++) usleep(10000);
    if (!WIFEXITED(st) && !WIFSIGNALED(st)) {
      kill(-pid, SIGKILL);
      waitpid(pid, &st, 0);
    }
    pid = -1;
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  }
  ~Qaf()
  {
    if (pid > 0) finish(SIGTERM);
  }
};

// One WebSocket client: every text frame received, in order; the HTTP status of a refusal.
struct Ws {
  SoupSession *session = soup_session_new();
  SoupWebsocketConnection *conn = nullptr;
  std::deque<std::string> got;
  guint status = 0;
  bool done = false, closed = false;
  Ws(const std::string &url, const char *origin = nullptr)
  {
    SoupMessage *m = soup_message_new("GET", url.c_str());
    if (origin) soup_message_headers_replace(soup_message_get_request_headers(m), "Origin", origin);
    soup_session_websocket_connect_async(
        session, m, nullptr, nullptr, G_PRIORITY_DEFAULT, nullptr,
        [](GObject *s, GAsyncResult *r, gpointer p) {
          Ws *w = (Ws *)p;
          w->conn = soup_session_websocket_connect_finish(SOUP_SESSION(s), r, nullptr);
          w->done = true;
          if (!w->conn) return;
          g_signal_connect(w->conn, "message", G_CALLBACK(+[](SoupWebsocketConnection *, gint, GBytes *b, gpointer q) {
            gsize n;
            const char *d = (const char *)g_bytes_get_data(b, &n);
            ((Ws *)q)->got.emplace_back(d, n);
          }), w);
          g_signal_connect(w->conn, "closed", G_CALLBACK(+[](SoupWebsocketConnection *, gpointer q) {
            ((Ws *)q)->closed = true;
          }), w);
        },
        this);
    spin([&] { return done; });
    status = soup_message_get_status(m);
    g_object_unref(m);
  }
  ~Ws()
  {
    if (conn) {
      g_signal_handlers_disconnect_by_data(conn, this);
      g_object_unref(conn);
    }
    g_object_unref(session);
  }
  void send(const std::string &t) { soup_websocket_connection_send_text(conn, t.c_str()); }
  // The next frame that starts with the prefix (frames before it are dropped); "" at the deadline.
  std::string next(const std::string &prefix, int ms = 8000)
  {
    std::string hit;
    spin([&] {
      while (!got.empty() && hit.empty()) {
        if (got.front().rfind(prefix, 0) == 0) hit = got.front();
        got.pop_front();
      }
      return !hit.empty();
    }, ms);
    return hit;
  }
  // Sends a command and waits for its reply; the events around it stay in got.
  std::string ask(const std::string &line)
  {
    send(line);
    std::string r;
    spin([&] {
      for (auto i = got.begin(); i != got.end(); ++i)
        if (i->rfind("ok", 0) == 0 || i->rfind("err", 0) == 0) {
          r = *i;
          got.erase(i);
          break;
        }
      return !r.empty();
    });
    return r;
  }
};

static std::string wsUrl(const std::string &page) { return "ws" + page.substr(4, page.find("/?") - 4) + "/ws" + page.substr(page.find("/?") + 1); }

class Remote : public testing::Test {
 protected:
  FakeDevice dev;
  TempDir io;
  std::unique_ptr<Qaf> qaf;
  std::string page, ws;
  void SetUp() override
  {
    signal(SIGPIPE, SIG_IGN);
    dev.input(framesToBytes(testSignal(44100 * 2)));
    dev.set("FAKEDSP_PACE", "1");
    dev.set("FAKEDSP_STALL", "1");
    setenv("LD_PRELOAD", FAKEDSP_LIBRARY, 1);
    qaf.reset(new Qaf({"--no-gui", "--remote", "127.0.0.1:0", "--set", QAF_EXAMPLES_DIR "/setlist.qset"}, io.path));
    unsetenv("LD_PRELOAD");
    page = qaf->url();
    ASSERT_FALSE(page.empty()) << "no start-up line";
    ws = wsUrl(page);
  }
  void TearDown() override { EXPECT_EQ(qaf->finish(), 0); }
};

TEST_F(Remote, ProgramsParameterFloodsEventsAndRefusedFileCommands)
{
  EXPECT_EQ(page.rfind("http://127.0.0.1:", 0), 0u);
  EXPECT_EQ(page.size() - page.find("token=") - 6, 32u) << "128 random bits in hex";
  Ws c(ws);
  ASSERT_NE(c.conn, nullptr);
  std::string presets = c.ask("presets");
  ASSERT_EQ(presets.rfind("ok *0\t", 0), 0u) << presets;
  size_t one = presets.find("\n1\t");
  ASSERT_NE(one, std::string::npos);
  std::string name = presets.substr(one + 3, presets.find('\n', one + 3) - one - 3);
  EXPECT_EQ(c.ask("program 1").rfind("ok Program 1: preset", 0), 0u);
  EXPECT_EQ(c.next("program 1"), "program 1 " + name);
  EXPECT_EQ(c.ask("program 99").rfind("err Program 99: no preset", 0), 0u);

  // A flood of values for one parameter ends on the last, in the module and in the events.
  std::string made = c.ask("A 2");
  EXPECT_EQ(made.rfind("ok MOD_EXEC_NUM ", 0), 0u) << made;
  EXPECT_NE(made.find("\nName of new module: Passthrough"), std::string::npos) << made;
  EXPECT_EQ(c.ask("A 99"), "err Error: Type 99 is out of range.");
  std::deque<std::string> seen = c.got;
  EXPECT_EQ(c.next("patch"), "patch") << testing::PrintToString(seen);
  std::string mods = c.ask("parms");
  std::string id = mods.substr(mods.rfind('\n') + 1);
  ASSERT_NE(id.find("\tPassthrough\t4"), std::string::npos) << mods;
  id = id.substr(0, id.find('\t'));
  for (int v = 0; v < 300; v++) c.send("set " + id + " 0 " + std::to_string(v % 200) + ".5");
  c.send("set " + id + " 0 77.25");
  int replies = 0;
  std::string last;
  spin([&] {
    for (; !c.got.empty(); c.got.pop_front()) {
      replies += c.got.front().rfind("ok Module", 0) == 0;
      if (c.got.front().rfind("parm " + id + " 0 ", 0) == 0) last = c.got.front();
    }
    return replies == 301 && last == "parm " + id + " 0 77.25";
  });
  EXPECT_EQ(replies, 301);
  EXPECT_EQ(last, "parm " + id + " 0 77.25");
  std::string parms = c.ask("parms " + id);
  EXPECT_EQ(parms.substr(0, parms.find('\n')), "ok 0\tVolumeA\t77.25\t0..256\tslider");

  for (const char *l : {"load /etc/passwd", "SAVE /tmp/x.lyo", "bank a.sbk", "setlist x", "saveset y", "store 3 Verse"})
    EXPECT_EQ(c.ask(l), "err file commands are off over the network (start qaf with --remote-files)") << l;
  EXPECT_FALSE(c.next("meters ", 2000).empty());
  EXPECT_FALSE(c.next("status ", 3000).empty());
  EXPECT_EQ(c.ask("tuner on"), "ok tuner on");
  EXPECT_FALSE(c.next("tuner ", 2000).empty());
}

TEST_F(Remote, RefusalsMalformedFramesAndManyConnectionsLeaveItServing)
{
  std::string bad = ws.substr(0, ws.find("token=") + 6) + "0123456789abcdef0123456789abcdef";
  Ws wrong(bad);
  EXPECT_EQ(wrong.conn, nullptr);
  EXPECT_EQ(wrong.status, 403u);
  Ws noToken(ws.substr(0, ws.find('?')));
  EXPECT_EQ(noToken.status, 403u);
  Ws foreign(ws, "http://evil.example");
  EXPECT_EQ(foreign.conn, nullptr);
  EXPECT_EQ(foreign.status, 403u);
  std::string host = page.substr(7, page.find("/?") - 7);
  Ws same(ws, ("http://" + host).c_str());
  EXPECT_NE(same.conn, nullptr) << "its own page is welcome";

  Ws c(ws);
  ASSERT_NE(c.conn, nullptr);
  EXPECT_EQ(c.ask(std::string(2000, 'x')), "err line too long");
  EXPECT_EQ(c.ask("set 1\0012 3"), "err control characters are not allowed");
  EXPECT_EQ(c.ask("   "), "err empty line");
  GBytes *b = g_bytes_new("\x01\x02", 2);
  soup_websocket_connection_send_message(c.conn, SOUP_WEBSOCKET_DATA_BINARY, b);
  g_bytes_unref(b);
  EXPECT_EQ(c.ask("ping"), "err text lines only");
  EXPECT_EQ(c.next("ok pong"), "ok pong");
  c.send(std::string(10000, 'y'));  // past the largest frame: the server closes
  EXPECT_TRUE(spin([&] { return c.closed; }));

  // Clients are bounded: with 7 open besides, one more is turned away.
  std::vector<std::unique_ptr<Ws>> many;
  for (int i = 0; i < 7; i++) many.emplace_back(new Ws(ws));
  Ws over(ws);
  EXPECT_EQ(over.status, 503u);
  many.clear();
  // 200 connections opened and dropped: half of them plain TCP that leaves mid-request.
  for (int i = 0; i < 200; i++) {
    if (i % 2) {
      Ws w(ws);
      ASSERT_NE(w.conn, nullptr) << i;
      soup_websocket_connection_close(w.conn, SOUP_WEBSOCKET_CLOSE_NORMAL, nullptr);
      spin([&] { return w.closed; });
    } else {
      GSocketClient *sc = g_socket_client_new();
      GSocketConnection *tc = g_socket_client_connect_to_host(sc, host.c_str(), 0, nullptr, nullptr);
      ASSERT_NE(tc, nullptr);
      g_output_stream_write(g_io_stream_get_output_stream(G_IO_STREAM(tc)), "GET /ws?tok", 11, nullptr, nullptr);
      g_object_unref(tc);
      g_object_unref(sc);
    }
  }
  Ws after(ws);
  ASSERT_NE(after.conn, nullptr);
  EXPECT_EQ(after.ask("ping"), "ok pong");
}

// ---- The session manager, played by the test ----------------------------------------------------

struct Osc {
  std::vector<std::vector<std::string>> got;  // path, then the arguments as text
  std::string from;                           // the port the last message came from
  lo_server s = lo_server_new_with_proto(nullptr, LO_UDP, nullptr);
  Osc()
  {
    lo_server_add_method(s, nullptr, nullptr, [](const char *path, const char *types, lo_arg **argv, int argc,
                                                 lo_message m, void *p) {
      std::vector<std::string> v{path};
      for (int i = 0; i < argc; i++)
        v.push_back(types[i] == 's' ? std::string(&argv[i]->s) : std::to_string(types[i] == 'i' ? argv[i]->i : 0));
      ((Osc *)p)->got.push_back(v);
      ((Osc *)p)->from = lo_address_get_port(lo_message_get_source(m));
      return 0;
    }, this);
  }
  ~Osc() { lo_server_free(s); }
  // The first message to path (and first argument, when given) since the last wait; empty at the
  // deadline.
  std::vector<std::string> wait(const std::string &path, const std::string &arg = "", int ms = 10000)
  {
    std::vector<std::string> hit;
    spin([&] {
      while (lo_server_recv_noblock(s, 0) > 0) {
      }
      for (auto &m : got)
        if (hit.empty() && m[0] == path && (arg.empty() || (m.size() > 1 && m[1] == arg))) hit = m;
      return !hit.empty();
    }, ms);
    got.clear();
    return hit;
  }
};

TEST(Session, AnnounceOpenJackClientNamedAfterTheIdSaveAndQuitOnSigterm)
{
  JackServer server(44100, 256);
  if (!server.up) GTEST_SKIP() << "JACK tests skipped: " << server.why;
  Osc nsm, stranger;
  TempDir io;
  setenv("NSM_URL", ("osc.udp://127.0.0.1:" + std::to_string(lo_server_get_port(nsm.s)) + "/").c_str(), 1);
  Qaf qaf({"--no-gui", "--midi", "none"}, io.path);
  unsetenv("NSM_URL");
  std::vector<std::string> a = nsm.wait("/nsm/server/announce");
  ASSERT_EQ(a.size(), 7u);
  EXPECT_EQ(a[1], "QAF");
  EXPECT_EQ(a[2], ":optional-gui:dirty:");
  EXPECT_EQ(a[3], "qaf");
  EXPECT_EQ(a[4] + a[5], "11");
  EXPECT_EQ(a[6], std::to_string(qaf.pid));
  lo_address client = lo_address_new("127.0.0.1", nsm.from.c_str());
  jack_client_t *probe = jack_client_open("probe", JackNoStartServer, nullptr);
  ASSERT_NE(probe, nullptr);
  usleep(300000);
  EXPECT_EQ(jack_port_by_name(probe, "qaf:in_1"), nullptr) << "no JACK client before the open";

  // Someone else on the network is not the session manager: no open, no save.
  std::string path = io.path + "/session/QAF.nTEST";
  lo_send_from(client, stranger.s, LO_TT_IMMEDIATE, "/nsm/client/open", "sss", path.c_str(), "QAF", "intruder");
  lo_send_from(client, nsm.s, LO_TT_IMMEDIATE, "/nsm/client/open", "sss", path.c_str(), "QAF", "qaf_nTEST");
  std::vector<std::string> r = nsm.wait("/reply", "/nsm/client/open");
  ASSERT_EQ(r.size(), 3u);
  EXPECT_TRUE(spin([&] { return jack_port_by_name(probe, "qaf_nTEST:out_2") != nullptr; }));
  EXPECT_EQ(jack_port_by_name(probe, "intruder:in_1"), nullptr);
  EXPECT_EQ(stranger.wait("/reply", "", 300), std::vector<std::string>{});

  (void)!write(qaf.in, "A 5\n", 4);
  EXPECT_EQ(nsm.wait("/nsm/client/is_dirty").size(), 1u);
  lo_send_from(client, stranger.s, LO_TT_IMMEDIATE, "/nsm/client/save", "");
  usleep(200000);
  EXPECT_FALSE(g_file_test((path + "/patch.lyo").c_str(), G_FILE_TEST_EXISTS));
  lo_send_from(client, nsm.s, LO_TT_IMMEDIATE, "/nsm/client/save", "");
  EXPECT_EQ(nsm.wait("/reply", "/nsm/client/save").size(), 3u);
  std::string lyo = readFileBytes(path + "/patch.lyo");
  EXPECT_EQ(lyo.rfind("QAF_LAYOUT\n", 0), 0u);
  EXPECT_EQ(readFileBytes(path + "/setlist.qset").rfind("[Set List]", 0), 0u);
  lo_address_free(client);
  jack_client_close(probe);
  EXPECT_EQ(qaf.finish(SIGTERM), 0);
}

// ---- The page in a browser ---------------------------------------------------------------------

// Headless Chromium in a process group of its own, driven through its DevTools WebSocket.
struct Browser {
  pid_t pid = -1;
  TempDir profile;
  std::unique_ptr<Ws> dev;
  int id = 0;
  explicit Browser(const std::string &url)
  {
    std::string err = profile.path + "/stderr";
    pid = fork();
    if (pid == 0) {
      setpgid(0, 0);
      if (!freopen(err.c_str(), "w", stderr) || !freopen("/dev/null", "w", stdout)) _exit(98);
      std::string dir = "--user-data-dir=" + profile.path + "/p";
      execlp("chromium-headless-shell", "chromium-headless-shell", "--no-sandbox", "--disable-gpu",
             "--remote-debugging-port=0", "--remote-debugging-address=127.0.0.1", "--window-size=390,844",
             "--no-first-run", dir.c_str(), url.c_str(), (char *)nullptr);
      _exit(127);
    }
    std::string ws;
    spin([&] {
      for (const std::string &l : readLines(err))
        if (l.rfind("DevTools listening on ", 0) == 0) ws = l.substr(22);
      return !ws.empty();
    }, 20000);
    if (ws.empty()) return;
    // The browser's own socket names no page; the page's target is attached through it.
    dev.reset(new Ws(ws));
  }
  ~Browser()
  {
    dev.reset();
    if (pid > 0) {
      kill(-pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
  // One DevTools call; its whole answer.
  std::string call(const std::string &method, const std::string &params, const std::string &session = "")
  {
    std::string n = std::to_string(++id);
    dev->send("{\"id\":" + n + ",\"method\":\"" + method + "\",\"params\":" + params +
              (session.empty() ? "" : ",\"sessionId\":\"" + session + "\"") + "}");
    std::string r;
    spin([&] {
      for (auto i = dev->got.begin(); i != dev->got.end(); ++i)
        if (i->find("\"id\":" + n + ",") != std::string::npos) {
          r = *i;
          dev->got.erase(i);
          break;
        }
      return !r.empty();
    }, 15000);
    return r;
  }
};

// The text of a JSON string field in a DevTools answer (no escapes in what the tests read).
static std::string field(const std::string &json, const std::string &name)
{
  size_t at = json.find("\"" + name + "\":\"");
  if (at == std::string::npos) return "";
  at += name.size() + 4;
  return json.substr(at, json.find('"', at) - at);
}

TEST_F(Remote, PageInABrowserShowsTheSetListAndSwitchesPresets)
{
  if (system("command -v chromium-headless-shell >/dev/null") != 0) GTEST_SKIP() << "no chromium-headless-shell";
  Browser b(page);
  ASSERT_TRUE(b.dev && b.dev->conn) << "no DevTools address from Chromium";
  std::string targets = b.call("Target.getTargets", "{}");
  size_t at = targets.find("\"type\":\"page\"");
  ASSERT_NE(at, std::string::npos) << targets;
  std::string target = field(targets.substr(targets.rfind("{", at)), "targetId");
  std::string session = field(b.call("Target.attachToTarget", "{\"targetId\":\"" + target + "\",\"flatten\":true}"), "sessionId");
  ASSERT_FALSE(session.empty());
  b.call("Emulation.setDeviceMetricsOverride", "{\"width\":390,\"height\":844,\"deviceScaleFactor\":1,\"mobile\":true}", session);
  auto js = [&](const std::string &expr) {
    return field(b.call("Runtime.evaluate", "{\"expression\":\"" + expr + "\",\"returnByValue\":true}", session), "value");
  };
  // The page fills its set list once its socket is open.
  std::string list;
  spin([&] { list = js("[...document.querySelectorAll('#presets li')].map(l => l.textContent + (l.className == 'cur' ? '*' : '')).join('|')"); return list.find('*') != std::string::npos; }, 15000);
  EXPECT_EQ(list.substr(0, 13), "0Clean boost*") << list;
  EXPECT_NE(list.find("|1Crunch"), std::string::npos) << list;

  Ws c(ws);
  js("document.querySelector('#presets li[data-n=\\\"2\\\"]').click()");
  EXPECT_EQ(c.next("program 2").rfind("program 2 Lead", 0), 0u) << "qaf switched";
  EXPECT_NE(c.ask("presets").find("\n*2\tLead"), std::string::npos);
  // The page follows a switch made elsewhere, and shows its parameters.
  c.ask("program 4");
  std::string now;
  spin([&] { now = js("document.getElementById('now').textContent + '/' + document.querySelectorAll('.parm input').length"); return now.rfind("4 ", 0) == 0 && now.back() != '0'; });
  EXPECT_EQ(now.rfind("4 ", 0), 0u) << now;
  js("document.getElementById('tunerOn').click()");
  spin([&] { return js("document.getElementById('cents').textContent") != ""; });
  std::string shot = field(b.call("Page.captureScreenshot", "{\"format\":\"png\"}", session), "data");
  gsize n = 0;
  guchar *png = g_base64_decode(shot.c_str(), &n);
  EXPECT_GT(n, 1000u);
  EXPECT_TRUE(g_file_set_contents(QAF_BUILD_DIR "/e2e_remote_phone.png", (const char *)png, n, nullptr));
  g_free(png);
}
