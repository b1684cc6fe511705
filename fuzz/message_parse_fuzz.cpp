// Parses arbitrary bytes as one message. A parse may refuse the input with one of the
// record's own errors, but must never crash; a whole message must survive a round trip.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "message.h"
#include "message_stream.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  message parsed;
  std::size_t used = 0;
  try {
    used = parsed.parse(input);
  } catch (const conversionError&) {
    return 0;
  } catch (const overflowError&) {
    return 0;
  }
  require(used <= size);
  if (!parsed.isValid) {
    require(used == size);
    return 0;
  }
  if (!parsed.isComplete) {
    require(used == size);
    return 0;
  }
  const std::string wire = parsed.serialize();
  require(wire == parsed.serialize());
  message again;
  require(again.parse(wire) == wire.size());
  require(again.isValid && again.isComplete);
  require(again.time == parsed.time && again.from == parsed.from && again.type == parsed.type);
  require(again.values == parsed.values);
  return 0;
}
