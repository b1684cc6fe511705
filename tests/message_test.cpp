#include "message.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace {

using namespace std::string_literals;

const std::string kChatHi = "{xxKQ7COMxx}-1|Bob|2|1|msg|2|hi";
const std::string kDownload = "{xxKQ7COMxx}-1|Bob|1|2|file_name|5|a.txtmsg|13|DOWNLOAD_FILE";

TEST(MessageWire, ChatLineSerializesToTheDocumentedBytes) {
  message m(-1, "Bob", "hi", msgChat);
  EXPECT_EQ(m.serialize(), kChatHi);
  EXPECT_EQ(m.serialize(), m.serialize());

  message parsed;
  ASSERT_EQ(parsed.parse(kChatHi), 31u);
  EXPECT_TRUE(parsed.isValid);
  EXPECT_TRUE(parsed.isComplete);
  EXPECT_EQ(parsed.from, "Bob");
  EXPECT_EQ(parsed.type, msgChat);
  EXPECT_EQ(parsed.time, -1);
  ASSERT_EQ(parsed.values.size(), 1u);
  EXPECT_EQ(parsed.getMsg(), "hi");
}

TEST(MessageWire, TwoPairsRunStraightIntoEachOther) {
  message m(-1, "Bob", "DOWNLOAD_FILE", msgCommand);
  m.setValue("file_name", "a.txt");
  EXPECT_EQ(m.serialize().size(), 60u);
  message parsed;
  ASSERT_EQ(parsed.parse(kDownload), 60u);
  EXPECT_EQ(parsed.getValue("file_name"), "a.txt");
  EXPECT_EQ(parsed.getCommand(), "DOWNLOAD_FILE");
}

TEST(MessageWire, DefaultRecordAndEmptyPairSection) {
  message empty;
  EXPECT_FALSE(empty.isValid);
  EXPECT_EQ(empty.serialize(), "{xxKQ7COMxx}-1|Guest|0|0|");

  const std::string noPairs = "{xxKQ7COMxx}-1|Bob|2|0|";
  message parsed;
  ASSERT_EQ(parsed.parse(noPairs), 23u);
  EXPECT_TRUE(parsed.isComplete);
  EXPECT_TRUE(parsed.values.empty());
  EXPECT_EQ(parsed.getMsg(), "No Data");
}

TEST(MessageWire, ValuesOfAnyBytesRoundTrip) {
  message m(-1, "", "", msgData);
  m.setValue("raw", "|{xxKQ7COMxx}\0\xff|"s);
  m.setValue("empty", "");
  message parsed;
  const std::string wire = m.serialize();
  ASSERT_EQ(parsed.parse(wire), wire.size());
  EXPECT_EQ(parsed.getValue("raw"), "|{xxKQ7COMxx}\0\xff|"s);
  EXPECT_EQ(parsed.getValue("empty"), "");
  EXPECT_EQ(parsed.getValue("absent"), "No Data");
  EXPECT_EQ(parsed.getCommand(), "");
  EXPECT_EQ(parsed.serialize(), wire);
}

TEST(MessageWire, EveryProperPrefixIsValidAndIncomplete) {
  for (const std::string& wire : {kChatHi, kDownload}) {
    for (std::size_t cut = 1; cut < wire.size(); ++cut) {
      message parsed;
      const std::string_view prefix(wire.data(), cut);
      ASSERT_EQ(parsed.parse(prefix), cut) << prefix;
      EXPECT_TRUE(parsed.isValid) << prefix;
      EXPECT_FALSE(parsed.isComplete) << prefix;
    }
  }
  // A cut inside the second value keeps the first pair.
  message parsed;
  parsed.parse(std::string_view(kDownload).substr(0, 55));
  EXPECT_EQ(parsed.getValue("file_name"), "a.txt");
  EXPECT_EQ(parsed.getValue("msg"), "No Data");
}

TEST(MessageWire, InputThatIsNotAMessageIsInvalid) {
  const char* const kCases[] = {"",
                                "x",
                                "hello world, no marker",
                                " {xxKQ7COMxx}-1|Bob|2|0|",
                                "{xxKQ7COMxY}-1|Bob|2|0|",
                                "{xxKQ7x"};
  for (const char* input : kCases) {
    message parsed(-1, "kept?", "x", msgChat);
    EXPECT_EQ(parsed.parse(input), std::string_view(input).size()) << input;
    EXPECT_FALSE(parsed.isValid) << input;
    EXPECT_EQ(parsed.from, "NONE") << input;
    EXPECT_TRUE(parsed.values.empty()) << input;
    EXPECT_EQ(parsed.type, msgChat) << "type is kept: " << input;
  }
}

