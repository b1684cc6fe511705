#include <string>
#include <string_view>
#include <vector>

#include "comtcp.h"
#include "comtcp_link.h"
#include "message_stream.h"
#include "screen_text.h"

namespace {

// A value as getValue gives it, without copying a large one.
std::string_view valueOf(const message& m, std::string_view key) {
  const std::string* value = m.findValue(key);
  return value ? std::string_view(*value) : kNoData;
}

void receiveFile(const message& m) {
  const std::string_view name = valueOf(m, "file_name");
  // A name with a directory part could reach anywhere on the disk: refuse it as a file
  // that cannot be created.
  if (!isPlainFileName(name)) {
    throw std::runtime_error("Cannot open or create file '" + std::string(name) + "'");
  }
  // Data that arrived straight into a temporary file only needs that file renamed.
  if (SpilledValue* data = m.findSpilled("file_data")) {
    data->commitAs(name);
  } else {
    saveFile(name, valueOf(m, "file_data"));
  }
}

void showResources(ClientState& state, const message& m) {
  state.hooks.showResources(screenSafe(valueOf(m, "Influence")), screenSafe(valueOf(m, "Food")),
                            screenSafe(valueOf(m, "Minerals")), screenSafe(valueOf(m, "Energy")),
                            screenSafe(valueOf(m, "ResearchPoints")),
                            screenSafe(valueOf(m, "kq7power")));
}

}  // namespace

void readUserList(ClientState& state, const message& m) {
  const std::int32_t count = toInt32(valueOf(m, "user_count"));
  // No message holds more names than this, so a larger count only adds "No Data" entries;
  // stopping there keeps a hostile count from taking all memory.
  const std::size_t names =
      count <= 0 ? 0 : std::min<std::size_t>(static_cast<std::size_t>(count), kMaxMessagePairs);
  std::vector<std::string> list;
  list.reserve(std::min<std::size_t>(names, m.values.size()));
  for (std::size_t i = 0; i < names; ++i) {
    list.push_back(screenSafe(valueOf(m, std::to_string(i))));
  }
  state.hooks.setUserList(std::move(list));
}

void dispatchMessage(ClientState& state, message& m) {
  const auto show = [&](std::string_view text) { state.hooks.showMessage(text); };
  if (valueOf(m, "refresh_chat") == "yes") {
    sendNewMessage(state, msgCommand, "CHAT_SEND_USER_LIST");
  }
  switch (m.type) {
    case msgCommand:
      show("A remote command packet was issued.");
      return;
    case msgChat: {
      // Built in one block: a burst of chat is shown as fast as the terminal takes it.
      const std::string_view text = valueOf(m, "msg");
      std::string line;
      line.reserve(m.from.size() + text.size() + 8);
      line.push_back('[');
      appendScreenSafe(line, m.from);
      line.append("] ");
      appendScreenSafe(line, text);
      show(line);
      return;
    }
    case msgInfo:
      show(screenSafe(valueOf(m, "msg")));
      if (valueOf(m, "Clue") == "LOGGED_IN") {
        sendNewMessage(state, msgCommand, "KQ7_SEND_USER_INFO");
        state.gameLoggedIn = true;
      }
      return;
    case msgData:
      break;
    default:
      show("Packet of unknown data type received.");
      return;
  }

  const std::string_view kind = valueOf(m, "msg");
  if (kind == "USER_LIST") {
    try {
      readUserList(state, m);
    } catch (...) {
      show("Unable to load user list");
    }
  } else if (kind == "RECEIVE_FILE") {
    show("File Received: " + screenSafe(valueOf(m, "file_name")));
    try {
      receiveFile(m);
    } catch (...) {
      show("Unable to receive file data");
    }
    state.hooks.fileReceived();
  } else if (kind == "RESOURCE_DATA") {
    try {
      showResources(state, m);
    } catch (...) {
      show("Error reading resource data.");
    }
  } else {
    show("Unknown Data Stream: " + screenSafe(kind));
  }
}
