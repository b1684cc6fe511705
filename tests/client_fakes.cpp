#include "client_fakes.h"

#include <algorithm>
#include <cstring>

#include "comtcp.h"

ReadResult FakeLink::receive(std::span<char> buffer) {
  if (!results.empty()) {
    const ReadResult result = results.front();
    results.pop_front();
    if (result.kind == ReadResult::Kind::closed || result.kind == ReadResult::Kind::lost) {
      isConnected = false;
    }
    return result;
  }
  if (reads.empty() || !isConnected) return {};
  std::string& next = reads.front();
  const std::size_t count = std::min(next.size(), buffer.size());
  std::memcpy(buffer.data(), next.data(), count);
  if (count == next.size()) {
    reads.pop_front();
  } else {
    next.erase(0, count);
  }
  return {ReadResult::Kind::data, count};
}

std::vector<message> FakeLink::sentMessages() const {
  std::vector<message> parsed;
  for (const std::string& bytes : sent) {
    message m;
    m.parse(bytes);
    parsed.push_back(m);
  }
  return parsed;
}

ClientFixture::ClientFixture() {
  auto fake = std::make_unique<FakeLink>();
  link = fake.get();
  state.tcpSocket = std::move(fake);
  state.screenName.set("Bob");
  state.guiName = "Generic Windows (Console)";
  auto record = seen;
  state.hooks.showMessage = [record](std::string_view text) { record->lines.emplace_back(text); };
  state.hooks.showHint = [record](std::string_view text) {
    record->lines.push_back("hint:" + std::string(text));
  };
  state.hooks.setUserList = [record](std::vector<std::string> names) {
    record->userLists.push_back(std::move(names));
  };
  state.hooks.fileReceived = [record] { ++record->filesReceived; };
  state.hooks.connected = [record] { ++record->connectedCalls; };
  state.hooks.showResources = [record](const std::string& a, const std::string& b,
                                       const std::string& c, const std::string& d,
                                       const std::string& e, const std::string& f) {
    record->resources.push_back({a, b, c, d, e, f});
  };
}

void ClientFixture::receive(const std::vector<std::string>& reads) {
  for (const std::string& read : reads) {
    link->reads.push_back(read);
    while (!link->reads.empty()) pollNetwork(state);
  }
}
