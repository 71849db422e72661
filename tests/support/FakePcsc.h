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

struct MonitorState;

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
// event: pcscd counts only insertions and removals. With
// SCARD_STATE_EXCLUSIVE another program holds the card for itself, and a
// shared connection fails with SCARD_E_SHARING_VIOLATION.
void setReaderFlags(size_t reader, DWORD flags);
// The reader's card answers `commands` more commands, then no more: every
// later one fails with SCARD_E_NOT_TRANSACTED, on any connection, until
// another card goes in.
void stopAnsweringAfter(size_t reader, unsigned commands);
// A card taken out and another put in so that nothing counts it: the
// reader's event count and state stay as they were (a reader that keeps
// no count, or a swap while the machine slept).
void swapCardUnseen(size_t reader, const CardImage &card);
// A reader unplugged and plugged in again: while it is gone it is not
// listed and cannot be connected; when it comes back it is a new reader to
// the service, its event count from 0, with whatever card
// insertCard/removeCard left in it.
void detachReader(size_t reader);
void attachReader(size_t reader);

// How the platform reports readers that are gone and readers that arrive.
// Windows: a watched reader that is gone reads UNKNOWN | CHANGED | IGNORE
// and the call succeeds; the arrival watch "\\?PnP?\Notification"
// carries the reader count in its high 16 bits and is changed whenever the
// caller's count differs. pcsc-lite (1.9): the whole call fails with
// SCARD_E_UNKNOWN_READER while any watched reader is missing, and the
// arrival watch reports only readers that arrive or leave during the wait,
// which the double never makes, so it stays 0, and it refuses a call of
// more than 16 entries (SCARD_E_INVALID_PARAMETER). Both skip an entry
// whose current state holds IGNORE, answering IGNORE in its event state,
// and pcsc-lite answers at once when every entry does.
enum Platform { WindowsPcsc, PcscLite };
void setPlatform(Platform platform);
// Since Windows 8 the smart-card service runs only while a reader is
// plugged in: with this on, unplugging the last reader stops it
// (SCARD_E_SERVICE_STOPPED) and plugging one in starts it.
void setServiceFollowsReaders(bool on);
// Off: the high 16 bits of every event state stay 0, as where the
// platform keeps no event count.
void setEventCounts(bool on);
// The smart-card service stops: every context made so far dies (each call
// on it fails with `error`, also after the service is back), card handles
// end, and no context can be made (SCARD_E_NO_SERVICE) until startService,
// which also starts every reader's event count afresh.
void stopService(LONG error);
void startService();
bool serviceRunning();
// The double's side of Windows' SCardAccessStartedEvent: whether the service
// runs, in the form the monitor state takes it. The Windows builds also
// export SCardAccessStartedEvent, an event set while the service runs.
bool serviceStartedProbe(MonitorState &monitor);
#ifdef _WIN32
HANDLE startedEvent();
#endif
unsigned liveContexts();
// Live contexts and those that died with the service, not yet released.
unsigned contextsNotReleased();
CardImage *cardIn(size_t reader);
// The state a status call reports for the reader: presence, flags and
// event count.
DWORD readerStateOf(size_t reader);

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
// The time-out and entry count of the latest SCardGetStatusChangeA call,
// and the reader names it was given.
DWORD lastStatusTimeout();
DWORD lastStatusCount();
const std::vector<std::string> &lastStatusNames();
// Cards connected and not yet disconnected, transactions begun and not ended.
unsigned openConnections();
unsigned openTransactions();

} // namespace fakepcsc
