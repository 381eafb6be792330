// The host log sink: line format, message building, and one installation per
// process that yields to a logger the host installed first. Installation is
// process-wide, so those cases run in a child process each.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include "bindings/host_log.h"

namespace brenvik::ffi {
namespace {

TEST(HostLog, LineFormat) {
  EXPECT_EQ(
      format_log_line(LogLevel::Warn, "brenvik_protocol::protocol::send",
                      "Send failed, message deferred"),
      "[brenvik-protocol] WARN brenvik_protocol::protocol::send: Send failed, message deferred\n");
}

TEST(HostLog, MessageFromFields) {
  struct Case {
    std::vector<LogField> fields;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {{{"message", std::string("hello")}, {"peer", std::string("a\"b")}, {"n", int64_t(3)}},
       "hello peer=\"a\\\"b\" n=3"},
      {{{"count", uint64_t(7)}}, "count=7"},
      {{{"message", std::string("x")}, {"ok", true}}, "x ok=true"},
      {{{"lock", std::string("inner")}, {"message", std::string("late")}},
       "lock=\"inner\" message=\"late\""},
  };
  for (const auto& c : cases) EXPECT_EQ(format_log_message(c.fields), c.expected);
}

// Runs `body` in a child whose stderr goes to a pipe; returns what it wrote.
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
  return out;
}

TEST(HostLog, NothingBeforeInstallDebugButNotTraceAfter) {
  std::string out = child_stderr([] {
    log_event(LogLevel::Warn, "t", {{"message", std::string("before")}});
    if (!install_host_log_sink()) _exit(3);
    if (install_host_log_sink()) _exit(4);  // only once
    log_event(LogLevel::Debug, "t", {{"message", std::string("debug")}});
    log_event(LogLevel::Trace, "t", {{"message", std::string("trace")}});
  });
  EXPECT_EQ(out, "[brenvik-protocol] DEBUG t: debug\n");
}

TEST(HostLog, AHostLoggerInstalledFirstKeepsTheSlot) {
  std::string out = child_stderr([] {
    struct Quiet final : Logger {
      bool enabled(LogLevel, std::string_view) const override { return true; }
      void log(LogLevel, std::string_view, std::string_view m) override {
        std::fprintf(stderr, "host:%.*s\n", int(m.size()), m.data());
      }
      void flush() override {}
    };
    static Quiet quiet;
    set_process_logger(&quiet);
    set_max_log_level(2);
    if (install_host_log_sink()) _exit(3);
    log_event(LogLevel::Warn, "t", {{"message", std::string("w")}});
    log_event(LogLevel::Debug, "t", {{"message", std::string("d")}});
  });
  EXPECT_EQ(out, "host:w\n");
}

}  // namespace
}  // namespace brenvik::ffi
