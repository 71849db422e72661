// A recording double of the certificate store (store/Store.h): every call
// of registerCardCertificates, removeCardCertificates and
// removeStrandedCertificates is kept, in call order, for the monitor's
// tests to inspect.
#pragma once

#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

#include "../../card/pcsc.h"

class CardSession;

namespace recordingstore {

struct StoreCall {
    enum Kind { Register, Remove, RemoveStranded };
    Kind kind;
    // Register: the session's card handle (0 for a null session), its
    // family and its serial.
    SCARDHANDLE cardHandle;
    uint8_t cardKind;
    // Remove: a copy of the serial text handed over, or "(null)".
    // Register: the serial the session read.
    std::string serial;
};

// Forgets every record and the hook.
void reset();

// Every call, in order.
const std::vector<StoreCall> &calls();
// The calls of one kind, in order.
std::vector<StoreCall> registrations();
std::vector<std::string> removedSerials();

// Run inside registerCardCertificates after the call is recorded, with the
// session it was given: lets a test look at the monitor's state mid-event.
void onRegister(const std::function<void(CardSession *)> &hook);
// How many certificates the registration of the card with that serial
// answers it added; 0 for a serial not named.
void cardAdds(const std::string &serial, unsigned certificates);

} // namespace recordingstore
