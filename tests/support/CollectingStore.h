// A double of the certificate store (store/Store.h) that pulls the card's
// certificates with nextCertificate exactly as the real store does (cursor
// 0 once, dataLength set to the capacity before every call) and keeps every
// certificate it is handed, and every serial handed to the removal.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "card-image/CardImage.h"

namespace collectingstore {

struct CollectedCertificate {
    Bytes der; // the record's first dataLength octets
    std::string containerName;
    uint16_t keyUsage;
    // A record the walk must never hand out: dataLength beyond the capacity,
    // or a container name without its terminating zero.
    bool malformed;
};

// The walk stops after this many certificates, so that a walk that never
// ends shows up as a failure instead of a hang.
const unsigned CertificateLimit = 64;

void reset();

const std::vector<CollectedCertificate> &certificates();
unsigned registrations();
// True when a walk was stopped at CertificateLimit.
bool walkOverran();
const std::vector<std::string> &removedSerials();

} // namespace collectingstore
