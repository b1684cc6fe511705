#include <chrono>
#include <exception>
#include <string>

#include "comgui_none.h"
#include "comtcp.h"
#include "comtcp_link.h"
#include "comvars.h"

namespace {

void reportFailure(ClientState& state, const std::exception& failure) {
  state.hooks.showMessage(std::string("Error: ") + failure.what());
}

}  // namespace

void inputWorker(ClientState& state, KeyboardInput& keys, ConsoleOutput& out) {
  while (!state.quitRequested) {
    std::string line;
    try {
      const Echo echo = state.pendingInput == "KQ7_password" ? Echo::masked : Echo::plain;
      line = readLine(keys, out, "", echo);
    } catch (const std::exception& failure) {
      // Nothing can be typed any more, so nothing could ever end the client: end it now.
      out.write("\n");
      reportFailure(state, failure);
      state.exitStatus = 1;
      state.quitRequested = true;
      state.tcpSocket->wake();
      return;
    }
    try {
      processInput(state, line, true);
    } catch (const std::exception& failure) {
      reportFailure(state, failure);
    }
    out.write("\n");
  }
}

void networkWorker(ClientState& state) {
  while (!state.quitRequested) {
    // Waiting on the socket and the wake-up keeps an idle client at no CPU. Only the
    // refresh timer needs a limit, and it runs only while the game login stands.
    // After a read that filled the buffer the next read follows at once.
    if (!state.readFilledBuffer) {
      state.tcpSocket->waitReadable(state.gameLoggedIn ? kNetworkWaitLimit
                                                       : std::chrono::milliseconds(-1));
    }
    if (state.quitRequested) break;
    try {
      pollNetwork(state);
    } catch (const std::exception& failure) {
      reportFailure(state, failure);
    }
    try {
      if (state.refreshDue && state.refreshDue()) {
        processInput(state, std::string(kRefreshCommand), false);
      }
    } catch (const std::exception& failure) {
      reportFailure(state, failure);
    }
  }
}
