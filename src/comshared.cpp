#include "comshared.h"

#include "comtcp_link.h"
#include "comvars.h"

ClientState::ClientState() : receiveBuffer(kReceiveBufferSize) {}
ClientState::~ClientState() = default;
