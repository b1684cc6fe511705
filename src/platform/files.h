// Writing whole files.
#pragma once

#include <memory>
#include <string_view>

#include "message.h"

// Writes data to the file path, creating it or replacing it whole: the bytes go to a
// temporary file in the same directory, which is renamed over path only once every byte
// is written, so a failure never leaves a half-written file nor harms an older one. Where
// the file system allows, the temporary has no name until it is complete, so not even a
// process killed while writing leaves a part behind.
// Raises "Cannot open or create file '" + path + "'" when the file cannot be made, and
// "Cannot write file '" + path + "'" + ": " + the system's reason when writing fails.
void writeFileReplacing(std::string_view path, std::string_view data);

// A place in `directory` (a hidden temporary file) for a received value too large to keep
// in memory. commitAs() turns it into the named file as writeFileReplacing would, with
// the same failures; a value never committed is removed with its last owner. Null when the
// temporary file cannot be made.
std::shared_ptr<SpilledValue> makeSpillFile(std::string_view directory);
