// The program entry: sets up the network side and the terminal, runs the two workers until
// the user quits, and ends with status 0, or 1 after a failure. Arguments are ignored.
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>

#include "comgui_none.h"
#include "comtcp_link.h"
#include "comvars.h"
#include "platform/clock.h"
#include "platform/terminal.h"
#include "platform/unfinished_files.h"
#include "refresh.h"

int main() {
  // Sends never raise SIGPIPE; this covers standard output closed under a running client.
  std::signal(SIGPIPE, SIG_IGN);
  // A file half-written under a temporary name goes with the process, however it ends.
  RawTerminal::setSignalCleanup(removeUnfinishedFiles);
  std::atexit(removeUnfinishedFiles);
  StandardOutput screen;
  ConsoleOutput out(screen);
  // Outside the try block: a worker that did start before a failure may still be using
  // them while the failure is reported, and exit() below does not destroy them.
  std::int64_t lastRefreshTime = nowUnixMillis();
  ClientState state;
  std::unique_ptr<RawTerminal> terminal;
  try {
    initNetwork(state, serverPort);
    terminal = RawTerminal::open();
    initFrontEnd(
        state, [&] { return refreshDue(state.gameLoggedIn, lastRefreshTime, nowUnixMillis); },
        *terminal, out);
    state.tcpSocket->close();
    return state.exitStatus;
  } catch (const std::exception& failure) {
    out.write(std::string("Error: ") + failure.what() + "\n");
    // exit() rather than a return, which would destroy what a worker may still use; the
    // terminal settings come back through the exit handlers.
    std::exit(1);
  }
}
