// A PC/SC double: provides the SCard* functions and g_rgSCardT0Pci, and
// plays readers and virtual cards built by CardImage. Linked in place of
// winscard/pcsc-lite by the unit tests, and built as winscard.dll for the
// program's black-box tests.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "../../card/pcsc.h"
#include "card-image/CardImage.h"

namespace fakepcsc {

// What the double does to the answer of one card command.
struct Fault {
    enum Kind {
        None,
        StatusWord, // answer only this status word
        DataAndStatus, // answer `data` followed by the status word
        ShortAnswer, // answer only the first `count` bytes of the real answer (0 or 1)
        PcscError, // SCardTransmit returns `error`
    };
    Kind kind;
    uint16_t status;
    Bytes data;
    size_t count;
    LONG error;
};

Fault statusFault(uint16_t status);
Fault dataFault(const Bytes &data, uint16_t status);
Fault shortFault(size_t count);
Fault errorFault(LONG error);

struct CommandRecord {
    SCARDHANDLE card;
    Bytes command;
    Bytes answer; // as handed to the caller; empty after a PC/SC error
    LONG result;
};

// The arguments of one SCardConnectA or SCardDisconnect call.
struct ConnectRecord {
    std::string reader;
    DWORD shareMode;
    DWORD protocols;
    LONG result;
};
struct DisconnectRecord {
    SCARDHANDLE card;
    DWORD disposition;
};

struct Counters {
    unsigned establish, release, listReaders, freeMemory, statusCalls;
    unsigned connects, disconnects, beginTransactions, endTransactions, transmits;
};

// Forgets every reader, card, fault and record.
void reset();

// Readers are listed in the order they are added. Answers the reader index.
size_t addReader(const std::string &name);
void insertCard(size_t reader, const CardImage &card);
void removeCard(size_t reader);
// Further state flags (SCARD_STATE_INUSE, SCARD_STATE_MUTE, ...) reported
// beside PRESENT or EMPTY. Changing them is a change but not a counted
// event: pcscd counts only insertions and removals.
// SCARD_STATE_UNKNOWN stands for a reader that was unplugged: it is then
// reported as UNKNOWN alone, and clearing the flag plugs it in again.
void setReaderFlags(size_t reader, DWORD flags);
// A reader unplugged and plugged in again: while it is gone it is not
// listed, cannot be connected and reads UNKNOWN in status calls; when it
// comes back it is a new reader to the service, its event count from 0,
// with whatever card insertCard/removeCard left in it.
void detachReader(size_t reader);
void attachReader(size_t reader);
void setMissingReaderFailsStatusCall(bool on);
// Off: the high 16 bits of every event state stay 0, as where the
// platform keeps no event count.
void setEventCounts(bool on);
// The smart-card service stops: every context made so far dies (each call
// on it fails with `error`, also after the service is back), card handles
// end, and no context can be made (SCARD_E_NO_SERVICE) until startService,
// which also starts every reader's event count afresh.
void stopService(LONG error);
void startService();
unsigned liveContexts();
CardImage *cardIn(size_t reader);

// Connects to a card in a reader of its own, for tests of the card layer.
SCARDHANDLE connectCard(const CardImage &card);

// T=0 behaviour: SELECT answered 61xx, then GET RESPONSE gives the FCI.
void setSelectNeedsGetResponse(bool on);

// Faults, counted over all SCardTransmit calls from 1.
void injectFault(unsigned commandIndex, const Fault &fault);
void failFrom(unsigned commandIndex, LONG error); // as a card pulled mid-read
void failStatusCalls(unsigned count, LONG error);
void failEstablish(LONG error);
void failListReaders(LONG error);
void failConnect(LONG error);

const std::vector<CommandRecord> &commandLog();
void clearCommandLog();
const Counters &counters();
const std::vector<ConnectRecord> &connectLog();
const std::vector<DisconnectRecord> &disconnectLog();
// The time-out and entry count of the latest SCardGetStatusChangeA call.
DWORD lastStatusTimeout();
DWORD lastStatusCount();
// Cards connected and not yet disconnected, transactions begun and not ended.
unsigned openConnections();
unsigned openTransactions();

} // namespace fakepcsc
