// The server link's receive and dispatch side and the command interpreter.
#pragma once

#include <string>
#include <string_view>

#include "comshared.h"
#include "message.h"

// One receive step on the network worker: one read, every complete message in it handed
// to dispatchMessage in order, "Connected!" once per connection, "Connection lost" once
// when the server ends it. Failures inside are reported and the step goes on.
void pollNetwork(ClientState& state);

// Writes data to the file name whole, replacing an older file only once every byte is
// written. Raises "Cannot open or create file '" + name + "'" when the file cannot be made,
// or the write's own failure.
void saveFile(std::string_view name, std::string_view data);

// Whether a file name from the server may be written: a plain name in the working
// directory, not empty, ".", "..", and without "/", "\" or a zero byte.
bool isPlainFileName(std::string_view name);

// Acts on one complete message from the server. Network worker only. Raises only what a
// hook outside the protected steps raises.
void dispatchMessage(ClientState& state, message& m);

// Hands the names of a "USER_LIST" message to setUserList. Raises the decimal conversion
// failures of "user_count".
void readUserList(ClientState& state, const message& m);

// Handles one line: the answer to a pending prompt, a local command, or something for
// the server. typedByUser is false for the network worker's refresh line, which is always
// taken as a command and leaves a pending prompt pending. Raises what connectAndLogon
// raises; "ServerIP" is then no longer pending.
void processInput(ClientState& state, const std::string& line, bool typedByUser);
