// A network of the test's own: a fresh network namespace with only the loopback device, up.
// Servers started by the test may then listen on fixed ports (9002 included) without
// meeting anything else on the machine, and nothing leaves the machine.
#pragma once

#include <string>

// Moves the calling process (and every child it starts later) into a new network
// namespace and brings its loopback up. Call before any thread starts. Returns false, with
// the reason in why, when the system refuses (usually: not root).
bool enterPrivateNetwork(std::string& why);
