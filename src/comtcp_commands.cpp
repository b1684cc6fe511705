#include <string>
#include <string_view>

#include "comtcp.h"
#include "comtcp_link.h"
#include "comvars.h"

namespace {

void showServerPrompt(ClientState& state, std::string& nextPending) {
  state.hooks.showMessage("Type the IP address of the server: ");
  state.hooks.showHint(defaultServerHost);
  nextPending = "ServerIP";
}

void listUsers(ClientState& state) {
  state.hooks.showMessage("\r\nKQ7Com User List");
  state.hooks.showMessage("---------------------------");
  for (const std::string& name : state.userList.get()) state.hooks.showMessage(name);
}

void quit(ClientState& state) {
  state.tcpSocket->close();
  state.hooks.showMessage("Connection Closed");
  state.quitRequested = true;
  // The network worker may be waiting without a time limit: let it see the flag now.
  state.tcpSocket->wake();
}

// Runs the local command that the whole line names; false when it names none.
bool runCommand(ClientState& state, const std::string& line, std::string& nextPending) {
  const auto show = [&](std::string_view text) { state.hooks.showMessage(text); };
  if (line == "@exit" || line == "@quit") {
    quit(state);
  } else if (line == "@info" || line == "@version") {
    show("Querying Server");
    sendNewMessage(state, msgCommand, "CHAT_SEND_SERVER_INFO");
  } else if (line == "@open" || line == "@connect") {
    showServerPrompt(state, nextPending);
  } else if (line == "@users" || line == "@UserList") {
    listUsers(state);
  } else if (line == "@download") {
    show("File Name: ");
    nextPending = "FileName";
  } else if (line == "@kq7:top5") {
    show("\r\nRetrieving Top 5 KQ7 Players:");
    sendNewMessage(state, msgCommand, "KQ7_SEND_TOP_5");
  } else if (line == "@kq7:login") {
    show("username: ");
    nextPending = "KQ7_username";
  } else if (line == "@debug_mode") {
    const bool wasOn = state.debugMode.exchange(!state.debugMode);
    show(wasOn ? "(Debug Mode OFF)" : "(Debug Mode ON)");
  } else if (line == kRefreshCommand) {
    if (state.debugMode) show("[sys] kq7:RefreshResources");
    sendNewMessage(state, msgCommand, "KQ7_SEND_USER_INFO");
  } else {
    return false;
  }
  return true;
}

void sendToServer(ClientState& state, const std::string& line) {
  if (!socketAlive(state)) {
    state.hooks.showMessage("Connection Invalid\n");
  } else if (line.empty()) {
    // An empty line says nothing.
  } else if (line.front() == '@') {
    sendNewMessage(state, msgCommand, line.substr(1));
  } else {
    sendNewMessage(state, msgChat, line);
  }
}

void answerPrompt(ClientState& state, const std::string& prompt, const std::string& line,
                  std::string& nextPending) {
  const auto show = [&](std::string_view text) { state.hooks.showMessage(text); };
  if (prompt == "UserName") {
    // The name travels raw in every message header, where "|" ends the field.
    if (line.find('|') != std::string::npos) {
      show("A screen name cannot contain '|'");
      nextPending = "UserName";
      return;
    }
    const std::string name = line.empty() ? "Guest" : line;
    state.screenName.set(name);
    show("\r\nWelcome, " + name);
    show("\r\n[General Commands] @connect, @info, @quit");
    show("[KQ7 Commands] @kq7:top5, @kq7:login\r\n");
    state.hooks.showHint("@connect");
  } else if (prompt == "ServerIP") {
    // A failed connect leaves no prompt behind: the next line is a command or chat again.
    state.pendingInput.clear();
    connectAndLogon(state, line);
  } else if (prompt == "FileName") {
    sendNewMessage(state, msgCommand, "DOWNLOAD_FILE", "file_name", line);
  } else if (prompt == "KQ7_username") {
    show("password:");
    state.gameUserName = line;
    nextPending = "KQ7_password";
  } else if (prompt == "KQ7_password") {
    sendNewMessage(state, msgCommand, "KQ7_LOGIN", "username", state.gameUserName, "password",
                   line);
  }
}

}  // namespace

void processInput(ClientState& state, const std::string& line, bool typedByUser) {
  std::string nextPending;
  if (typedByUser && !state.pendingInput.empty()) {
    answerPrompt(state, std::string(state.pendingInput), line, nextPending);
  } else if (!runCommand(state, line, nextPending)) {
    sendToServer(state, line);
  }
  // The refresh line is never an answer, and a prompt it finds pending stays pending (a
  // password must not go out as a chat line).
  if (typedByUser) state.pendingInput = nextPending;
}
