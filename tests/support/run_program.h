#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace lumaflash::testing {

struct ProgramResult {
  int exitCode = -1;  // 128 + signal when it was killed
  std::string out;
  std::string err;
};

// Runs a program to its end in `directory` with no standard input and returns what it printed.
ProgramResult RunProgram(const std::vector<std::string>& argv,
                         const std::filesystem::path& directory);

// Starts a program in the background; Finish() waits for it.
class RunningProgram {
 public:
  RunningProgram(const std::vector<std::string>& argv, const std::filesystem::path& directory);
  ~RunningProgram();
  RunningProgram(const RunningProgram&) = delete;
  RunningProgram& operator=(const RunningProgram&) = delete;

  int Pid() const { return m_pid; }
  void Signal(int signal) const;
  ProgramResult Finish();

 private:
  int m_pid = -1;
  int m_out = -1;
  int m_err = -1;
};

}  // namespace lumaflash::testing
