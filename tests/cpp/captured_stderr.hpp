#pragma once
// Every internal failure writes a diagnostic to stderr. Tests that expect one capture it here, so
// that a passing run prints none and a newcomer reads no failure into a green run.

#include <unistd.h>

#include <cstdio>
#include <string>

namespace tolvane {

// Redirects file descriptor 2, every thread's, to a temporary file until destroyed.
class CapturedStderr {
 public:
  CapturedStderr() : file_(std::tmpfile()), saved_(dup(STDERR_FILENO)) {
    std::fflush(stderr);
    dup2(fileno(file_), STDERR_FILENO);
  }
  CapturedStderr(const CapturedStderr&) = delete;
  CapturedStderr& operator=(const CapturedStderr&) = delete;
  ~CapturedStderr() {
    std::fflush(stderr);
    dup2(saved_, STDERR_FILENO);
    close(saved_);
    std::fclose(file_);
  }

  // What was written so far.
  std::string text() {
    std::fflush(stderr);
    std::string out;
    char buffer[4096];
    std::rewind(file_);
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file_)) > 0;)
      out.append(buffer, n);
    return out;
  }

 private:
  std::FILE* file_;
  int saved_;
};

}  // namespace tolvane
