// kq7com-server: a small local server that speaks the KQ7Com wire protocol, for trying the
// client without the community server.
#include <signal.h>

#include <atomic>
#include <charconv>
#include <cstdio>
#include <exception>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "server/accounts.h"
#include "server/chat_server.h"

namespace {

constexpr std::string_view kProgram = "kq7com-server";
constexpr std::uint64_t kWantedDescriptors = 1100;

// A mistake in the command line: shown with a pointer to --help, exit status 2.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

std::string helpText() {
  std::string text =
      "Usage: kq7com-server [--listen ADDR] [--port N] [--files DIR] [--accounts FILE]\n"
      "       kq7com-server --hash-password NAME [PASSWORD]\n"
      "       kq7com-server --help\n"
      "\n"
      "A local server for the KQ7Com chat client: chat, user lists, server information,\n"
      "file downloads and the game commands (login, resources, top five).\n"
      "\n"
      "Options:\n"
      "  --listen ADDR     dotted IPv4 address to listen on (default 127.0.0.1;\n"
      "                    0.0.0.0 listens on every interface)\n"
      "  --port N          TCP port, 0 to 65535 (default 9002); 0 lets the system choose.\n"
      "                    The address and port are logged at start:\n"
      "                    \"listening on ADDR:PORT\"\n"
      "  --files DIR       directory whose regular files clients may download\n"
      "                    (default: the current directory; subdirectories are not served)\n"
      "  --accounts FILE   game accounts to use instead of the built-in ones\n"
      "  --hash-password NAME [PASSWORD]\n"
      "                    print an accounts-file line for NAME with a fresh random salt and\n"
      "                    exit; without PASSWORD, the first line of standard input is used\n"
      "  --help            show this text and exit\n"
      "\n"
      "Accounts file: one account a line, name:salt:hash, where salt is hexadecimal and hash\n"
      "is the hexadecimal SHA-256 of the salt bytes followed by the password. Six optional\n"
      "fields set the starting resources:\n"
      "  name:salt:hash:influence:food:minerals:energy:research:power\n"
      "Blank lines and lines starting with '#' are skipped.\n"
      "\n"
      "Built-in game accounts (name / password):\n";
  for (const DemoLogin& login : kDemoLogins) {
    text += "  " + std::string(login.name) + " / " + std::string(login.password) + "\n";
  }
  text +=
      "\n"
      "The log goes to standard error, one line per event. SIGINT or SIGTERM stops the\n"
      "server; the exit status is then 0.\n";
  return text;
}

std::uint16_t portNumber(std::string_view text) {
  unsigned value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || value > 65535) {
    throw UsageError("invalid port '" + std::string(text) + "': expected 0 to 65535");
  }
  return static_cast<std::uint16_t>(value);
}

int hashPassword(const std::vector<std::string_view>& args) {
  if (args.empty() || args.size() > 2) {
    throw UsageError("--hash-password takes a name and, optionally, a password");
  }
  std::string password;
  if (args.size() == 2) {
    password = args[1];
  } else if (!std::getline(std::cin, password)) {
    throw std::runtime_error("no password given on standard input");
  } else if (!password.empty() && password.back() == '\r') {
    password.pop_back();
  }
  std::cout << accountLine(args[0], password, randomSalt()) << "\n";
  return 0;
}

std::atomic<ChatServer*> runningServer{nullptr};

extern "C" void onStopSignal(int) {
  if (ChatServer* server = runningServer.load()) server->stop();
}

void installSignalHandlers() {
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
  // Sends never raise SIGPIPE; this covers anything else that writes to a closed pipe.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGPIPE, &ignore, nullptr);
}

int serve(const std::vector<std::string_view>& args) {
  ServerSettings settings;
  std::optional<std::string> accountsFile;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view option = args[i];
    const auto value = [&]() -> std::string_view {
      if (i + 1 >= args.size()) throw UsageError("missing value after " + std::string(option));
      return args[++i];
    };
    if (option == "--listen") {
      settings.address = value();
    } else if (option == "--port") {
      settings.port = portNumber(value());
    } else if (option == "--files") {
      settings.room.filesDir = std::string(value());
    } else if (option == "--accounts") {
      accountsFile = std::string(value());
    } else {
      throw UsageError("unknown option '" + std::string(option) + "'");
    }
  }
  if (accountsFile) settings.room.accounts = Accounts::load(*accountsFile);

  const std::uint64_t descriptors = raiseDescriptorLimit();
  ChatServer server(std::move(settings));
  if (descriptors < kWantedDescriptors) {
    std::cerr << "only " << descriptors
              << " open descriptors are allowed: fewer than 1000 clients can connect\n";
  }
  runningServer.store(&server);
  installSignalHandlers();
  server.run();
  runningServer.store(nullptr);
  std::cerr << "stopped\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  try {
    if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) {
      std::cout << helpText();
      return 0;
    }
    if (!args.empty() && args[0] == "--hash-password") {
      return hashPassword({args.begin() + 1, args.end()});
    }
    return serve(args);
  } catch (const UsageError& e) {
    std::cerr << kProgram << ": " << e.what() << "\nTry '" << kProgram
              << " --help' for more information.\n";
    return 2;
  } catch (const std::exception& e) {
    std::cerr << kProgram << ": " << e.what() << "\n";
    return 1;
  }
}
