// Game accounts: who may log in with which password, and each account's starting
// resources.
//
// An accounts file holds one account a line:
//
//   name:salt:hash
//   name:salt:hash:influence:food:minerals:energy:research:power
//
// salt is 1 to 64 bytes written in hexadecimal; hash is the SHA-256 of the salt bytes
// followed by the password bytes, in hexadecimal (64 digits). The six optional numbers are
// the account's resources when the server starts (whole numbers, at most 15 digits); without
// them the account starts with kDefaultStart. A name is any non-empty text without ":" and
// control characters, compared byte for byte. Blank lines and lines whose first non-blank
// character is "#" are skipped; a line may end in "\r\n".
//
// Threads: an Accounts object is read-only after it is built and may be read by any thread.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "server/sha256.h"

// Resource totals, in the order the game lists them.
struct Resources {
  std::int64_t influence = 0;
  std::int64_t food = 0;
  std::int64_t minerals = 0;
  std::int64_t energy = 0;
  std::int64_t researchPoints = 0;
  std::int64_t power = 0;
};

inline constexpr Resources kDefaultStart{1000, 4000, 2500, 1500, 300, 100};

struct Account {
  std::string name;
  std::string salt;  // raw bytes
  Sha256::Digest passwordHash{};
  Resources start;
};

class Accounts {
 public:
  // No accounts at all: every game login fails.
  Accounts() = default;

  // The built-in demonstration accounts (kDemoLogins), defined by their salted hashes.
  static Accounts demo();
  // Reads accounts from text in the format above. Raises std::runtime_error with the text
  // source + ", line " + N + ": " + what is wrong, for the first bad line.
  static Accounts parse(std::string_view text, std::string_view source);
  // Reads a file with parse(), naming it by path. Also raises
  // "Unable to read accounts file '" + path + "': " + the system's reason.
  static Accounts load(const std::string& path);

  // The account of that name, or null. The pointer lives as long as this object.
  const Account* find(std::string_view name) const;
  // The account when name and password match one, else null.
  const Account* verify(std::string_view name, std::string_view password) const;
  // In the order of the file.
  const std::vector<Account>& all() const { return accounts_; }

 private:
  std::vector<Account> accounts_;
};

// A name and password of the built-in accounts, for the help text.
struct DemoLogin {
  std::string_view name;
  std::string_view password;
};
extern const std::array<DemoLogin, 6> kDemoLogins;

// One accounts-file line (without line end) for name and password with the given salt
// bytes and the default resources. Raises std::runtime_error with the same texts as parse()
// for a name or salt it would refuse, without the source and line.
std::string accountLine(std::string_view name, std::string_view password, std::string_view salt);

// 16 random bytes from the system. Raises "Unable to make a random salt: " + reason.
std::string randomSalt();
