#include "server/accounts.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "platform/unique_fd.h"
#include "server/control_char.h"

namespace {

constexpr std::size_t kMaxSaltBytes = 64;
constexpr std::size_t kMaxResourceDigits = 15;
constexpr std::size_t kFieldsWithoutResources = 3;
constexpr std::size_t kFieldsWithResources = 9;

// Salt and hash are hexadecimal, so the built-in accounts are an ordinary accounts text.
constexpr std::string_view kDemoAccountsText =
    "demo:5eed0001c0ffee01:064f1a02c5f8a57547ee8fcbbc3bb432a386ac481b71ccae486e0cb19b8ecef0:"
    "1200:5000:3000:2000:400:150\n"
    "alice:a11ce5a17c0ffee2:2f582befdb4d314b00dc1a07e290782dc9229bcef64e78e3bd55ef9d5a5012ff:"
    "4800:12000:9000:7000:2600:910\n"
    "bob:b0b5a1700000b0b3:540535b87f259ee01aead6bff06f5932e13decb0705f6340dbd69957947116d3:"
    "3500:9000:12500:5000:1500:640\n"
    "carol:ca401a5a1700c0a4:4d1652bc8e3538d883d4bc9a722397e9e98ce4f5e3510c0f9cd2a196c2106890:"
    "2900:8000:6000:9000:3100:720\n"
    "dave:da7e5a1700da7e05:887e04f129890bd7f0d7a30de425b5b648a29c34d850337ec324c8b8b2ab1e70:"
    "900:3000:2000:1500:200:95\n"
    "erin:e41a5a1700e41a06:9e12a8968147e931c4c1f0e87bf9c31b5d7f889516a4feff6589299102623776:"
    "5200:15000:11000:8000:4000:1180\n";

constexpr std::array<std::string_view, 6> kResourceNames = {
    "influence", "food", "minerals", "energy", "research", "power",
};

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decodes hexadecimal text; false when it holds anything else or an odd number of digits.
bool fromHex(std::string_view text, std::string& out) {
  if (text.size() % 2 != 0) return false;
  out.clear();
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const int high = hexDigit(text[i]);
    const int low = hexDigit(text[i + 1]);
    if (high < 0 || low < 0) return false;
    out.push_back(static_cast<char>(high << 4 | low));
  }
  return true;
}

// The reason a name cannot be an account name, or empty when it can.
std::string nameProblem(std::string_view name) {
  if (name.empty()) return "the account name is empty";
  for (char c : name) {
    if (c == ':') return "the account name contains ':'";
    if (isControlChar(c)) return "the account name contains a control character";
  }
  return {};
}

std::string saltProblem(std::string_view salt) {
  if (salt.empty() || salt.size() > kMaxSaltBytes) {
    return "the salt must be 1 to " + std::to_string(kMaxSaltBytes) +
           " bytes written in hexadecimal";
  }
  return {};
}

std::int64_t resourceValue(std::string_view field, std::string_view name) {
  bool digits = !field.empty() && field.size() <= kMaxResourceDigits;
  std::int64_t value = 0;
  for (char c : field) {
    if (c < '0' || c > '9') {
      digits = false;
      break;
    }
    value = value * 10 + (c - '0');
  }
  if (!digits) {
    throw std::runtime_error(std::string(name) + " must be a whole number of at most " +
                             std::to_string(kMaxResourceDigits) + " digits, not '" +
                             std::string(field) + "'");
  }
  return value;
}

std::vector<std::string_view> splitFields(std::string_view line) {
  std::vector<std::string_view> fields;
  while (true) {
    const std::size_t colon = line.find(':');
    fields.push_back(line.substr(0, colon));
    if (colon == std::string_view::npos) return fields;
    line.remove_prefix(colon + 1);
  }
}

