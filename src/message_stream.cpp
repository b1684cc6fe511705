#include "message_stream.h"

#include <cstring>

namespace {

std::string limitText(std::size_t limit) {
  if (limit >= (std::size_t{1} << 20) && limit % (std::size_t{1} << 20) == 0) {
    return std::to_string(limit >> 20) + " MiB";
  }
  return std::to_string(limit) + " bytes";
}

}  // namespace

messageTooLarge messageTooLarge::bytes(std::size_t limit) {
  return messageTooLarge("Message too large: dropped (the limit is " + limitText(limit) + ")");
}

messageTooLarge messageTooLarge::pairs(std::size_t limit) {
  return messageTooLarge("Message has too many pairs: dropped (the limit is " +
                         std::to_string(limit) + ")");
}

WireDecoder::WireDecoder(std::size_t limit, std::size_t pairLimit)
    : limit_(limit), pairLimit_(pairLimit) {}

void WireDecoder::reset() {
  phase_ = Phase::marker;
  markerMatched_ = 0;
  consumed_ = 0;
  fieldBuffer_.clear();
  pairsLeft_ = 0;
  pairsStored_ = 0;
  pendingKey_.clear();
  // Give back the memory of an abandoned large value.
  std::string().swap(pendingValue_);
  pendingSpill_.reset();
  valueLength_ = 0;
  valueReceived_ = 0;
}

bool WireDecoder::takeField(std::string_view input, std::size_t& pos, std::string_view& field) {
  const std::size_t left = input.size() - pos;
  const void* bar = left == 0 ? nullptr : std::memchr(input.data() + pos, '|', left);
  if (bar == nullptr) {
    fieldBuffer_.append(input.substr(pos));
    pos = input.size();
    return false;
  }
  const std::size_t end = static_cast<std::size_t>(static_cast<const char*>(bar) - input.data());
  if (fieldBuffer_.empty()) {
    field = input.substr(pos, end - pos);
  } else {
    // The field began in an earlier read: complete it in the buffer, which the caller
    // reads before the next field is taken.
    fieldBuffer_.append(input.substr(pos, end - pos));
    field = fieldBuffer_;
  }
  pos = end + 1;
  return true;
}

void WireDecoder::finishValue(message& record) {
  if (pendingSpill_) {
    record.setSpilled(std::move(pendingKey_), std::move(pendingSpill_));
    pendingSpill_.reset();
  } else {
    record.setValue(std::move(pendingKey_), std::move(pendingValue_));
  }
  pendingKey_.clear();
  pendingValue_.clear();
  ++pairsStored_;
}

