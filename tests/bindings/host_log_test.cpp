// The host log sink hookup: nothing before it, Debug but not Trace after it,
// installed once, and a logger the host process installed first keeps the
// slot. Installation is process-wide, so each case runs in a child process.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include "bindings/host_log.h"
#include "util/log.h"

namespace brenvik::ffi {
namespace {

// Runs `body` in a child whose stderr goes to a pipe; returns what it wrote
// and expects a clean exit.
std::string child_stderr(void (*body)()) {
  int fds[2];
  EXPECT_EQ(pipe(fds), 0);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], 2);
    close(fds[0]);
    body();
    fflush(stderr);
    _exit(0);
  }
  close(fds[1]);
  std::string out;
  char buf[512];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) > 0) out.append(buf, size_t(n));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  return out;
}

TEST(HostLog, NothingBeforeInstallDebugButNotTraceAfter) {
  std::string out = child_stderr([] {
    BRENVIK_LOG(LogLevel::Warn, "t", {"message", "before"});
    install_host_log_sink();
    install_host_log_sink();
    BRENVIK_LOG(LogLevel::Debug, "brenvik_protocol::x", {"message", "debug"}, {"n", 3});
    BRENVIK_LOG(LogLevel::Trace, "t", {"message", "trace"});
  });
  EXPECT_EQ(out, "[brenvik-protocol] DEBUG brenvik_protocol::x: debug n=3\n");
}

TEST(HostLog, AHostLoggerInstalledFirstKeepsTheSlot) {
  std::string out = child_stderr([] {
    struct HostLogger final : LogSink {
      bool enabled(LogLevel, std::string_view) const override { return true; }
      void log(const LogRecord& r) override {
        std::fprintf(stderr, "host:%.*s\n", int(r.message.size()), r.message.data());
      }
      void flush() override {}
    };
    set_logger(std::make_unique<HostLogger>());
    set_max_log_level(LogLevel::Warn);
    install_host_log_sink();
    BRENVIK_LOG(LogLevel::Warn, "t", {"message", "w"});
    BRENVIK_LOG(LogLevel::Debug, "t", {"message", "d"});
  });
  EXPECT_EQ(out, "host:w\n");
}

}  // namespace
}  // namespace brenvik::ffi
