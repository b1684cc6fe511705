#include "server/accounts.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "server_test_support.h"

namespace {

const std::string kHash(64, 'a');

std::string errorOf(std::string_view text) {
  try {
    Accounts::parse(text, "accounts.txt");
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "(accepted)";
}

TEST(Accounts, ReadsAccountsAndSkipsCommentsAndBlankLines) {
  const std::string text = "# game accounts\r\n" + accountLine("ann", "first pw", "salt") +
                           "\r\n"
                           "\n"
                           "   \t\n"
                           "  # indented comment\n" +
                           accountLine("Bob Smith", "pa:ss", std::string("\0\xff", 2)) +
                           ":10:20:30:40:50:60";
  const Accounts accounts = Accounts::parse(text, "accounts.txt");

  ASSERT_EQ(accounts.all().size(), 2u);
  EXPECT_EQ(accounts.all()[0].name, "ann");
  EXPECT_EQ(accounts.all()[1].name, "Bob Smith");
  EXPECT_EQ(accounts.all()[1].salt, std::string("\0\xff", 2));

  const Resources& ann = accounts.all()[0].start;
  EXPECT_EQ(ann.food, kDefaultStart.food);
  EXPECT_EQ(ann.power, kDefaultStart.power);
  const Resources& bob = accounts.all()[1].start;
  EXPECT_EQ((std::array{bob.influence, bob.food, bob.minerals, bob.energy, bob.researchPoints,
                        bob.power}),
            (std::array<std::int64_t, 6>{10, 20, 30, 40, 50, 60}));

  EXPECT_EQ(accounts.verify("ann", "first pw"), &accounts.all()[0]);
  EXPECT_EQ(accounts.verify("Bob Smith", "pa:ss"), &accounts.all()[1]);
  EXPECT_EQ(accounts.verify("ann", "first pW"), nullptr);
  EXPECT_EQ(accounts.verify("ann", "first pw "), nullptr);
  EXPECT_EQ(accounts.verify("Ann", "first pw"), nullptr);
  EXPECT_EQ(accounts.verify("Bob", "pa:ss"), nullptr);
  EXPECT_EQ(accounts.verify("", ""), nullptr);
}

TEST(Accounts, HashesInUpperCaseHexAreAccepted) {
  std::string line = accountLine("ann", "pw", "\xab\xcd");
  for (char& c : line) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  line.replace(0, 3, "ann");
  EXPECT_NE(Accounts::parse(line, "x").verify("ann", "pw"), nullptr) << line;
}

TEST(Accounts, BadLinesAreReportedWithTheirNumber) {
  const std::string fields =
      "expected name:salt:hash, optionally followed by "
      ":influence:food:minerals:energy:research:power";
  const std::string saltSize = "the salt must be 1 to 64 bytes written in hexadecimal";
  const std::string hashSize = "the hash must be 64 hexadecimal digits";
  const std::string good = "ann:00:" + kHash;
  struct Case {
    std::string text;
    std::string error;
  };
  const Case kCases[] = {
      {"ann", "accounts.txt, line 1: " + fields},
      {"# comment\n\nann:00", "accounts.txt, line 3: " + fields},
      {good + ":1:2:3:4:5", "accounts.txt, line 1: " + fields},
      {good + ":1:2:3:4:5:6:7", "accounts.txt, line 1: " + fields},
      {":00:" + kHash, "accounts.txt, line 1: the account name is empty"},
      {"an\tn:00:" + kHash, "accounts.txt, line 1: the account name contains a control character"},
      {"ann:0g:" + kHash, "accounts.txt, line 1: the salt is not hexadecimal"},
      {"ann:abc:" + kHash, "accounts.txt, line 1: the salt is not hexadecimal"},
      {"ann::" + kHash, "accounts.txt, line 1: " + saltSize},
      {"ann:" + std::string(130, '0') + ":" + kHash, "accounts.txt, line 1: " + saltSize},
      {"ann:00:abc", "accounts.txt, line 1: " + hashSize},
      {"ann:00:" + std::string(63, 'a') + "z", "accounts.txt, line 1: " + hashSize},
      {"ann:00:" + kHash + "a", "accounts.txt, line 1: " + hashSize},
      {good + ":1:x:3:4:5:6",
       "accounts.txt, line 1: food must be a whole number of at most 15 digits, not 'x'"},
      {good + ":-1:2:3:4:5:6",
       "accounts.txt, line 1: influence must be a whole number of at most 15 digits, not '-1'"},
      {good + ":1:2:3:4:5:",
       "accounts.txt, line 1: power must be a whole number of at most 15 digits, not ''"},
      {good + ":1:2:3:4:1234567890123456:6",
       "accounts.txt, line 1: research must be a whole number of at most 15 digits, not "
       "'1234567890123456'"},
      {good + "\n" + good, "accounts.txt, line 2: account 'ann' is already defined on line 1"},
  };
  for (const Case& c : kCases) EXPECT_EQ(errorOf(c.text), c.error) << c.text;

  // The largest values that are accepted, for contrast with the rows above.
  EXPECT_EQ(errorOf(good + ":999999999999999:0:0:0:0:0"), "(accepted)");
  EXPECT_EQ(errorOf("ann:" + std::string(128, '0') + ":" + kHash), "(accepted)");
}

TEST(Accounts, LoadNamesTheFileInItsErrors) {
  ScratchDir dir;
  const auto file = dir.write("accounts.txt", "ann:00:" + kHash + "\nbroken\n");
  try {
    Accounts::load(file.string());
    ADD_FAILURE() << "a bad file was accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), file.string() +
                                         ", line 2: expected name:salt:hash, "
                                         "optionally followed by "
                                         ":influence:food:minerals:energy:research:power");
  }

  const std::string missing = (dir.path() / "missing.txt").string();
  try {
    Accounts::load(missing);
    ADD_FAILURE() << "a missing file was accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()),
              "Unable to read accounts file '" + missing + "': No such file or directory");
  }

