// Types arbitrary lines into the command interpreter from every prompt state. Whatever is
// typed, only messages of the kinds the client may send go out, each one whole and stamped,
// and an answer to the password prompt never leaves as anything but the game login.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "client_fakes.h"
#include "comtcp.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

const char* const kPrompts[] = {"",         "UserName",     "ServerIP",
                                "FileName", "KQ7_username", "KQ7_password"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  ClientFixture f;
  f.link->connectFailure = "Unable to connect socket";
  f.state.pendingInput = kPrompts[data[0] % 6];
  // Lines are separated by carriage returns, as the Enter key ends them.
  std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  while (!rest.empty()) {
    const std::size_t end = rest.find('\r');
    const std::string line(rest.substr(0, end));
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);

    const std::string pending = f.state.pendingInput;
    const std::string name = f.state.screenName.get();
    const std::size_t before = f.link->sent.size();
    try {
      processInput(f.state, line, /*typedByUser=*/true);
    } catch (const std::runtime_error&) {
      require(pending == "ServerIP");
    }
    require(f.link->sent.size() <= before + 1);
    if (f.link->sent.size() == before) continue;

    message m;
    require(m.parse(f.link->sent.back()) == f.link->sent.back().size());
    require(m.isValid && m.isComplete);
    require(m.time == -1 && m.from == name && m.getValue("_msgVersion") == "0.70");
    require(m.getValue("_msgTime").size() == 29);
    require(m.type == msgCommand || m.type == msgChat || m.type == msgInfo);
    if (m.type == msgInfo) require(m.getMsg() == "INFO_LOGON");
    if (pending == "KQ7_password") {
      require(m.getMsg() == "KQ7_LOGIN" && m.getValue("password") == line);
    }
    if (m.type == msgChat) require(pending.empty() && m.getMsg() == line && !line.empty());
  }
  return 0;
}
