// Feeds a byte stream to the receive step twice: in reads as large as the buffer allows,
// and cut into reads at places the input chooses. Both must show and send exactly the same
// things in the same order, one "Invalid Data Chunk" per run of bad bytes included; only
// where "Connected!" falls may differ.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "client_fakes.h"
#include "comtcp.h"
#include "comvars.h"

namespace {

struct Outcome {
  std::vector<std::string> shown;
  std::vector<std::string> sent;
  std::vector<std::vector<std::string>> userLists;
  std::vector<std::vector<std::string>> resources;
};

Outcome receive(const std::vector<std::string>& reads) {
  ClientFixture f;
  f.receive(reads);
  Outcome out;
  for (const std::string& line : f.seen->lines) {
    if (line != "Connected!") out.shown.push_back(line);
  }
  // The send time differs between the runs; the request does not.
  for (const message& m : f.link->sentMessages()) out.sent.push_back(m.getMsg());
  out.userLists = f.seen->userLists;
  out.resources = f.seen->resources;
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Received files land in the working directory: keep them out of the way.
  const auto dir =
      std::filesystem::temp_directory_path() / ("kq7-fuzz-receive-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  std::filesystem::current_path(dir);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  std::uint32_t seed = static_cast<std::uint32_t>(data[0]) | (std::uint32_t{data[1]} << 8) |
                       (std::uint32_t{data[2]} << 16) | (std::uint32_t{data[3]} << 24);
  const std::string stream(reinterpret_cast<const char*>(data) + 4, size - 4);

  std::vector<std::string> whole, cut;
  for (std::size_t at = 0; at < stream.size(); at += kReceiveBufferSize) {
    whole.push_back(stream.substr(at, kReceiveBufferSize));
  }
  for (std::size_t at = 0; at < stream.size();) {
    seed = seed * 1103515245u + 12345u;
    const std::size_t length = 1 + (seed >> 16) % 40;
    cut.push_back(stream.substr(at, length));
    at += length;
  }
  const Outcome a = receive(whole);
  const Outcome b = receive(cut);
  if (a.shown != b.shown || a.sent != b.sent || a.userLists != b.userLists ||
      a.resources != b.resources) {
    std::abort();
  }
  return 0;
}
