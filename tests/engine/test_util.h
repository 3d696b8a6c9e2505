// Helpers shared by the engine tests: a temporary directory removed at the
// end of the test, and whole-file reads for byte-for-byte comparisons.

#ifndef PALLIX_TESTS_ENGINE_TEST_UTIL_H_
#define PALLIX_TESTS_ENGINE_TEST_UTIL_H_

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace pallix::test {

class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "pallix-test-XXXXXX").string();
    path_ = mkdtemp(tmpl.data());
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

}  // namespace pallix::test

#endif  // PALLIX_TESTS_ENGINE_TEST_UTIL_H_
