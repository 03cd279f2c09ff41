#pragma once
// Runs a program as its own process and collects its exit status and output.

#include <map>
#include <string>
#include <vector>

namespace dorvic_test {

struct ProcessResult {
  int exit_code = -1;  // -1 when it did not exit normally (or had to be killed)
  std::string out;
  std::string err;
};

// Runs `program` with `args`. The child's environment is ours without any DORVIC_* or proxy
// variable, plus `env`. A child still running after `limit_seconds` is killed.
ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& args,
                         const std::map<std::string, std::string>& env, int limit_seconds = 60);

}  // namespace dorvic_test
