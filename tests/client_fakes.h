// Test doubles for the client logic: a scripted server link and hooks that record what
// the client shows.
#pragma once

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "comshared.h"
#include "comtcp_link.h"
#include "message.h"

// A link whose reads are scripted and whose sends are recorded, one entry per message.
class FakeLink : public ServerLink {
 public:
  bool isAlive = true;
  bool isConnected = true;
  // What connect() raises (empty: it succeeds and the link is connected).
  std::string connectFailure;
  std::vector<std::string> connectedTo;
  std::vector<std::string> sent;
  std::deque<ReadResult> results;  // for closed/lost entries
  std::deque<std::string> reads;   // data, handed out in order after `results` is empty
  int wakes = 0;

  bool alive() const override { return isAlive; }
  bool connected() const override { return isConnected; }
  void connect(const std::string& host) override {
    connectedTo.push_back(host);
    if (!connectFailure.empty()) throw std::runtime_error(connectFailure);
    isConnected = true;
  }
  SendResult send(std::string_view bytes) override {
    if (!isAlive || !isConnected) return SendResult::notConnected;
    sent.emplace_back(bytes);
    return SendResult::sent;
  }
  ReadResult receive(std::span<char> buffer) override;
  void waitReadable(std::chrono::milliseconds) override {}
  void wake() override { ++wakes; }
  void close() override { isAlive = false; }

  // The sent messages parsed back.
  std::vector<message> sentMessages() const;
};

// Hooks that record every call; `lines` holds shown texts, hints as "hint:" + text.
struct Recorded {
  std::vector<std::string> lines;
  std::vector<std::vector<std::string>> userLists;
  std::vector<std::vector<std::string>> resources;
  int filesReceived = 0;
  int connectedCalls = 0;
};

// A client state with a FakeLink and recording hooks. The screen name is "Bob".
struct ClientFixture {
  ClientFixture();
  // Hands each read to the client in turn, with as many receive steps as it takes (a
  // read larger than the receive buffer takes more than one).
  void receive(const std::vector<std::string>& reads);
  ClientState state;
  FakeLink* link;  // owned by state.tcpSocket
  std::shared_ptr<Recorded> seen = std::make_shared<Recorded>();
};