Account parseLine(std::string_view line) {
  const std::vector<std::string_view> fields = splitFields(line);
  if (fields.size() != kFieldsWithoutResources && fields.size() != kFieldsWithResources) {
    throw std::runtime_error(
        "expected name:salt:hash, optionally followed by "
        ":influence:food:minerals:energy:research:power");
  }
  Account account;
  account.name.assign(fields[0]);
  if (std::string problem = nameProblem(account.name); !problem.empty()) {
    throw std::runtime_error(problem);
  }
  if (!fromHex(fields[1], account.salt)) {
    throw std::runtime_error("the salt is not hexadecimal");
  }
  if (std::string problem = saltProblem(account.salt); !problem.empty()) {
    throw std::runtime_error(problem);
  }
  std::string hash;
  if (fields[2].size() != 2 * account.passwordHash.size() || !fromHex(fields[2], hash)) {
    throw std::runtime_error("the hash must be 64 hexadecimal digits");
  }
  std::memcpy(account.passwordHash.data(), hash.data(), hash.size());

  account.start = kDefaultStart;
  if (fields.size() == kFieldsWithResources) {
    std::int64_t* targets[] = {&account.start.influence,      &account.start.food,
                               &account.start.minerals,       &account.start.energy,
                               &account.start.researchPoints, &account.start.power};
    for (std::size_t i = 0; i < kResourceNames.size(); ++i) {
      *targets[i] = resourceValue(fields[3 + i], kResourceNames[i]);
    }
  }
  return account;
}

Sha256::Digest passwordHash(std::string_view salt, std::string_view password) {
  Sha256 hash;
  hash.update(salt);
  hash.update(password);
  return hash.finish();
}

}  // namespace

const std::array<DemoLogin, 6> kDemoLogins = {{
    {"demo", "demo"},
    {"alice", "wonderland"},
    {"bob", "builder"},
    {"carol", "starlight"},
    {"dave", "diver"},
    {"erin", "explorer"},
}};

Accounts Accounts::demo() {
  return parse(kDemoAccountsText, "built-in accounts");
}

Accounts Accounts::parse(std::string_view text, std::string_view source) {
  Accounts result;
  std::vector<std::size_t> definedOn;
  std::size_t lineNumber = 0;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    ++lineNumber;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);

    const std::size_t first = line.find_first_not_of(" \t");
    if (first == std::string_view::npos || line[first] == '#') continue;

    const auto fail = [&](const std::string& what) {
      throw std::runtime_error(std::string(source) + ", line " + std::to_string(lineNumber) + ": " +
                               what);
    };
    Account account;
    try {
      account = parseLine(line);
    } catch (const std::runtime_error& e) {
      fail(e.what());
    }
    for (std::size_t i = 0; i < result.accounts_.size(); ++i) {
      if (result.accounts_[i].name == account.name) {
        fail("account '" + account.name + "' is already defined on line " +
             std::to_string(definedOn[i]));
      }
    }
    result.accounts_.push_back(std::move(account));
    definedOn.push_back(lineNumber);
  }
  return result;
}

Accounts Accounts::load(const std::string& path) {
  const auto fail = [&](int error) {
    throw std::runtime_error("Unable to read accounts file '" + path +
                             "': " + std::strerror(error));
  };
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) fail(errno);
  std::string text;
  char buffer[65536];
  while (true) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      fail(errno);
    }
    text.append(buffer, static_cast<std::size_t>(n));
  }
  return parse(text, path);
}

const Account* Accounts::find(std::string_view name) const {
  for (const Account& account : accounts_) {
    if (account.name == name) return &account;
  }
  return nullptr;
}

const Account* Accounts::verify(std::string_view name, std::string_view password) const {
  const Account* account = find(name);
  if (account == nullptr) return nullptr;
  const Sha256::Digest given = passwordHash(account->salt, password);
  // Compare every byte, so the time taken does not tell how much of the hash matched.
  std::uint8_t difference = 0;
  for (std::size_t i = 0; i < given.size(); ++i) {
    difference |= static_cast<std::uint8_t>(given[i] ^ account->passwordHash[i]);
  }
  return difference == 0 ? account : nullptr;
}

std::string accountLine(std::string_view name, std::string_view password, std::string_view salt) {
  if (std::string problem = nameProblem(name); !problem.empty()) {
    throw std::runtime_error(problem);
  }
  if (std::string problem = saltProblem(salt); !problem.empty()) {
    throw std::runtime_error(problem);
  }
  const auto bytes = [](std::string_view s) {
    return std::span(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
  };
  return std::string(name) + ":" + toHex(bytes(salt)) + ":" + toHex(passwordHash(salt, password));
}

std::string randomSalt() {
  std::string salt(16, '\0');
  std::size_t filled = 0;
  while (filled < salt.size()) {
    const ssize_t n = ::getrandom(salt.data() + filled, salt.size() - filled, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error(std::string("Unable to make a random salt: ") +
                               std::strerror(errno));
    }
    filled += static_cast<std::size_t>(n);
  }
  return salt;
}
