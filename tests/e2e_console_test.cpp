// The client binary on a pseudo-terminal: what it shows, how it takes keys, and that it
// leaves the terminal as it found it however it ends.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "pty_session.h"
#include "scratch_dir.h"

#ifndef KQ7COM_BINARY
#error "KQ7COM_BINARY must name the client binary"
#endif

#if defined(__SANITIZE_THREAD__)
#define KQ7_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KQ7_THREAD_SANITIZER 1
#endif
#endif

namespace {

using namespace std::chrono_literals;

constexpr auto kWait = 10s;

// The client in a working directory of its own, so nothing it writes lands in the build
// tree.
std::unique_ptr<PtySession> startClient(const ScratchDir& dir) {
  return PtySession::start(KQ7COM_BINARY, {}, dir.path().string());
}

// Raw mode is entered at start-up; the settings are read until they show it.
bool becameRaw(const PtySession& s) {
  const auto deadline = std::chrono::steady_clock::now() + kWait;
  while (std::chrono::steady_clock::now() < deadline) {
    if (!(s.settings().c_lflag & ICANON)) return true;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

TEST(ConsoleClient, GreetsTakesANameAndQuits) {
  ScratchDir dir{"kq7e2e"};
  auto s = startClient(dir);
  ASSERT_TRUE(s->expect("Enter Your Screen Name:\r\n", kWait)) << s->output();
  // The terminal turns every "\n" into "\r\n", also those already after a "\r".
  EXPECT_EQ(s->output(), "Welcome to KQ7Com\r\r\n\r\r\nEnter Your Screen Name:\r\n");

  // Ctrl+C is a key like any other (and taken back at once); Enter arrives as 13.
  s->send(
      "\x03\x7f"
      "alice");
  ASSERT_TRUE(s->expect("alice", kWait)) << s->output();
  const termios raw = s->settings();
  EXPECT_FALSE(raw.c_lflag & ICANON);
  EXPECT_FALSE(raw.c_lflag & ECHO);
  EXPECT_FALSE(raw.c_lflag & ISIG);
  EXPECT_FALSE(raw.c_iflag & IXON);
  EXPECT_FALSE(raw.c_iflag & ICRNL);
  EXPECT_TRUE(raw.c_oflag & OPOST);
  EXPECT_TRUE(raw.c_oflag & ONLCR);
  EXPECT_EQ(s->output().find("alicealice"), std::string::npos) << "keys echoed twice";

  s->send("\r");
  EXPECT_TRUE(s->expect("\r\nWelcome, alice\r\n", kWait)) << s->output();
  EXPECT_TRUE(s->expect("[General Commands] @connect, @info, @quit\r\n", kWait)) << s->output();
  EXPECT_TRUE(s->expect("[KQ7 Commands] @kq7:top5, @kq7:login\r", kWait)) << s->output();
  EXPECT_TRUE(s->expect("\r\nHint: try @connect\r\n", kWait)) << s->output();

  s->send("@quit\r");
  EXPECT_TRUE(s->expect("Connection Closed\r\n", kWait)) << s->output();
  auto end = s->waitExit(kWait);
  ASSERT_TRUE(end.has_value()) << "still running after @quit; output: " << s->output();
  EXPECT_TRUE(end->exited);
  EXPECT_EQ(end->code, 0);
  EXPECT_TRUE(sameSettings(s->settings(), s->initialSettings()));
  EXPECT_TRUE(s->settings().c_lflag & ICANON);
  EXPECT_TRUE(s->settings().c_lflag & ECHO);
}

// Keys typed while the client is still starting (while ./run.sh builds, say) went through
// the terminal's line editing, which turned each Enter into a line feed.
TEST(ConsoleClient, KeysTypedBeforeItStartsKeepTheirLineEnds) {
  ScratchDir dir{"kq7e2e"};
  // The client starts only once the keys are waiting.
  auto s = PtySession::start(
      "/bin/sh", {"-c", "while [ ! -e typed ]; do sleep 0.01; done; exec \"$0\"", KQ7COM_BINARY},
      dir.path().string());
  s->send("alice\r@quit\r");
  std::ofstream(dir.path() / "typed").put('\n');
  ASSERT_TRUE(s->expect("Welcome, alice\r\n", kWait)) << s->output();
  EXPECT_TRUE(s->expect("Connection Closed\r\n", kWait)) << s->output();
  const auto end = s->waitExit(kWait);
  ASSERT_TRUE(end.has_value()) << s->output();
  EXPECT_TRUE(end->exited);
  EXPECT_EQ(end->code, 0);
}

class SignalWhileWaiting : public ::testing::TestWithParam<int> {};

TEST_P(SignalWhileWaiting, EndsByTheSignalAndRestoresTheTerminal) {
  const int sig = GetParam();
  ScratchDir dir{"kq7e2e"};
  auto s = startClient(dir);
  ASSERT_TRUE(s->expect("Enter Your Screen Name:", kWait)) << s->output();
  ASSERT_TRUE(becameRaw(*s));
  s->send("bo");
  ASSERT_TRUE(s->expect("bo", kWait)) << s->output();

  s->signal(sig);
  auto end = s->waitExit(kWait);
  ASSERT_TRUE(end.has_value()) << "still running after signal " << sig;
  EXPECT_FALSE(end->exited) << "exit code " << end->code;
  EXPECT_EQ(end->signal, sig);
  EXPECT_TRUE(sameSettings(s->settings(), s->initialSettings()));
}

INSTANTIATE_TEST_SUITE_P(Signals, SignalWhileWaiting, ::testing::Values(SIGTERM, SIGHUP, SIGINT),
                         [](const auto& testCase) {
                           return std::string(sigabbrev_np(testCase.param));
                         });

// A crash signal, here sent from outside: the terminal is put back before the process
// goes down.
class CrashWhileWaiting : public ::testing::TestWithParam<int> {};

TEST_P(CrashWhileWaiting, RestoresTheTerminal) {
#if defined(KQ7_THREAD_SANITIZER)
  // ThreadSanitizer's runtime delivers every signal itself and trips over its own checks
  // on an asynchronous crash signal; the normal and address-sanitizer builds cover this.
  GTEST_SKIP() << "crash signals sent from outside upset the thread sanitizer runtime";
#endif
  // In a sanitizer build the runtime would take these signals for its own report (and
  // may hang in it); the client's own handler is what is under test here.
  const std::string noSanitizerHandlers =
      "handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0:handle_abort=0";
  ScratchDir dir{"kq7e2e"};
  auto s = PtySession::start(
      KQ7COM_BINARY, {}, dir.path().string(),
      {"ASAN_OPTIONS=" + noSanitizerHandlers, "TSAN_OPTIONS=" + noSanitizerHandlers});
  ASSERT_TRUE(s->expect("Enter Your Screen Name:", kWait)) << s->output();
  ASSERT_TRUE(becameRaw(*s));
  s->signal(GetParam());
  const auto end = s->waitExit(kWait);
  ASSERT_TRUE(end.has_value()) << "still running after signal " << GetParam()
                               << "; output: " << s->output();
  EXPECT_EQ(end->signal, GetParam()) << s->output();
  EXPECT_TRUE(sameSettings(s->settings(), s->initialSettings())) << s->output();
}

INSTANTIATE_TEST_SUITE_P(Signals, CrashWhileWaiting,
                         ::testing::Values(SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT),
                         [](const auto& testCase) {
                           return std::string(sigabbrev_np(testCase.param));
                         });

TEST(ConsoleClient, WithoutATerminalReportsAndEnds) {
  DetachedRun run = runWithoutTerminal(KQ7COM_BINARY, {}, kWait);
  ASSERT_TRUE(run.end.has_value()) << "kept running without a terminal";
  EXPECT_TRUE(run.end->exited);
  EXPECT_EQ(run.end->code, 1);
  EXPECT_EQ(run.output.rfind("Error: No terminal to read keys from: ", 0), 0u) << run.output;
}

}  // namespace
