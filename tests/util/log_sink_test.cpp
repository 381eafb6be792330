#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "util/log.h"

namespace brenvik {
namespace {

// Sends standard error to a temporary file for the life of the object.
class StderrToFile {
 public:
  StderrToFile() {
    path_ = ::testing::TempDir() + "brenvik_stderr_XXXXXX";
    int fd = mkstemp(path_.data());
    fflush(stderr);
    saved_ = dup(fileno(stderr));
    dup2(fd, fileno(stderr));
    close(fd);
  }
  ~StderrToFile() { restore(); }
  std::string text() {
    restore();
    std::ifstream in(path_);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

 private:
  void restore() {
    if (saved_ < 0) return;
    fflush(stderr);
    dup2(saved_, fileno(stderr));
    close(saved_);
    saved_ = -1;
  }
  std::string path_;
  int saved_ = -1;
};

TEST(StderrLogSink, LineFormatAndWholeLinesUnderConcurrency) {
  StderrLogSink sink;
  StderrToFile capture;
  sink.log(LogRecord{LogLevel::Warn, "brenvik_protocol::protocol::send",
                     "Send failed, message deferred"});
  auto writer = [&](const char* target) {
    for (int i = 0; i < 500; ++i)
      sink.log(LogRecord{LogLevel::Info, target, "a fairly long message body to widen the window"});
  };
  std::thread a(writer, "thread::a"), b(writer, "thread::b");
  a.join();
  b.join();
  sink.flush();
  std::istringstream lines(capture.text());
  std::string line;
  ASSERT_TRUE(std::getline(lines, line));
  EXPECT_EQ(
      line,
      "[brenvik-protocol] WARN brenvik_protocol::protocol::send: Send failed, message deferred");
  int count = 0;
  while (std::getline(lines, line)) {
    ++count;
    EXPECT_TRUE(
        line ==
            "[brenvik-protocol] INFO thread::a: a fairly long message body to widen the window" ||
        line == "[brenvik-protocol] INFO thread::b: a fairly long message body to widen the window")
        << line;
  }
  EXPECT_EQ(count, 1000);
}

// The process-wide sink: silent before installation, DEBUG afterwards
// (TRACE never), and a second installation changes nothing.
TEST(StderrLogSink, InstalledOnceWithDebugMaximum) {
  StderrToFile capture;
  if (max_log_level() == LogLevel::Off) {
    BRENVIK_LOG(LogLevel::Warn, "brenvik_protocol::t", {"message", "before"});
  }
  install_stderr_log_sink();
  EXPECT_EQ(max_log_level(), LogLevel::Debug);
  install_stderr_log_sink();
  EXPECT_FALSE(set_logger(std::make_unique<StderrLogSink>()));
  BRENVIK_LOG(LogLevel::Debug, "brenvik_protocol::t", {"message", "debug line"}, {"n", 1});
  BRENVIK_LOG(LogLevel::Trace, "brenvik_protocol::t", {"message", "trace line"});
  BRENVIK_LOG(LogLevel::Info, "brenvik_protocol::t", {"value", 42});
  EXPECT_EQ(capture.text(),
            "[brenvik-protocol] DEBUG brenvik_protocol::t: debug line n=1\n"
            "[brenvik-protocol] INFO brenvik_protocol::t: value=42\n");
}

}  // namespace
}  // namespace brenvik
