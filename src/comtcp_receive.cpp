#include <exception>
#include <span>
#include <string>
#include <string_view>

#include "comtcp.h"
#include "comtcp_link.h"
#include "platform/files.h"
#include "screen_text.h"

namespace {

// The debug copy of a message that needed more than one read. A failure to write it is
// reported and does not stop the message.
void dumpExtendedMessage(ClientState& state) {
  state.hooks.showMessage("Dumping Extended Message Into File");
  try {
    saveFile("incoming.txt", state.inbound.serialize());
  } catch (const std::exception& failure) {
    state.hooks.showMessage(std::string("Error: ") + failure.what());
  }
}

void showConnected(ClientState& state) {
  if (state.connectedShown) return;
  state.connectedShown = true;
  state.hooks.showMessage("Connected!");
  state.hooks.connected();
}

// A file's data kept on disk while it arrived goes straight to its file; any other value
// kept there is brought into memory, so that the dispatcher sees every value as usual.
void loadSpilledValues(message& m) {
  if (m.spilled.empty()) return;
  const std::string* kind = m.findValue("msg");
  const bool fileData = m.type == msgData && kind != nullptr && *kind == "RECEIVE_FILE" &&
                        m.spilled.size() == 1 && m.findSpilled("file_data") != nullptr;
  if (!fileData) m.loadSpilled();
}

void endConnection(ClientState& state) {
  state.hooks.showMessage("Connection lost");
  state.partialData.reset();
  state.connectedShown = false;
}

}  // namespace

void saveFile(std::string_view name, std::string_view data) {
  writeFileReplacing(name, data);
}

bool isPlainFileName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string_view("/\\\0", 3)) == std::string_view::npos;
}

void pollNetwork(ClientState& state) {
  ServerLink& link = *state.tcpSocket;
  state.readFilledBuffer = false;
  if (!link.alive()) return;
  const ReadResult read = link.receive(state.receiveBuffer);
  state.readFilledBuffer =
      read.kind == ReadResult::Kind::data && read.count == state.receiveBuffer.size();
  switch (read.kind) {
    case ReadResult::Kind::nothing:
      return;
    case ReadResult::Kind::closed:
      state.bytesRead = 0;
      showConnected(state);
      endConnection(state);
      return;
    case ReadResult::Kind::lost:
      endConnection(state);
      return;
    case ReadResult::Kind::data:
      break;
  }
  state.bytesRead = static_cast<std::int64_t>(read.count);

  const std::string_view bytes(state.receiveBuffer.data(), read.count);
  std::size_t position = 0;
  while (position < bytes.size()) {
    const std::size_t carried = state.partialData.carried();
    const MessageStream::Step step = state.partialData.next(bytes.substr(position), state.inbound);
    // A step that only notes where skipping ended is no pass of its own in the trace. The
    // trace comes after the step, but parsing shows nothing, so the order is the same.
    const bool silent =
        step.outcome == MessageStream::Outcome::skipped && step.used == 0 && !step.newRun;
    const bool debug = state.debugMode && !silent;
    if (debug) {
      state.hooks.showMessage(" x=" + std::to_string(position) +
                              " tcpRead=" + std::to_string(bytes.size()));
      state.hooks.showMessage("Partial Data Length: " + std::to_string(carried));
      if (carried > 0) dumpExtendedMessage(state);
    }
    switch (step.outcome) {
      case MessageStream::Outcome::complete:
        try {
          loadSpilledValues(state.inbound);
          dispatchMessage(state, state.inbound);
        } catch (const std::exception& failure) {
          state.hooks.showMessage(std::string("Error: ") + screenSafe(failure.what()));
        }
        // A temporary file not renamed into place goes now, not with the next message.
        state.inbound.spilled.clear();
        break;
      case MessageStream::Outcome::incomplete:
        break;
      case MessageStream::Outcome::skipped:
        if (step.newRun) state.hooks.showMessage("Invalid Data Chunk");
        break;
      case MessageStream::Outcome::dropped:
        state.hooks.showMessage("Error: " + screenSafe(step.error));
        break;
    }
    position += step.used;
  }
  showConnected(state);
}
