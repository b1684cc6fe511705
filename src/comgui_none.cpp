#include "comgui_none.h"

#include <array>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>

void ConsoleOutput::write(std::string_view unit) {
  std::lock_guard lock(mutex_);
  sink_.write(unit);
}

void ConsoleOutput::writeLine(std::string_view text) {
  std::lock_guard lock(mutex_);
  sink_.writeLine(text);
}

namespace {

// The resource line is shown again only when one of the six values changed since the
// line last written; repeated refreshes of unchanged totals stay quiet.
class ResourceLine {
 public:
  explicit ResourceLine(ConsoleOutput& out) : out_(&out) {}

  void operator()(const std::string& influence, const std::string& food,
                  const std::string& minerals, const std::string& energy,
                  const std::string& researchPoints, const std::string& power) {
    std::array<std::string, 6> now{influence, food, minerals, energy, researchPoints, power};
    if (now == lastShown_) return;
    lastShown_ = std::move(now);
    static constexpr std::array<std::string_view, 6> kLabels{
        "[Influence: ", "] [Food: ", "] [Minerals: ", "] [Energy: ", "] [RPs: ", "] [Power: "};
    std::string line;
    for (std::size_t i = 0; i < kLabels.size(); ++i) {
      line += kLabels[i];
      line += lastShown_[i];
    }
    line += "]\n";
    out_->write(line);
  }

 private:
  ConsoleOutput* out_;
  std::array<std::string, 6> lastShown_;
};

}  // namespace

void installConsoleHooks(ClientState& state, ConsoleOutput& out) {
  FrontEndHooks& hooks = state.hooks;
  hooks.showMessage = [&out](std::string_view text) { out.writeLine(text); };
  hooks.showHint = [&out](std::string_view text) {
    std::string unit = "\nHint: try ";
    unit += text;
    unit += '\n';
    out.write(unit);
  };
  hooks.setUserList = [&state](std::vector<std::string> names) {
    state.userList.set(std::move(names));
  };
  hooks.fileReceived = [] {};
  hooks.connected = [] {};
  hooks.showResources = ResourceLine(out);
}

void initFrontEnd(ClientState& state, std::function<bool()> refreshDue, KeyboardInput& keys,
                  ConsoleOutput& out) {
  state.guiName = kConsoleGuiName;
  installConsoleHooks(state, out);
  state.refreshDue = std::move(refreshDue);
  state.pendingInput = "UserName";
  state.hooks.showMessage(kWelcomeText);

  std::thread input;
  try {
    input = std::thread([&state, &keys, &out] { inputWorker(state, keys, out); });
  } catch (const std::system_error&) {
    throw std::runtime_error("Thread error: failed to start");
  }
  std::thread network;
  try {
    network = std::thread([&state] { networkWorker(state); });
  } catch (const std::system_error&) {
    // The input worker is most likely waiting for a key and cannot be called back; it is
    // left to end with the process, which is about to report the failure and exit.
    state.quitRequested = true;
    input.detach();
    throw std::runtime_error("Thread error: failed to start");
  }
  input.join();
  network.join();
}
