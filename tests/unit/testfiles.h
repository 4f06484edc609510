// Helpers for unit tests that read and write real files.
#ifndef KESTREL_TESTS_UNIT_TESTFILES_H_
#define KESTREL_TESTS_UNIT_TESTFILES_H_

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

// A private directory under /tmp, removed with its files at the end.
class TempDir {
 public:
  TempDir() {
    char templ[] = "/tmp/kestrel-test-XXXXXX";
    path_ = mkdtemp(templ);
  }
  ~TempDir() {
    std::string cmd = "rm -rf '" + path_ + "'";
    if (system(cmd.c_str()) != 0) perror("rm");
  }
  const std::string& path() const { return path_; }
  // Writes a file into the directory and returns its path.
  std::string write(const std::string& name, const std::string& text) const {
    std::string p = path_ + "/" + name;
    std::ofstream(p, std::ios::binary) << text;
    return p;
  }
  std::string read(const std::string& name) const {
    std::ifstream in(path_ + "/" + name, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

 private:
  std::string path_;
};

// A regular expression that matches `text` literally, for death tests.
inline std::string literal(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (std::string("\\^$.|?*+()[]{}").find(c) != std::string::npos)
      out += '\\';
    out += c;
  }
  return out;
}

#endif  // KESTREL_TESTS_UNIT_TESTFILES_H_
