// The requests of winscard.dll made on the resource manager through the
// pcsc-lite API, for the clients of the bridge helper. Every handle belongs
// to the client that made it and is found for that client only; a client may
// hold a bounded number of them, and whatever it holds is released when its
// last connection is gone.
#pragma once

#include <stdint.h>

#include <PCSC/winscard.h>

#include "BridgeWire.h"

const unsigned BridgeMaxContexts = 16; // contexts one client holds at once
const unsigned BridgeMaxCards = 32; // card handles one client holds at once
const unsigned BridgeMaxClientConnections = 16; // connections of one client

// Counts one more connection of `client`; false when it has its fill.
bool joinClient(uint64_t client);
// Counts one connection of `client` less; the last one releases every
// context the client still holds, with its cards.
void leaveClient(uint64_t client);

// Answers one request of `client`; the reply's result stands in front of
// `body`. `peer` is polled during long status waits, to notice a client that
// went away; -1 when there is none.
LONG handleRequest(uint64_t client, const uint8_t *request, uint32_t length, BridgeWriter &body,
                   int peer);

// On: every status change handed to a client is logged on standard error
// with its Unix milliseconds and the event states, so that a benchmark can
// time what follows an event from the moment the client learnt of it.
extern bool bridgeLogStatusChanges;
