// The protocol message record and its wire format, the same in both directions.
//
// One message on the wire is, back to back:
//   "{xxKQ7COMxx}" time "|" from "|" type "|" pairCount "|" { key "|" length "|" value }
// Numbers are decimal ASCII; values are counted, so they may hold any byte. The sender
// name and the keys end at the first "|" and so must not contain one.
//
// Threads: a record is used by one thread at a time; nothing here takes a lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

// Type codes as they travel on the wire. Any other number is carried unchanged.
enum msgType : std::int32_t {
  msgNone = 0,
  msgCommand = 1,
  msgChat = 2,
  msgInfo = 3,
  msgData = 4,
};

// A numeric field that is not an optional sign followed by digits.
// what() is "conversion " followed by the field's bytes.
class conversionError : public std::runtime_error {
 public:
  explicit conversionError(std::string_view field);
};

// A numeric field whose value does not fit its type.
// what() is "Error: overflow " followed by the field's bytes.
class overflowError : public std::runtime_error {
 public:
  explicit overflowError(std::string_view field);
};

// Decimal conversion shared by the parser and by everything that reads numbers out of
// values: an optional single "+" or "-" and one or more digits, nothing else; leading
// zeros allowed. Raises conversionError or overflowError as above.
std::int32_t toInt32(std::string_view field);
std::int64_t toInt64(std::string_view field);

// The 12 bytes that begin every message.
inline constexpr std::string_view kMessageMarker = "{xxKQ7COMxx}";

// A value kept outside memory while it arrives (a large file, say), so that it costs no
// memory and no second copy. The receiver decides where (see MessageStream::spillLargeValues).
// Failures to store bytes are remembered and raised by load() and commitAs().
class SpilledValue {
 public:
  virtual ~SpilledValue() = default;
  // Adds bytes at the end; called while the value arrives.
  virtual void append(std::string_view bytes) = 0;
  virtual std::size_t size() const = 0;
  // The whole value in memory.
  virtual std::string load() const = 0;
  // Makes the stored bytes the file `name`, replacing one of that name whole. Raises
  // "Cannot open or create file '" + name + "'" or a write failure; the value is then gone.
  virtual void commitAs(std::string_view name) = 0;
};

class message {
 public:
  // Every field at its initial value: invalid, incomplete, type 0, from "Guest", time -1.
  message();
  // A new outgoing message holding exactly one pair, "msg". Valid, not complete.
  message(std::int64_t time, std::string from, std::string msg, msgType type);
  virtual ~message() = default;

  message(const message&) = default;
  message& operator=(const message&) = default;
  message(message&&) = default;
  message& operator=(message&&) = default;

  // The whole wire form. Does not change the record; equal records give equal bytes.
  virtual std::string serialize() const;

  // Fills the record from the start of data and returns how many bytes it used.
  // - data does not begin with the marker (or a proper prefix of it): isValid false,
  //   returns data.size().
  // - data is a proper prefix of a message, wherever it is cut: isValid true,
  //   isComplete false, returns data.size(); the header fields and the pairs read whole
  //   are stored.
  // - a whole message: both flags true, returns its length; later bytes are not read.
  // Raises conversionError for a "|"-terminated numeric field that is malformed or a
  // negative value length, overflowError for one out of range; the record then holds
  // what was read before the bad field. `type` keeps its old value until it is read.
  virtual std::size_t parse(std::string_view data);

  virtual void setMessage(msgType newType, std::string msg);
  // The value under key, or "No Data" when there is none.
  virtual std::string getValue(std::string_view key) const;
  virtual void setValue(std::string key, std::string value);
  // The pair section of the wire form: the count, then each pair.
  virtual std::string serializeValues() const;
  virtual void clearValues();
  // The "msg" value, or "No Data" when the record has none.
  virtual std::string getMsg() const;
  // The "msg" value for a command (type 1); the empty string for any other type.
  virtual std::string getCommand() const;

  // Reads a value without copying it; null when the key is missing. The pointer lives
  // until the record next changes.
  const std::string* findValue(std::string_view key) const;

  // A value that the receiver kept outside memory; null when key has none. Such a key is
  // not in `values` until loadSpilled() brings it in.
  SpilledValue* findSpilled(std::string_view key) const;
  void setSpilled(std::string key, std::shared_ptr<SpilledValue> value);
  // Moves every spilled value into `values`. Raises what SpilledValue::load raises.
  void loadSpilled();

  bool isValid = false;
  bool isComplete = false;
  std::int32_t type = msgNone;
  std::string from = "Guest";
  std::int64_t time = -1;
  std::map<std::string, std::string, std::less<>> values;
  // Pairs whose values are kept outside memory; a key is in one map or the other.
  std::map<std::string, std::shared_ptr<SpilledValue>, std::less<>> spilled;
};

// The text that getValue gives for a missing key.
inline constexpr std::string_view kNoData = "No Data";
