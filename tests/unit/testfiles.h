// Helpers for unit tests that read and write real files.
#ifndef KESTREL_TESTS_UNIT_TESTFILES_H_
#define KESTREL_TESTS_UNIT_TESTFILES_H_

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

// The directory that holds every TempDir of this test process and of the
// death-test children it starts. A child re-runs the test and leaves through
// _exit, so its own TempDir is never removed; it finds the parent's root in
// the environment and makes its directory there, and the parent, which made
// the root, removes the lot when it exits.
class TempRoot {
 public:
  TempRoot() {
    if (const char* inherited = getenv("KESTREL_TEST_TMPROOT")) {
      path_ = inherited;
      return;
    }
    char templ[] = "/tmp/kestrel-test-XXXXXX";
    path_ = mkdtemp(templ);
    owner_ = true;
    setenv("KESTREL_TEST_TMPROOT", path_.c_str(), 1);
  }
  ~TempRoot() {
    if (!owner_) return;
    std::string cmd = "rm -rf '" + path_ + "'";
    if (system(cmd.c_str()) != 0) perror("rm");
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  bool owner_ = false;
};

inline const std::string& temproot() {
  static TempRoot root;
  return root.path();
}

// A private directory under /tmp, removed with its files at the end.
class TempDir {
 public:
  TempDir() {
    std::string templ = temproot() + "/XXXXXX";
    path_ = mkdtemp(&templ[0]);
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
