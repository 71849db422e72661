// A double of the certificate store (store/Store.h) that pulls the card's
// certificates with nextCertificate exactly as the real store does (cursor
// 0 once, dataLength set to the capacity before every call) and keeps every
// certificate it is handed, and every serial handed to the removal. It also
// keeps a model of "MY": what those certificates leave in the store.
#pragma once

#include <stdint.h>

#include <map>
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
    unsigned commandsSent; // card commands sent when it was handed out, if counted
};

// A row of "MY": the container name and key usage of the certificate's
// binding, or "" and 0 when it has none.
struct Binding {
    std::string containerName;
    uint16_t keyUsage;
    bool operator==(const Binding &other) const
    {
        return containerName == other.containerName && keyUsage == other.keyUsage;
    }
};
// "MY" by certificate. A certificate handed out with a container name gets
// that binding; one handed out without keeps the binding a copy already in
// the store has. The removal deletes every row whose name begins with the
// serial. Tests may put rows of their own in it beforehand.
typedef std::map<Bytes, Binding> PersonalStore;

// The walk stops after this many certificates, so that a walk that never
// ends shows up as a failure instead of a hang.
const unsigned CertificateLimit = 64;

void reset();

const std::vector<CollectedCertificate> &certificates();
unsigned registrations();
// True when a walk was stopped at CertificateLimit.
bool walkOverran();
const std::vector<std::string> &removedSerials();
PersonalStore &personalStore();
// What commandsSent is read from: the PC/SC double's count of commands.
void countCommandsWith(unsigned (*counter)());

} // namespace collectingstore
