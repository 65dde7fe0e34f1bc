// A JACK server of a test's own: jackd with its dummy driver (no sound hardware, no real-time
// rights needed) under a name of its own, which the test's JACK clients and the programs it starts
// find through JACK_DEFAULT_SERVER. `up` is false, with the reason in `why`, when it cannot start.
#ifndef QAF_JACKSERVER_H
#define QAF_JACKSERVER_H

#include <jack/jack.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

struct JackServer {
  pid_t pid = -1;
  bool up = false;
  std::string why;

  JackServer(int rate, int period)
  {
    static int serial = 0;
    std::string name = "qaftest" + std::to_string(getpid()) + "_" + std::to_string(serial++);
    std::string r = std::to_string(rate), p = std::to_string(period);
    pid = fork();
    if (pid == 0) {
      // The server goes with the test, also when a timeout kills the test outright.
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      FILE *devnull = fopen("/dev/null", "w");
      if (devnull) {
        dup2(fileno(devnull), 1);
        dup2(fileno(devnull), 2);
      }
      // A long client timeout: on a loaded machine without real-time rights a late client
      // would otherwise be thrown out of the graph.
      execlp("jackd", "jackd", "--no-realtime", "-t", "10000", "-n", name.c_str(), "-d", "dummy", "-r",
             r.c_str(), "-p", p.c_str(), (char *)nullptr);
      _exit(127);
    }
    setenv("JACK_DEFAULT_SERVER", name.c_str(), 1);
    for (int tries = 0; tries < 100 && !up; tries++) {
      int status;
      if (waitpid(pid, &status, WNOHANG) == pid) {
        why = WIFEXITED(status) && WEXITSTATUS(status) == 127 ? "jackd is not installed"
                                                              : "jackd exited at start-up";
        pid = -1;
        return;
      }
      jack_status_t st;
      jack_client_t *c = jack_client_open("probe", JackNoStartServer, &st);
      if (c) {
        jack_client_close(c);
        up = true;
      } else {
        usleep(50000);
      }
    }
    if (!up) why = "jackd did not answer within 5 s";
  }
  ~JackServer()
  {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    for (int i = 0; i < 100; i++) {
      if (waitpid(pid, nullptr, WNOHANG) == pid) return;
      usleep(20000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
};

#endif
