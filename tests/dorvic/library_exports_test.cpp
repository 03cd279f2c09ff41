// libdorvic.so exports exactly its 21 functions, under their C++ (decorated) names.

#include <gtest/gtest.h>

#include <set>
#include <sstream>

#include "tests/dorvic/process_runner.h"

namespace dorvic_test {
namespace {

std::vector<std::string> DefinedDynamicSymbols(bool demangle) {
  std::vector<std::string> args = {"-D", "--defined-only"};
  if (demangle) args.push_back("-C");
  args.push_back(LIBDORVIC_PATH);
  const ProcessResult r = RunProcess("/usr/bin/nm", args, {});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  std::vector<std::string> names;
  std::istringstream lines(r.out);
  std::string line;
  while (std::getline(lines, line)) {
    // "<address> <type> <name>"
    const size_t type_at = line.find(' ');
    if (type_at == std::string::npos || type_at + 3 > line.size()) continue;
    names.push_back(line.substr(type_at + 3));
  }
  return names;
}

TEST(LibraryExports, ExactlyTheTwentyOneFunctions) {
  const std::vector<std::string> mangled = DefinedDynamicSymbols(false);
  for (const std::string& name : mangled) EXPECT_EQ(name.rfind("_Z", 0), 0u) << name;

  std::multiset<std::string> functions;
  for (const std::string& name : DefinedDynamicSymbols(true)) {
    functions.insert(name.substr(0, name.find_first_of("[(")));
  }
  const std::multiset<std::string> expected = {"dorvic_set_host",
                                               "dorvic_get_host",
                                               "dorvic_set_secret",
                                               "dorvic_set_network_info",
                                               "dorvic_get_last_error_code",
                                               "dorvic_get_last_error_code",
                                               "dorvic_list_file",
                                               "dorvic_get_file_real_url",
                                               "dorvic_add_file",
                                               "dorvic_del_file",
                                               "dorvic_rename_file",
                                               "dorvic_regetfile",
                                               "dorvic_compare",
                                               "dorvic_version",
                                               "dorvic_revert",
                                               "dorvic_lockfile",
                                               "dorvic_remarks",
                                               "dorvic_remind",
                                               "dorvic_discuss",
                                               "dorvic_publish",
                                               "dorvic_share"};
  EXPECT_EQ(functions, expected);
  EXPECT_EQ(mangled.size(), 21u);
}

}  // namespace
}  // namespace dorvic_test
