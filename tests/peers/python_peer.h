// A peer in another process: python3 running a short script of its own, with the script's
// standard output read line by line. Tests and benchmarks use it where the peer must not share
// the process (and so the scheduler's view) with the plug-in: a sender or a sink whose pace is
// its own, and a plain Python socket loop as the reference of a benchmark. The child inherits
// the caller's network namespace.
#pragma once

#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace peers {

class PythonPeer {
 public:
  // Runs `python3 -c script args...`; standard error goes to ours, standard input is empty.
  explicit PythonPeer(const std::string& script, const std::vector<std::string>& args = {}) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    std::vector<std::string> words{"python3", "-u", "-c", script};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    if (posix_spawnp(&pid_, "python3", &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    out_ = out[0];
  }
  ~PythonPeer() {
    if (out_ >= 0) ::close(out_);
    if (pid_ <= 0) return;
    if (!waited_) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  PythonPeer(const PythonPeer&) = delete;
  PythonPeer& operator=(const PythonPeer&) = delete;

  bool started() const { return pid_ > 0; }
  // The next line the script prints, without its end; empty when none comes within the limit
  // (or the script ended).
  std::string readLine(int limitMs = 30000) {
    std::string line;
    char c;
    for (;;) {
      pollfd entry{out_, POLLIN, 0};
      if (out_ < 0 || poll(&entry, 1, limitMs) <= 0 || ::read(out_, &c, 1) != 1) return {};
      if (c == '\n') return line;
      line += c;
    }
  }
  // Waits for the script's end; answers its exit status (-1 when it did not exit normally).
  int wait() {
    int status = 0;
    if (pid_ <= 0 || waitpid(pid_, &status, 0) != pid_) return -1;
    waited_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  bool waited_ = false;
};

}  // namespace peers
