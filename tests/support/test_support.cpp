#include "support/test_support.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

namespace cbrecon::testing {

namespace fs = std::filesystem;

TempDir::TempDir() {
  static std::atomic<int> counter{0};
  std::random_device rd;
  path_ = fs::temp_directory_path() /
          ("cbrecon-test-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + "-" +
           std::to_string(rd() % 100000));
  fs::create_directories(path_);
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(path_, ec);
}

Capture::Capture() : f_(std::tmpfile()) {}
Capture::~Capture() { std::fclose(f_); }

std::string Capture::text() const {
  std::fflush(f_);
  const long pos = std::ftell(f_);
  std::string s(static_cast<size_t>(pos), '\0');
  std::rewind(f_);
  const size_t n = std::fread(s.data(), 1, s.size(), f_);
  s.resize(n);
  std::fseek(f_, 0, SEEK_END);
  return s;
}

static std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

ProcessResult run_process(const std::string& program, const std::vector<std::string>& args,
                          const std::string& cwd) {
  TempDir io;
  const std::string out_path = io.file("out"), err_path = io.file("err");
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(127);
    const int o = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int e = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(o, 1);
    dup2(e, 2);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  int st = 0;
  waitpid(pid, &st, 0);
  ProcessResult r;
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  r.out = slurp(out_path);
  r.err = slurp(err_path);
  return r;
}

std::vector<uint8_t> read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void write_bytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace cbrecon::testing
