// Cutting a received byte stream into messages.
//
// TCP hands bytes over in reads that may end anywhere, so a message can arrive in any
// number of pieces and several messages can share one read. MessageStream keeps what it
// has learnt of the message in progress between calls (the header fields and pairs read,
// the part of a value received so far) and resumes where it stopped, so the cost is linear
// in the bytes received and a large value is copied once, from the read buffer into place.
//
// Bytes that are not a message are skipped up to the next start marker; a message with a
// malformed number, or one that would pass the size limit, is dropped the same way, so a
// hostile or broken peer can cost a report line but never stops later messages.
//
// The same code serves the client's receive step and every connection of the local server.
// Threads: one stream belongs to one thread; nothing here takes a lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "message.h"

// Largest message kept: wire bytes of one message, carried-over bytes included.
inline constexpr std::size_t kMaxMessageBytes = std::size_t{256} << 20;
// Largest number of pairs kept in one message (each costs a map node).
inline constexpr std::size_t kMaxMessagePairs = std::size_t{1} << 20;

// Where a value of at least `threshold` bytes goes while it arrives, instead of memory:
// `make` is asked with the key and the declared length; a null answer keeps the value in
// memory after all. The record then holds the value with message::setSpilled.
struct SpillPolicy {
  std::size_t threshold = 0;
  std::function<std::shared_ptr<SpilledValue>(std::string_view key, std::size_t length)> make;
};

// Resumable decoder for one message at a time; the building block of MessageStream and
// of message::parse. It writes straight into the record it is given, which must be the
// same record on every call until the message is complete.
class WireDecoder {
 public:
  enum class Status {
    needMore,  // all of the input belongs to the message, which is not complete yet
    complete,  // the record holds a whole message
    invalid,   // the input does not start with the marker; nothing was consumed
  };
  struct Result {
    Status status;
    std::size_t used;  // bytes of this input that belong to the message
  };

  explicit WireDecoder(std::size_t limit = kMaxMessageBytes,
                       std::size_t pairLimit = kMaxMessagePairs);

  // Reads bytes from the front of input into record. At a message boundary the record
  // is reset first (time -1, from "NONE", no pairs; type kept until it is read).
  // Raises conversionError or overflowError for a malformed number (a negative value
  // length included) and messageTooLarge past the limits; the decoder is then back at a
  // message boundary and the record holds what was read before the fault.
  Result feed(std::string_view input, message& record);

  // Wire bytes of the message in progress received by earlier calls; 0 at a boundary.
  std::size_t carried() const { return consumed_; }
  bool atBoundary() const { return phase_ == Phase::marker && markerMatched_ == 0; }
  // After feed() raised: the bytes of that input the faulty message had used.
  std::size_t usedBeforeFault() const { return usedBeforeFault_; }
  // Forgets the message in progress.
  void reset();
  // Large values go where the policy says from the next value on; an empty policy (no
  // `make`) keeps every value in memory, as at the start.
  void setSpill(SpillPolicy policy) { spill_ = std::move(policy); }

 private:
  enum class Phase { marker, time, from, type, count, key, length, value };

  // Finds the "|" that ends the current field; on success field holds the whole field.
  bool takeField(std::string_view input, std::size_t& pos, std::string_view& field);
  void finishValue(message& record);

  std::size_t limit_;
  std::size_t pairLimit_;
  Phase phase_ = Phase::marker;
  std::size_t markerMatched_ = 0;
  std::size_t consumed_ = 0;  // wire bytes of this message before the current call
  std::string fieldBuffer_;   // start of a "|"-terminated field cut by a read
  std::int64_t pairsLeft_ = 0;
  std::size_t pairsStored_ = 0;
  std::string pendingKey_;
  std::string pendingValue_;
  std::shared_ptr<SpilledValue> pendingSpill_;  // the value in progress, when spilled
  std::size_t valueLength_ = 0;
  std::size_t valueReceived_ = 0;
  SpillPolicy spill_;
  std::size_t usedBeforeFault_ = 0;
};

// A message dropped because it passes kMaxMessageBytes or kMaxMessagePairs.
class messageTooLarge : public std::runtime_error {
 public:
  // "Message too large: dropped (the limit is " + limit + ")", limit in MiB or bytes.
  static messageTooLarge bytes(std::size_t limit);
  // "Message has too many pairs: dropped (the limit is " + limit + ")".
  static messageTooLarge pairs(std::size_t limit);

 private:
  using std::runtime_error::runtime_error;
};

class MessageStream {
 public:
  enum class Outcome {
    complete,    // the record holds a whole message: hand it on
    incomplete,  // the rest of the input starts a message; kept for the next call
    skipped,     // bytes that are not a message, up to the next marker or the end
    dropped,     // a malformed or oversized message; `error` says why
  };
  struct Step {
    Outcome outcome;
    std::size_t used;     // bytes of the input this step consumed
    bool newRun = false;  // skipped: the first step of a run of bad bytes
    std::string error;    // dropped: the failure's text
  };

  explicit MessageStream(std::size_t limit = kMaxMessageBytes,
                         std::size_t pairLimit = kMaxMessagePairs);

  // One step over the front of a non-empty input. The caller advances by `used` and calls
  // again while input remains. A step consumes at least one byte, except a `skipped` step
  // that ends at the start of the input; the step after such a one always consumes.
  // The record must be the same object on every call (it holds the message in progress).
  Step next(std::string_view input, message& record);

  // Wire bytes of the message in progress received by earlier calls.
  std::size_t carried() const { return decoder_.carried(); }
  // Forgets everything carried, for a new connection.
  void reset();
  // See WireDecoder::setSpill.
  void spillLargeValues(SpillPolicy policy) { decoder_.setSpill(std::move(policy)); }

 private:
  Step skip(std::string_view input, std::size_t from, bool newRun);

  WireDecoder decoder_;
  bool skipping_ = false;
  // The message being read began right after skipped bytes, so if it turns out not to be
  // one, its bytes continue that run rather than start another.
  bool junkBeforeCandidate_ = false;
};