TEST(MessageWire, BackToBackMessagesAreReadOneAtATime) {
  const std::string two = kChatHi + kDownload;
  message parsed;
  ASSERT_EQ(parsed.parse(two), 31u);
  EXPECT_EQ(parsed.getMsg(), "hi");
  ASSERT_EQ(parsed.parse(std::string_view(two).substr(31)), 60u);
  EXPECT_EQ(parsed.getMsg(), "DOWNLOAD_FILE");
}

TEST(MessageWire, PairCountDecidesWhereTheMessageEnds) {
  message parsed;
  // Fewer pairs declared than present: the rest is not read.
  const std::string fewer = "{xxKQ7COMxx}-1|Bob|2|1|msg|2|hia|1|b";
  EXPECT_EQ(parsed.parse(fewer), 31u);
  EXPECT_EQ(parsed.values.size(), 1u);
  // More declared than present: the message is still on its way.
  const std::string more = "{xxKQ7COMxx}-1|Bob|2|2|msg|2|hi";
  EXPECT_EQ(parsed.parse(more), more.size());
  EXPECT_FALSE(parsed.isComplete);
  // A negative count declares no pairs.
  EXPECT_EQ(parsed.parse("{xxKQ7COMxx}-1|Bob|2|-3|"), 24u);
  EXPECT_TRUE(parsed.isComplete);
}

TEST(MessageWire, DuplicateKeyKeepsTheLaterValue) {
  message parsed;
  parsed.parse("{xxKQ7COMxx}-1|Bob|2|2|k|1|ak|1|b");
  ASSERT_EQ(parsed.values.size(), 1u);
  EXPECT_EQ(parsed.getValue("k"), "b");
}

TEST(MessageWire, MalformedNumbersRaiseTheirTexts) {
  struct Case {
    std::string wire;
    std::string text;
    bool overflow;
  };
  const Case kCases[] = {
      {"{xxKQ7COMxx}x|Bob|2|0|", "conversion x", false},
      {"{xxKQ7COMxx}|Bob|2|0|", "conversion ", false},
      {"{xxKQ7COMxx}-1|Bob| 2|0|", "conversion  2", false},
      {"{xxKQ7COMxx}-1|Bob|-|0|", "conversion -", false},
      {"{xxKQ7COMxx}-1|Bob|2-|0|", "conversion 2-", false},
      {"{xxKQ7COMxx}-1|a|b|2|0|", "conversion b", false},
      {"{xxKQ7COMxx}-1|Bob|2|1|k|-1|x", "conversion -1", false},
      {"{xxKQ7COMxx}-1|Bob|2|1|k|zz|x", "conversion zz", false},
      {"{xxKQ7COMxx}-1|Bob|2147483648|0|", "Error: overflow 2147483648", true},
      {"{xxKQ7COMxx}-1|Bob|-2147483649|0|", "Error: overflow -2147483649", true},
      {"{xxKQ7COMxx}-1|Bob|-99999999999999999999|0|", "Error: overflow -99999999999999999999",
       true},
      {"{xxKQ7COMxx}9223372036854775808|Bob|2|0|", "Error: overflow 9223372036854775808", true},
  };
  for (const Case& c : kCases) {
    message parsed;
    try {
      parsed.parse(c.wire);
      ADD_FAILURE() << "nothing raised for " << c.wire;
    } catch (const overflowError& e) {
      EXPECT_TRUE(c.overflow) << c.wire;
      EXPECT_EQ(e.what(), c.text);
    } catch (const conversionError& e) {
      EXPECT_FALSE(c.overflow) << c.wire;
      EXPECT_EQ(e.what(), c.text);
    }
  }
  // What was read before the bad field stays.
  message parsed;
  EXPECT_THROW(parsed.parse("{xxKQ7COMxx}5|Bob|zz|0|"), conversionError);
  EXPECT_EQ(parsed.time, 5);
  EXPECT_EQ(parsed.from, "Bob");
}

TEST(MessageWire, DecimalConversionAcceptsSignsZerosAndTheFullRange) {
  struct Case {
    const char* text;
    std::int64_t value;
  };
  const Case kCases[] = {{"+7", 7},
                         {"007", 7},
                         {"-0", 0},
                         {"2147483647", 2147483647},
                         {"-2147483648", -2147483648LL},
                         {"000000000000000000000042", 42}};
  for (const Case& c : kCases) EXPECT_EQ(toInt32(c.text), c.value) << c.text;
  EXPECT_EQ(toInt64("-9223372036854775808"), INT64_MIN);
  EXPECT_EQ(toInt64("9223372036854775807"), INT64_MAX);
  const char* const kRefused[] = {"", "+", "-", " 1", "1 ", "+-1", "1e3", "0x10", "١"};
  for (const char* text : kRefused) EXPECT_THROW(toInt32(text), conversionError) << text;
}

}  // namespace
