// Where the replies of the one-line commands go. The caller of a command owns the sink: the
// window's entry and standard input show them on the program's standard output, a network
// client collects them into its own answer. Every command writes through replies().
#ifndef QAF_REPLY_H
#define QAF_REPLY_H

#include <glib.h>

#include <string>
#include <vector>

class replySink {
 public:
  virtual ~replySink() = default;
  // One line of a reply, without its newline. error: the line says the command failed.
  virtual void line(const std::string &text, bool error) = 0;
  // The command failed where it has said so elsewhere (a file loader's own message).
  virtual void failed() {}
};

// Standard output, one line at a time, as the window and standard input have always shown it.
replySink &stdoutReplies();

// A sink that keeps the lines (for a caller that answers with them later).
class replyCollector : public replySink {
 public:
  std::vector<std::string> lines;
  void line(const std::string &text, bool error) override
  {
    lines.push_back(text);
    failed_ = failed_ || error;
  }
  void failed() override { failed_ = true; }
  bool failedAny() const { return failed_; }

 private:
  bool failed_ = false;
};

// UI thread. The sink of the command that runs now; standard output outside any command (a
// program change from MIDI, a learn completed).
replySink &replies();

// UI thread. Makes s the sink of every reply until the scope ends; scopes nest.
class replyScope {
 public:
  explicit replyScope(replySink &s);
  ~replyScope();
  replyScope(const replyScope &) = delete;
  replyScope &operator=(const replyScope &) = delete;

 private:
  replySink *previous;
};

// UI thread. One reply line into replies(), formatted as printf formats; sayError marks it as
// saying the command failed.
void say(const char *fmt, ...) G_GNUC_PRINTF(1, 2);
void sayError(const char *fmt, ...) G_GNUC_PRINTF(1, 2);
// UI thread. The command failed, without a line of its own.
void sayFailed();

#endif