WireDecoder::Result WireDecoder::feed(std::string_view input, message& record) {
  if (input.empty()) return {atBoundary() ? Status::invalid : Status::needMore, 0};

  // The decoder never looks past the limit, so a message is dropped at the same byte
  // however the stream was cut into reads.
  const bool clipped = input.size() > limit_ - consumed_;
  if (clipped) input = input.substr(0, limit_ - consumed_);
  std::size_t pos = 0;

  // Every field read completely is stored at once, so that the record holds what was read
  // when a later field turns out to be malformed.
  const auto needMore = [&]() -> Result {
    pos = input.size();
    if (clipped) throw messageTooLarge::bytes(limit_);
    consumed_ += input.size();
    record.isValid = true;
    record.isComplete = false;
    return {Status::needMore, input.size()};
  };
  const auto complete = [&]() -> Result {
    record.isValid = true;
    record.isComplete = true;
    reset();
    return {Status::complete, pos};
  };

  try {
    std::string_view field;
    while (true) {
      switch (phase_) {
        case Phase::marker: {
          const std::size_t want = kMessageMarker.size() - markerMatched_;
          const std::size_t take = std::min(want, input.size());
          if (input.substr(0, take) != kMessageMarker.substr(markerMatched_, take)) {
            // Not a marker, or a carried beginning of one that the new bytes do not continue.
            reset();
            return {Status::invalid, 0};
          }
          if (markerMatched_ == 0) {
            record.time = -1;
            record.from = "NONE";
            record.clearValues();
            record.isValid = true;
            record.isComplete = true;
          }
          markerMatched_ += take;
          pos = take;
          if (markerMatched_ < kMessageMarker.size()) return needMore();
          phase_ = Phase::time;
          break;
        }
        case Phase::time:
          if (!takeField(input, pos, field)) return needMore();
          record.time = toInt64(field);
          fieldBuffer_.clear();
          phase_ = Phase::from;
          break;
        case Phase::from:
          if (!takeField(input, pos, field)) return needMore();
          record.from.assign(field);
          fieldBuffer_.clear();
          phase_ = Phase::type;
          break;
        case Phase::type:
          if (!takeField(input, pos, field)) return needMore();
          record.type = toInt32(field);
          fieldBuffer_.clear();
          phase_ = Phase::count;
          break;
        case Phase::count:
          if (!takeField(input, pos, field)) return needMore();
          pairsLeft_ = toInt32(field);
          fieldBuffer_.clear();
          if (pairsLeft_ <= 0) return complete();
          phase_ = Phase::key;
          break;
        case Phase::key:
          if (!takeField(input, pos, field)) return needMore();
          pendingKey_.assign(field);
          fieldBuffer_.clear();
          phase_ = Phase::length;
          break;
        case Phase::length: {
          if (!takeField(input, pos, field)) return needMore();
          const std::int32_t length = toInt32(field);
          if (length < 0) throw conversionError(field);
          fieldBuffer_.clear();
          valueLength_ = static_cast<std::size_t>(length);
          if (consumed_ + pos + valueLength_ > limit_) throw messageTooLarge::bytes(limit_);
          if (pairsStored_ >= pairLimit_) throw messageTooLarge::pairs(pairLimit_);
          pendingValue_.clear();
          pendingSpill_.reset();
          valueReceived_ = 0;
          if (spill_.make && valueLength_ >= spill_.threshold) {
            pendingSpill_ = spill_.make(pendingKey_, valueLength_);
          }
          if (!pendingSpill_) pendingValue_.reserve(valueLength_);
          phase_ = Phase::value;
          break;
        }
        case Phase::value: {
          const std::size_t take = std::min(valueLength_ - valueReceived_, input.size() - pos);
          // Straight from the read into its place: memory, or where the spill keeps it.
          if (pendingSpill_) {
            pendingSpill_->append(input.substr(pos, take));
          } else {
            pendingValue_.append(input.data() + pos, take);
          }
          valueReceived_ += take;
          pos += take;
          if (valueReceived_ < valueLength_) return needMore();
          finishValue(record);
          if (--pairsLeft_ == 0) return complete();
          phase_ = Phase::key;
          break;
        }
      }
    }
  } catch (...) {
    usedBeforeFault_ = pos;
    reset();
    throw;
  }
}

MessageStream::MessageStream(std::size_t limit, std::size_t pairLimit)
    : decoder_(limit, pairLimit) {}

void MessageStream::reset() {
  decoder_.reset();
  skipping_ = false;
  junkBeforeCandidate_ = false;
}

MessageStream::Step MessageStream::skip(std::string_view input, std::size_t from, bool newRun) {
  // The next place where a marker, or the beginning of one cut by the end of the input,
  // starts. The marker holds only one "{", so a failed match never hides another one.
  std::size_t at = from;
  while (at < input.size()) {
    const void* brace = std::memchr(input.data() + at, '{', input.size() - at);
    if (brace == nullptr) break;
    at = static_cast<std::size_t>(static_cast<const char*>(brace) - input.data());
    const std::size_t take = std::min(kMessageMarker.size(), input.size() - at);
    if (input.substr(at, take) == kMessageMarker.substr(0, take)) {
      skipping_ = false;
      junkBeforeCandidate_ = true;
      return {Outcome::skipped, at, newRun, {}};
    }
    ++at;
  }
  skipping_ = true;
  return {Outcome::skipped, input.size(), newRun, {}};
}

MessageStream::Step MessageStream::next(std::string_view input, message& record) {
  if (skipping_) return skip(input, 0, false);

  const bool carrying = !decoder_.atBoundary();
  WireDecoder::Result result;
  try {
    result = decoder_.feed(input, record);
  } catch (const std::exception& fault) {
    // Drop the rest of the faulty message silently up to the next marker.
    skipping_ = true;
    junkBeforeCandidate_ = false;
    return {Outcome::dropped, decoder_.usedBeforeFault(), false, fault.what()};
  }
  switch (result.status) {
    case WireDecoder::Status::complete:
      junkBeforeCandidate_ = false;
      return {Outcome::complete, result.used, false, {}};
    case WireDecoder::Status::needMore:
      return {Outcome::incomplete, result.used, false, {}};
    case WireDecoder::Status::invalid:
      break;
  }
  // Not a message here. When carried bytes were dropped (the start of a marker cut by a
  // read, then not continued), the first new byte may itself start a marker, and the run
  // of garbage the carried bytes ended, if any, goes on; otherwise the first byte is
  // known not to start one.
  const bool newRun = !(carrying && junkBeforeCandidate_);
  junkBeforeCandidate_ = false;
  return skip(input, carrying ? 0 : 1, newRun);
}
