// Runs a command line through the shell and answers its exit status and what it wrote to its
// standard output (standard error too when the line sends it there, "2>&1"), for the tests of
// zuvhost and of the scripts.
#pragma once

#include <cstdio>
#include <string>

#include <sys/wait.h>

namespace zuvtest {

struct ShellRun {
  int status = -1;  // -1 when the command did not exit by itself
  std::string output;
};

inline ShellRun runShell(const std::string& commandLine) {
  ShellRun run;
  FILE* pipe = ::popen(commandLine.c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
    run.output.append(buffer, n);
  int status = ::pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

}  // namespace zuvtest
