#include "message.h"

#include <charconv>
#include <limits>

#include "message_stream.h"

conversionError::conversionError(std::string_view field)
    : std::runtime_error("conversion " + std::string(field)) {}

overflowError::overflowError(std::string_view field)
    : std::runtime_error("Error: overflow " + std::string(field)) {}

namespace {

template <typename Int>
Int toInteger(std::string_view field) {
  std::string_view digits = field;
  bool negative = false;
  if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
    negative = digits.front() == '-';
    digits.remove_prefix(1);
  }
  if (digits.empty()) throw conversionError(field);
  for (char c : digits) {
    if (c < '0' || c > '9') throw conversionError(field);
  }
  // Accumulate towards the sign so that the most negative value fits too.
  Int value = 0;
  for (char c : digits) {
    const Int digit = static_cast<Int>(c - '0');
    if (negative) {
      if (value < (std::numeric_limits<Int>::min() + digit) / 10) throw overflowError(field);
      value = static_cast<Int>(value * 10 - digit);
    } else {
      if (value > (std::numeric_limits<Int>::max() - digit) / 10) throw overflowError(field);
      value = static_cast<Int>(value * 10 + digit);
    }
  }
  return value;
}

// Room that serializeValues leaves for the header in front of the pairs.
constexpr std::size_t kSerializeHeadroom = 64;

template <typename Int>
void appendDecimal(std::string& out, Int value) {
  char digits[24];
  const auto result = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, result.ptr);
}

}  // namespace

std::int32_t toInt32(std::string_view field) {
  return toInteger<std::int32_t>(field);
}
std::int64_t toInt64(std::string_view field) {
  return toInteger<std::int64_t>(field);
}

message::message() = default;

message::message(std::int64_t time_, std::string from_, std::string msg, msgType type_)
    : isValid(true), type(type_), from(std::move(from_)), time(time_) {
  values.emplace("msg", std::move(msg));
}

std::string message::serialize() const {
  std::string header;
  header.reserve(kMessageMarker.size() + from.size() + 48);
  header.append(kMessageMarker);
  appendDecimal(header, time);
  header.push_back('|');
  header.append(from);
  header.push_back('|');
  appendDecimal(header, type);
  header.push_back('|');
  // The pair section leaves room for the header, so a large message is built in one block.
  std::string out = serializeValues();
  out.insert(0, header);
  return out;
}

std::string message::serializeValues() const {
  std::size_t size = kSerializeHeadroom + 12;
  for (const auto& [key, value] : values) size += key.size() + value.size() + 12;
  for (const auto& [key, value] : spilled) size += key.size() + value->size() + 12;
  std::string out;
  out.reserve(size);
  appendDecimal(out, values.size() + spilled.size());
  out.push_back('|');
  const auto pair = [&out](const std::string& key, std::string_view value) {
    out.append(key);
    out.push_back('|');
    appendDecimal(out, value.size());
    out.push_back('|');
    out.append(value);
  };
  // Both maps in key order, as if they were one.
  auto kept = values.begin();
  auto away = spilled.begin();
  while (kept != values.end() || away != spilled.end()) {
    if (away == spilled.end() || (kept != values.end() && kept->first < away->first)) {
      pair(kept->first, kept->second);
      ++kept;
    } else {
      pair(away->first, away->second->load());
      ++away;
    }
  }
  return out;
}

std::size_t message::parse(std::string_view data) {
  // A one-shot parse is the resumable decoder run once over the whole input.
  WireDecoder decoder(std::numeric_limits<std::size_t>::max(),
                      std::numeric_limits<std::size_t>::max());
  const WireDecoder::Result result = decoder.feed(data, *this);
  switch (result.status) {
    case WireDecoder::Status::complete:
      return result.used;
    case WireDecoder::Status::needMore:
      return data.size();
    case WireDecoder::Status::invalid:
      break;
  }
  time = -1;
  from = "NONE";
  clearValues();
  isValid = false;
  isComplete = true;
  return data.size();
}

void message::setMessage(msgType newType, std::string msg) {
  type = newType;
  setValue("msg", std::move(msg));
}

std::string message::getValue(std::string_view key) const {
  const std::string* value = findValue(key);
  return value ? *value : std::string(kNoData);
}

void message::setValue(std::string key, std::string value) {
  if (!spilled.empty()) spilled.erase(key);
  values.insert_or_assign(std::move(key), std::move(value));
}

void message::clearValues() {
  values.clear();
  spilled.clear();
}

std::string message::getMsg() const {
  return getValue("msg");
}

std::string message::getCommand() const {
  return type == msgCommand ? getMsg() : std::string();
}

const std::string* message::findValue(std::string_view key) const {
  const auto it = values.find(key);
  return it == values.end() ? nullptr : &it->second;
}

SpilledValue* message::findSpilled(std::string_view key) const {
  const auto it = spilled.find(key);
  return it == spilled.end() ? nullptr : it->second.get();
}

void message::setSpilled(std::string key, std::shared_ptr<SpilledValue> value) {
  values.erase(key);
  spilled.insert_or_assign(std::move(key), std::move(value));
}

void message::loadSpilled() {
  while (!spilled.empty()) {
    const auto it = spilled.begin();
    values.insert_or_assign(it->first, it->second->load());
    spilled.erase(it);
  }
}
