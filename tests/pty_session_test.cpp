// Checks of the pty helper itself against ordinary system tools, so a failing end-to-end
// test points at the client and not at the harness.
#include "pty_session.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>

namespace {

using namespace std::chrono_literals;

const std::string kShell = "/bin/sh";

TEST(PtySession, TypedKeysReachTheChildAndItsOutputComesBack) {
  auto s = PtySession::start(kShell, {"-c", "read line; echo \"got [$line]\""});
  s->send("hello\r");
  ASSERT_TRUE(s->expect("got [hello]\r\n", 5s)) << s->output();
  auto end = s->waitExit(5s);
  ASSERT_TRUE(end.has_value());
  EXPECT_TRUE(end->exited);
  EXPECT_EQ(end->code, 0);
}

TEST(PtySession, SeesTheSettingsTheChildMakes) {
  auto s = PtySession::start(kShell, {"-c", "stty -icanon -echo; echo set; read x; exit 3"});
  ASSERT_TRUE(s->expect("set", 5s)) << s->output();
  EXPECT_TRUE(s->initialSettings().c_lflag & ICANON);
  EXPECT_FALSE(s->settings().c_lflag & ICANON);
  EXPECT_FALSE(s->settings().c_lflag & ECHO);
  EXPECT_FALSE(sameSettings(s->settings(), s->initialSettings()));
  s->send("\n");
  auto end = s->waitExit(5s);
  ASSERT_TRUE(end.has_value());
  EXPECT_EQ(end->code, 3);
  // The child left them changed, and they stay readable after it ended.
  EXPECT_FALSE(s->settings().c_lflag & ICANON);
}

TEST(PtySession, ReportsTheSignalThatEndedTheChild) {
  auto s = PtySession::start(kShell, {"-c", "echo up; exec sleep 30"});
  ASSERT_TRUE(s->expect("up", 5s));
  EXPECT_FALSE(s->waitExit(0ms).has_value());
  s->signal(SIGTERM);
  auto end = s->waitExit(5s);
  ASSERT_TRUE(end.has_value());
  EXPECT_FALSE(end->exited);
  EXPECT_EQ(end->signal, SIGTERM);
}

TEST(PtySession, ExpectMovesPastEachMatch) {
  auto s = PtySession::start(kShell, {"-c", "echo one; echo two"});
  EXPECT_TRUE(s->expect("one", 5s));
  EXPECT_TRUE(s->expect("two", 5s));
  EXPECT_FALSE(s->expect("one", 200ms)) << "the first line was matched already";
}

TEST(PtySession, StartingAMissingProgramRaises) {
  EXPECT_THROW(PtySession::start("/nonexistent/program"), std::runtime_error);
}

TEST(RunWithoutTerminal, ChildHasNoControllingTerminal) {
  DetachedRun run = runWithoutTerminal(
      kShell, {"-c", "if (exec 3</dev/tty) 2>/dev/null; then echo tty; else echo none; fi; exit 4"},
      5s);
  ASSERT_TRUE(run.end.has_value());
  EXPECT_EQ(run.end->code, 4);
  EXPECT_EQ(run.output, "none\n");
}

TEST(RunWithoutTerminal, KillsAChildThatOutstaysTheLimit) {
  DetachedRun run = runWithoutTerminal(kShell, {"-c", "exec sleep 30"}, 300ms);
  EXPECT_FALSE(run.end.has_value());
}

}  // namespace
