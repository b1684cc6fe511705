// Test entry for the end-to-end tests that use the network. The client always connects to
// port 9002, so each test process first moves into a network namespace of its own, where
// 9002 is free and loopback is all there is. CTest runs every case as its own process, so
// cases never meet each other's servers and can run in parallel.
#include <gtest/gtest.h>

#include <string>

#include "e2e_support.h"
#include "private_network.h"

int main(int argc, char** argv) {
  // Before anything starts a thread: the namespace is entered by the calling thread only.
  // When it cannot be made, every test skips itself with the reason (e2e::IsolatedTest).
  std::string why;
  if (!enterPrivateNetwork(why)) e2e::privateNetworkProblem() = why;
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