  dir.write("good.txt", accountLine("zed", "secret", "pepper") + "\n");
  EXPECT_NE(Accounts::load((dir.path() / "good.txt").string()).verify("zed", "secret"), nullptr);
}

TEST(Accounts, EveryBuiltInLoginWorksWithItsListedPassword) {
  const Accounts demo = Accounts::demo();
  ASSERT_EQ(demo.all().size(), kDemoLogins.size());
  for (std::size_t i = 0; i < kDemoLogins.size(); ++i) {
    const DemoLogin& login = kDemoLogins[i];
    EXPECT_EQ(demo.all()[i].name, login.name);
    EXPECT_EQ(demo.verify(login.name, login.password), &demo.all()[i]) << login.name;
    EXPECT_EQ(demo.verify(login.name, std::string(login.password) + "x"), nullptr) << login.name;
  }
}

TEST(Accounts, AccountLineRefusesWhatTheFileCouldNotHold) {
  struct Case {
    std::string name;
    std::string salt;
    std::string error;
  };
  const Case kCases[] = {
      {"", "s", "the account name is empty"},
      {"a:b", "s", "the account name contains ':'"},
      {"a\nb", "s", "the account name contains a control character"},
      {"ann", "", "the salt must be 1 to 64 bytes written in hexadecimal"},
  };
  for (const Case& c : kCases) {
    try {
      accountLine(c.name, "pw", c.salt);
      ADD_FAILURE() << "accepted " << c.name;
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()), c.error) << c.name;
    }
  }
}

TEST(Accounts, RandomSaltsAreSixteenFreshBytes) {
  const std::string first = randomSalt();
  EXPECT_EQ(first.size(), 16u);
  EXPECT_NE(randomSalt(), first);
}

}  // namespace
