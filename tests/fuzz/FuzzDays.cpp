// The monitor over a user's day: readers plugged in and unplugged, cards
// put in and taken out (of either family, foreign ones, cards that stop
// answering, cards another program holds), the smart-card service stopping
// and starting, sleeps and polling cycles, played on the PC/SC double and
// the collecting store. After every cycle, after a quiet stretch and at the
// end, what the program left is held to a model kept in cards and
// certificates: "MY" holds the certificates of the cards in the readers,
// bound as a clean insertion of each binds them, and what was there
// before; nothing of a card once its departure could be seen.
#include "FuzzTargets.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

#include <map>
#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "helpers/DemoCards.h"
#include "card/CardFamily.h"
#include "monitor/Monitor.h"
#include "monitor/MonitorTestHelpers.h"
#include "support/CollectingStore.h"
#include "support/FakePcsc.h"

using collectingstore::Binding;
using collectingstore::PersonalStore;

namespace {

const size_t AttachedLimit = ReaderTableSize + 1;
const size_t ReaderNameLimit = 24;
// Cycles with the service up within which a departure must be seen: one to
// give back a dead context, one to take the readers afresh, one where
// pcsc-lite's failed status call leaves the listing to its end. A card that
// waited for its turn to be read is read within the longest retry gap.
const unsigned SeenWithin = 3;
const unsigned ReadWithinBackoff = 64;
const unsigned SettleCycles = 150;
const DWORD HeldByAnother = SCARD_STATE_EXCLUSIVE | SCARD_STATE_INUSE;
const LONG DeadContextErrors[] = {SCARD_E_SERVICE_STOPPED, SCARD_E_NO_SERVICE, SCARD_E_INVALID_HANDLE,
                                  SCARD_F_COMM_ERROR};

// With VELMO_DAYS_TRACE set, the day is told step by step on stderr, with
// what the program handed the store, and what the model and the program
// hold when a promise breaks. A cycle is told only when the program does
// something in it, or when it is a step of its own.
bool tracing;
char cycleLine[64];
struct Day;
const Day *tracedDay;
void dumpDay();

void flushCycleLine()
{
    if (cycleLine[0] != '\0')
        fprintf(stderr, "%s\n", cycleLine);
    cycleLine[0] = '\0';
}

void trace(const char *format, ...)
{
    if (!tracing)
        return;
    flushCycleLine();
    va_list arguments;
    va_start(arguments, format);
    vfprintf(stderr, format, arguments);
    va_end(arguments);
    fputc('\n', stderr);
}

void require(bool condition, const char *promise)
{
    if (condition)
        return;
    if (tracing && tracedDay)
        dumpDay();
    fprintf(stderr, "broken promise: %s\n", promise);
    abort();
}

// ------------------------------------------------------------ the cards

struct PoolCard {
    CardImage image;
    std::string serial;
    bool family;
    PersonalStore rows; // what a clean insertion of it leaves in "MY"
    size_t boundRows;
};

void resetWorld()
{
    clearReaderTable();
    fakepcsc::reset();
    collectingstore::reset();
    pcscContext = 0;
}

void endProgram()
{
    const SCARDCONTEXT context = takePcscContext();
    if (context)
        SCardReleaseContext(context);
    require(fakepcsc::contextsNotReleased() == 0, "every context is given back");
    clearReaderTable();
}

PoolCard poolCard(uint8_t number, CardFamily family, size_t certificates, bool foreign = false)
{
    Bytes serial = {(uint8_t)(family == FamilyAtr20 ? 0x20 : 0x21), number, 0x5A, 0xA5, 0x3C, 0xC3};
    if (family == FamilyAtr20)
        serial.push_back(0x7E);
    CardDescription description = demoCard(family, serial);
    description.certificates.resize(certificates);
    for (size_t i = 0; i < certificates && i < 2; i++) // the CA certificate is on every card
        description.certificates[i].der = variantOf(description.certificates[i].der, 100 * number + i);
    PoolCard card = {buildCard(description), "", !foreign, PersonalStore(), 0};
    char digits[3];
    for (uint8_t octet : serial) {
        snprintf(digits, sizeof digits, "%02X", octet);
        card.serial += digits;
    }
    if (foreign)
        card.image.atr = Bytes{0x3B, 0x02, 0x14, 0x50};
    // "MY" after the card alone was put into a reader and read.
    resetWorld();
    fakepcsc::insertCard(fakepcsc::addReader("Clean Reader"), card.image);
    pollReaders();
    card.rows = collectingstore::personalStore();
    endProgram();
    for (const auto &row : card.rows)
        card.boundRows += !row.second.containerName.empty();
    require(card.rows.size() == (foreign ? 0 : certificates),
            "a clean insertion registers every certificate");
    return card;
}

const std::vector<PoolCard> &pool()
{
    static const std::vector<PoolCard> cards = {
        poolCard(1, FamilyAtr21, 3), poolCard(2, FamilyAtr20, 3), poolCard(3, FamilyAtr21, 3),
        poolCard(4, FamilyAtr20, 2), poolCard(5, FamilyAtr21, 2), poolCard(6, FamilyAtr20, 0),
        poolCard(7, FamilyAtr21, 3, true),
    };
    return cards;
}

// What was in "MY" before, and belongs to nobody.
const PersonalStore &rowsBefore()
{
    static const PersonalStore rows = {{variantOf(caCertificate(), 900), Binding{"Other-Container", 0x2000}},
                                       {variantOf(caCertificate(), 901), Binding{"", 0}}};
    return rows;
}

// Cards are named A, B, ... in the trace, by their place in the pool.
char cardName(int card)
{
    return card < 0 ? '-' : (char)('A' + card);
}

// The test certificates differ in their last octets (variantOf): those and
// the length name a certificate here, so that the model compares no DER.
uint64_t certificateKey(const Bytes &der)
{
    uint64_t key = der.size();
    for (size_t i = der.size() >= 4 ? der.size() - 4 : 0; i < der.size(); i++)
        key = key << 8 | der[i];
    return key;
}

// Every certificate the model knows: its card (-1: in "MY" before the day)
// and its binding.
struct KnownCertificate {
    int owner;
    Binding binding;
};

const std::map<uint64_t, KnownCertificate> &knownCertificates()
{
    static std::map<uint64_t, KnownCertificate> certificates;
    if (!certificates.empty())
        return certificates;
    for (const auto &row : rowsBefore())
        certificates[certificateKey(row.first)] = KnownCertificate{-1, row.second};
    for (size_t c = 0; c < pool().size(); c++) {
        for (const auto &row : pool()[c].rows) {
            const uint64_t key = certificateKey(row.first);
            require(!certificates.count(key) || row.second.containerName.empty(),
                    "the model tells the test certificates apart");
            certificates[key] = KnownCertificate{(int)c, row.second};
        }
    }
    return certificates;
}

const KnownCertificate *known(const Bytes &der)
{
    const auto found = knownCertificates().find(certificateKey(der));
    return found == knownCertificates().end() ? NULL : &found->second;
}

// ------------------------------------------------------------ the day

struct DayReader {
    size_t index; // on the PC/SC double
    bool attached;
    int card; // -1: empty
    bool held; // by another program, for itself
    // What the last poll that saw the readers met in it, and whether it was
    // unplugged since.
    DWORD polledState;
    bool goneSincePoll;
};

struct DayCard {
    int reader = -1;
    bool mute = false; // stops answering at some command while it stays in
    bool incomplete = false; // its registration may lack certificates
    bool partial = false; // some of its certificates may be in "MY" without the others
    // Put back where it left before a poll saw it go: if the counts restart
    // before the next poll, the program never learns it left.
    bool backUnpolled = false;
    unsigned stay = 0; // counts its departures
    unsigned registeredStay = ~0u;
    int registeredIn = -1; // the reader of its slot
    // Where it left last, and the cycles with the service up since. While
    // `waits`, the program cannot tell it from the card now in that reader
    // (a swap while asleep, or a departure before every reader was taken
    // afresh): its certificates stay until that card can be read, or the
    // reader reports an event.
    int from = -1;
    unsigned upCycles = 0;
    unsigned seenWithin = SeenWithin;
    bool waits = false;
    // Its departure is told only by reading the card now in that reader: if
    // another program takes that card before it is read, it waits again.
    bool toldByRead = false;
    // The first reader it left since the last cycle that saw the readers,
    // and whether its registration there may lack certificates: back there
    // before a cycle sees the readers, it is the same card to the program,
    // wherever it went meanwhile.
    int leftUnseen = -1;
    bool leftIncomplete = false;
    // It waits on a reader back unseen, whose slot checks nothing: only a
    // card event in that reader, a resume or a new context tells.
    bool waitsForEvent = false;
};

struct Day {
    std::vector<DayReader> readers;
    std::vector<DayCard> cards;
    size_t removalsSeen = 0;
    size_t certificatesSeen = 0;
    std::set<SCARDHANDLE> failedCards;
    bool afresh = false; // the next cycle with the service up takes every reader afresh
    unsigned quietCycles = 0;
    unsigned cycles = 0;
    // Cycles in a row without a live context; from the fifth every card
    // counts as removed.
    unsigned cyclesWithoutService = 0;
};

const unsigned ServiceAwayCycles = 5;

bool inReader(const Day &day, const DayCard &card)
{
    return card.reader >= 0 && day.readers[card.reader].attached;
}

size_t attachedReaders(const Day &day)
{
    size_t count = 0;
    for (const DayReader &reader : day.readers)
        count += reader.attached;
    return count;
}

// Whether the program can tell the card in its reader from another: it can
// read its serial, or its answer to reset is not of the families.
bool tellable(const Day &day, int card)
{
    return !pool()[card].family || (!day.cards[card].mute && !day.readers[day.cards[card].reader].held);
}

bool mayHoldRows(const Day &day, int card)
{
    const DayCard &c = day.cards[card];
    return inReader(day, c) || (c.from >= 0 && (c.waits || c.upCycles < c.seenWithin));
}

// A card that left one reader unseen and whose certificates stay until
// that reader's card can be read, or is read: where it goes next does not
// change that.
bool waitsOnAnother(const DayCard &card, size_t reader)
{
    const bool readDue = card.toldByRead && card.upCycles < card.seenWithin;
    return (card.waits || readDue) && card.from >= 0 && card.from != (int)reader;
}

void depart(DayCard &card, int reader, bool waits, unsigned within = SeenWithin, bool byRead = false)
{
    card.toldByRead = byRead;
    card.from = reader;
    card.waits = waits;
    card.upCycles = 0;
    card.seenWithin = within;
    card.waitsForEvent = false;
}

void noteLeft(DayCard &card, size_t reader)
{
    if (card.leftUnseen >= 0)
        return;
    card.leftUnseen = (int)reader;
    card.leftIncomplete = card.incomplete;
}

// The reader reports an event, or its card can now be read: the cards
// that wait on it are due to go.
void readerTells(Day &day, size_t reader, unsigned within = SeenWithin, bool cardEvent = true)
{
    for (DayCard &card : day.cards)
        if (card.from == (int)reader && card.waits && (cardEvent || !card.waitsForEvent))
            depart(card, (int)reader, false, within, !cardEvent);
}

// Every slot is checked afresh: what waited for an event waits for a check.
void checkEverySlot(Day &day)
{
    for (DayCard &card : day.cards)
        card.waitsForEvent = false;
}

// Taken afresh, the reader of a slot that holds a card the program cannot
// tell from the slot's keeps the certificates of the slot's card.
void takeAfresh(Day &day)
{
    for (DayCard &card : day.cards) {
        if (card.from < 0 || card.waits || card.upCycles >= card.seenWithin || card.registeredIn < 0)
            continue;
        const DayReader &in = day.readers[card.registeredIn];
        if (in.attached && in.card >= 0 && !tellable(day, in.card))
            depart(card, card.registeredIn, true);
    }
    day.afresh = false;
}

// A reader unplugged and plugged back between two polls starts its event
// count afresh: if it shows the presence the last poll met and a count at
// most one further (which a card seen present before its insertion was
// counted shows too; other flags are no card event), nothing tells the
// program it was gone. The cards that left it since keep their
// certificates until the reader reports an event, and the card in it now
// may wait as long. So does a card that left it since and went elsewhere,
// unless it sits in another reader where it can be read: nothing tells the
// program that the card it names there is gone.
bool returnsUnseen(const DayReader &r)
{
    const DWORD now = fakepcsc::readerStateOf(r.index);
    return r.goneSincePoll && r.attached && (now & SCARD_STATE_PRESENT) == (r.polledState & SCARD_STATE_PRESENT) &&
           (((now >> 16) - (r.polledState >> 16)) & 0xFFFF) < 2;
}

void hideUnseenReturns(Day &day, bool untilEvent)
{
    for (size_t reader = 0; reader < day.readers.size(); reader++) {
        const DayReader &r = day.readers[reader];
        if (!returnsUnseen(r))
            continue;
        for (size_t c = 0; c < day.cards.size(); c++) {
            DayCard &card = day.cards[c];
            if (card.leftUnseen == (int)reader && card.reader != (int)reader &&
                !(inReader(day, card) && tellable(day, (int)c)))
                depart(card, (int)reader, true);
            const bool hidden = card.from == (int)reader && card.upCycles == 0;
            card.waits |= hidden;
            card.waitsForEvent |= hidden && untilEvent;
        }
        if (r.card >= 0)
            day.cards[r.card].incomplete = true;
    }
}

void notePolledReaders(Day &day)
{
    for (DayReader &r : day.readers) {
        r.polledState = r.attached ? fakepcsc::readerStateOf(r.index) : 0;
        r.goneSincePoll = false;
    }
    for (DayCard &card : day.cards)
        card.leftUnseen = -1;
}

// --------------------------------------------------------- the checks

void checkCommands(Day &day)
{
    for (const fakepcsc::CommandRecord &record : fakepcsc::commandLog()) {
        require(!day.failedCards.count(record.card), "no command to a card after its first failure");
        if (record.result != SCARD_S_SUCCESS)
            day.failedCards.insert(record.card);
    }
    fakepcsc::clearCommandLog();
}

// A removal by a card's serial comes only after the card left since it was
// registered, or is made good in the same cycle (two slots named the card
// after a sleep, and the one that checked first held another); a
// registration only while the card is in a reader.
void checkStoreCalls(Day &day)
{
    const std::vector<std::string> &removed = collectingstore::removedSerials();
    std::set<int> removedInReader;
    for (; day.removalsSeen < removed.size(); day.removalsSeen++) {
        int card = -1;
        for (size_t c = 0; c < pool().size(); c++)
            if (pool()[c].serial == removed[day.removalsSeen])
                card = (int)c;
        require(card >= 0, "a removal names the serial of a card");
        trace("    removes the certificates of card %c", cardName(card));
        // A card that stopped answering, or that another program holds,
        // cannot show it is still the card its registration names: when
        // another slot naming it is released, its certificates may go while
        // it stays, until it can be read again.
        const DayCard &c = day.cards[card];
        if (c.registeredStay == c.stay && c.reader >= 0 && tellable(day, card) &&
            day.cyclesWithoutService < ServiceAwayCycles)
            removedInReader.insert(card);
    }
    const auto &handedOut = collectingstore::certificates();
    for (; day.certificatesSeen < handedOut.size(); day.certificatesSeen++) {
        const KnownCertificate *certificate = known(handedOut[day.certificatesSeen].der);
        if (!certificate || certificate->owner < 0 || certificate->binding.containerName.empty())
            continue;
        DayCard &card = day.cards[certificate->owner];
        trace("    adds a certificate of card %c, in reader %d", cardName(certificate->owner), card.reader);
        require(inReader(day, card), "only a card in a reader is registered");
        card.registeredStay = card.stay;
        card.registeredIn = card.reader;
        removedInReader.erase(certificate->owner);
    }
    require(removedInReader.empty(),
            "a card's certificates are removed only after it left, or registered again at once");
}

// "MY" row by row: what was there before stays as it was; every other
// certificate is a card's, bound as the card says, and a bound one only of
// a card that may still hold it. Answers the bound rows of each card.
std::vector<size_t> checkPersonalStore(Day &day)
{
    std::vector<size_t> boundRows(pool().size(), 0);
    size_t before = 0;
    for (const auto &row : collectingstore::personalStore()) {
        const KnownCertificate *certificate = known(row.first);
        require(certificate != NULL, "MY holds only certificates of the cards and what was there before");
        require(certificate->binding == row.second,
                "each certificate stays bound as it was or as the card says");
        if (certificate->owner < 0) {
            before++;
        } else if (!row.second.containerName.empty()) {
            // A certificate without a key on the card is not bound and
            // stays, as the store keeps it: it reaches no key.
            require(mayHoldRows(day, certificate->owner), "nothing of a card that left");
            boundRows[certificate->owner]++;
        }
    }
    require(before == rowsBefore().size(), "what was in MY before stays");
    for (size_t c = 0; c < pool().size(); c++) {
        DayCard &card = day.cards[c];
        card.partial = card.incomplete || (card.partial && boundRows[c] > 0);
        require(card.partial || boundRows[c] == 0 || boundRows[c] == pool()[c].boundRows,
                "a card's certificates are all there or none");
    }
    return boundRows;
}

// After a quiet stretch: every card in a watched reader that can be read
// is registered, and only the slots of cards in readers, or of cards that
// wait on a reader, hold anything.
void checkSettled(Day &day)
{
    const std::vector<size_t> boundRows = checkPersonalStore(day);
    const size_t attached = attachedReaders(day);
    const size_t unwatched = attached > ReaderTableSize ? attached - ReaderTableSize : 0;
    size_t missing = 0;
    size_t slotHolders = 0;
    for (size_t c = 0; c < pool().size(); c++) {
        const DayCard &card = day.cards[c];
        if (!pool()[c].family)
            continue;
        if (!inReader(day, card)) {
            slotHolders += card.waits && card.from >= 0;
            continue;
        }
        slotHolders++;
        const bool readable = !card.incomplete && !day.readers[card.reader].held;
        missing += readable && pool()[c].boundRows && boundRows[c] == 0;
    }
    require(missing <= unwatched, "every card that can be read in a watched reader is registered");
    size_t slots = 0;
    for (uint32_t i = 0; i < readerTable.count; i++)
        slots += heldSerial(i) != NULL;
    require(slots <= slotHolders, "only the slots of cards in readers, or waiting on one, are taken");
}

void poll(Day &day, bool told = false)
{
    const bool up = fakepcsc::serviceRunning();
    // A cycle that finds its context dead only gives it back: the readers
    // are taken afresh in the next one, on a new context.
    const bool seesReaders = up && fakepcsc::contextsNotReleased() == fakepcsc::liveContexts();
    const bool afresh = seesReaders && day.afresh;
    if (afresh)
        takeAfresh(day);
    if (seesReaders)
        hideUnseenReturns(day, !afresh);
    const unsigned established = fakepcsc::counters().establish;
    snprintf(cycleLine, sizeof cycleLine, "  cycle %u, service %s%s", ++day.cycles, up ? "up" : "down",
             afresh ? ", readers taken afresh" : "");
    pollReaders();
    day.cyclesWithoutService = seesReaders ? 0 : std::min(day.cyclesWithoutService + 1, ServiceAwayCycles);
    if (seesReaders)
        notePolledReaders(day);
    require(fakepcsc::counters().establish - established <= 1, "at most one context establishment a cycle");
    require(fakepcsc::contextsNotReleased() <= (up ? 1u : 0u), "one context at most, a dead one given back");
    require(fakepcsc::openConnections() == 0 && fakepcsc::openTransactions() == 0,
            "no card left connected after a cycle");
    checkCommands(day);
    checkStoreCalls(day);
    if (!up)
        day.quietCycles = 0;
    for (DayCard &card : day.cards) {
        card.upCycles += up && card.from >= 0;
        card.backUnpolled = false;
    }
    if (++day.quietCycles == SettleCycles)
        checkSettled(day);
    else
        checkPersonalStore(day);
    if (told)
        flushCycleLine();
    cycleLine[0] = '\0';
}

// ------------------------------------------------------------ the steps

struct Steps {
    const uint8_t *data;
    size_t size;
    size_t at;
    bool more() const { return at < size; }
    uint8_t next() { return at < size ? data[at++] : 0; }
};

// The counts restart with the service: a card put back where it left before
// a poll saw it go is the same card to the program, as it was.
void serviceStopped(Day &day)
{
    for (DayCard &card : day.cards) {
        card.upCycles = 0;
        card.incomplete |= card.backUnpolled;
    }
    checkEverySlot(day);
    day.afresh = true;
}

void leave(Day &day, size_t reader)
{
    DayReader &r = day.readers[reader];
    readerTells(day, reader);
    if (r.card < 0)
        return;
    noteLeft(day.cards[r.card], reader);
    if (!waitsOnAnother(day.cards[r.card], reader))
        depart(day.cards[r.card], (int)reader, false);
    day.cards[r.card].stay++;
    r.held = false;
    fakepcsc::setReaderFlags(r.index, 0);
}

void plugIn(Day &day, uint8_t choice)
{
    std::vector<size_t> detached;
    for (size_t r = 0; r < day.readers.size(); r++)
        if (!day.readers[r].attached)
            detached.push_back(r);
    if (attachedReaders(day) >= AttachedLimit) {
        return;
    } else if ((choice & 0x80 || detached.empty()) && day.readers.size() < ReaderNameLimit) {
        trace("plug in reader %zu, new", day.readers.size());
        const size_t index = fakepcsc::addReader("Reader " + std::to_string(day.readers.size()));
        day.readers.push_back(DayReader{index, true, -1, false, 0, false});
    } else if (!detached.empty()) {
        DayReader &reader = day.readers[detached[choice % detached.size()]];
        trace("plug reader %zu back in, card %c in it", detached[choice % detached.size()], cardName(reader.card));
        reader.attached = true;
        fakepcsc::attachReader(reader.index);
    }
}

void unplug(Day &day, size_t reader)
{
    if (!day.readers[reader].attached)
        return;
    trace("unplug reader %zu, card %c in it", reader, cardName(day.readers[reader].card));
    leave(day, reader);
    day.readers[reader].attached = false;
    day.readers[reader].goneSincePoll = true;
    const bool up = fakepcsc::serviceRunning();
    fakepcsc::detachReader(day.readers[reader].index);
    if (up && !fakepcsc::serviceRunning()) { // the last reader took the service with it
        trace("the service stops with the last reader");
        serviceStopped(day);
    }
}

// The card byte: the card (low nibble, of the pool's), held by another
// program (bit 4), stops answering (bit 5) after as many commands as the
// next byte says. Answers the card, or -1 when it is in another reader.
int placeCard(Day &day, size_t reader, uint8_t choice, Steps &steps, bool unseen)
{
    const int card = (choice & 0x0F) % (int)pool().size();
    const bool mute = (choice & 0x20) != 0;
    const unsigned answers = mute ? steps.next() % 64 : 0;
    DayCard &c = day.cards[card];
    if (c.reader >= 0)
        return -1;
    DayReader &r = day.readers[reader];
    char muteAfter[32] = "";
    if (mute)
        snprintf(muteAfter, sizeof muteAfter, ", mute after %u commands", answers);
    trace("%s card %c into reader %zu%s%s%s", unseen ? "  swap in unseen" : "put", cardName(card), reader,
          r.attached ? "" : " (unplugged)", choice & 0x10 ? ", held by another program" : "", muteAfter);
    if (unseen)
        fakepcsc::swapCardUnseen(r.index, pool()[card].image);
    else
        fakepcsc::insertCard(r.index, pool()[card].image);
    if (mute)
        fakepcsc::stopAnsweringAfter(r.index, answers);
    r.held = (choice & 0x10) != 0;
    fakepcsc::setReaderFlags(r.index, r.held ? HeldByAnother : 0);
    r.card = card;
    // Back where it left, unseen or before every reader is taken afresh,
    // it is the same card to the program, and its registration as it was.
    const bool back = c.from == (int)reader || c.leftUnseen == (int)reader;
    const bool leftIncomplete = c.leftUnseen == (int)reader ? c.leftIncomplete : c.incomplete;
    c.backUnpolled = !mute && back && c.upCycles == 0 && leftIncomplete;
    c.incomplete = mute || ((unseen || day.afresh) && back && leftIncomplete);
    c.reader = (int)reader;
    c.mute = mute;
    // In an unplugged reader, its departure is still to be seen; and one
    // that waits on another reader's check still waits on it.
    if (r.attached && !waitsOnAnother(c, reader))
        c.from = -1;
    return card;
}

void insert(Day &day, size_t reader, uint8_t cardChoice, Steps &steps)
{
    if (day.readers[reader].card >= 0) {
        if (cardChoice & 0x20)
            steps.next();
    } else if (placeCard(day, reader, cardChoice, steps, false) >= 0) {
        readerTells(day, reader);
    }
}

void takeOut(Day &day, size_t reader)
{
    DayReader &r = day.readers[reader];
    if (r.card < 0)
        return;
    trace("take card %c out of reader %zu%s", cardName(r.card), reader, r.attached ? "" : " (unplugged)");
    if (r.attached)
        leave(day, reader);
    else
        readerTells(day, reader);
    day.cards[r.card].reader = -1;
    r.card = -1;
    r.held = false;
    fakepcsc::setReaderFlags(r.index, 0);
    fakepcsc::removeCard(r.index);
}

// Another program takes the card for itself, or lets it go.
void toggleHeld(Day &day, size_t reader)
{
    DayReader &r = day.readers[reader];
    if (r.card < 0)
        return;
    r.held = !r.held;
    trace("another program %s card %c in reader %zu", r.held ? "holds" : "lets go", cardName(r.card), reader);
    fakepcsc::setReaderFlags(r.index, r.held ? HeldByAnother : 0);
    if (tellable(day, r.card)) {
        readerTells(day, reader, ReadWithinBackoff, false);
        return;
    }
    // Held before it was read: the cards that waited on it wait again.
    for (DayCard &card : day.cards)
        card.waits |= card.from == (int)reader && card.toldByRead && card.upCycles < card.seenWithin;
}

// The machine sleeps; with bit 7, the card in a reader is swapped for
// another that the reader does not count. Then it resumes.
void sleepAndResume(Day &day, uint8_t choice, Steps &steps)
{
    trace("sleep");
    int told = -1;
    if (choice & 0x80) {
        const size_t reader = (choice & 0x7F) % day.readers.size();
        const uint8_t cardChoice = steps.next();
        DayReader &r = day.readers[reader];
        const int previous = r.card;
        if (previous >= 0 && r.attached && day.cards[(cardChoice & 0x0F) % pool().size()].reader < 0) {
            DayCard &old = day.cards[previous];
            trace("  take card %c out of reader %zu unseen", cardName(previous), reader);
            old.reader = -1;
            old.stay++;
            noteLeft(old, reader);
            depart(old, (int)reader, true);
            told = tellable(day, placeCard(day, reader, cardChoice, steps, true)) ? (int)reader : -1;
        } else if (cardChoice & 0x20) {
            steps.next();
        }
    }
    trace("resume");
    requestReaderCheck();
    checkEverySlot(day);
    day.afresh = true;
    // The resume's check reads the card swapped in, unless another program
    // takes it first.
    if (told >= 0)
        readerTells(day, (size_t)told, SeenWithin, false);
}

void step(Day &day, Steps &steps)
{
    const uint8_t kind = steps.next() % 10;
    if (kind == 0) {
        poll(day, tracing);
        return;
    }
    day.quietCycles = 0;
    if (kind == 7) {
        if (!fakepcsc::serviceRunning()) {
            trace("the service starts");
            fakepcsc::startService();
        }
        return;
    }
    const uint8_t choice = steps.next();
    const size_t reader = day.readers.empty() ? 0 : choice % day.readers.size();
    if (kind == 1) {
        trace("%u cycles", choice % 128 + 1);
        for (unsigned cycles = choice % 128 + 1; cycles > 0; cycles--)
            poll(day);
    } else if (kind == 2) {
        plugIn(day, choice);
    } else if (kind == 6) {
        trace("the service stops, 0x%08lX", (unsigned long)DeadContextErrors[choice % 4]);
        fakepcsc::stopService(DeadContextErrors[choice % 4]);
        serviceStopped(day);
    } else if (day.readers.empty()) {
        return;
    } else if (kind == 3) {
        unplug(day, reader);
    } else if (kind == 4) {
        insert(day, reader, steps.next(), steps);
    } else if (kind == 5) {
        takeOut(day, reader);
    } else if (kind == 8) {
        sleepAndResume(day, choice, steps);
    } else {
        toggleHeld(day, reader);
    }
}

void dumpDay()
{
    flushCycleLine();
    const Day &day = *tracedDay;
    for (size_t r = 0; r < day.readers.size(); r++) {
        const DayReader &reader = day.readers[r];
        fprintf(stderr, "model: reader %zu %s, card %c%s, state %08lX, polled %08lX\n", r,
                reader.attached ? "plugged in" : "unplugged", cardName(reader.card), reader.held ? " held" : "",
                (unsigned long)fakepcsc::readerStateOf(reader.index), (unsigned long)reader.polledState);
    }
    for (size_t c = 0; c < day.cards.size(); c++) {
        const DayCard &card = day.cards[c];
        if (card.reader >= 0 || card.from >= 0)
            fprintf(stderr,
                    "model: card %c in reader %d%s%s, left reader %d%s%s, %u cycles up since, seen within %u\n",
                    cardName((int)c), card.reader, card.mute ? " mute" : "", card.incomplete ? " incomplete" : "",
                    card.from, card.waits ? " waiting" : "", card.waitsForEvent ? " for an event" : "",
                    card.upCycles, card.seenWithin);
    }
    for (uint32_t i = 0; i < readerTable.count; i++)
        fprintf(stderr, "program: entry %u %s, slot %s\n", i, readerTable.entries[i].szReader,
                heldSerial(i) ? heldSerial(i) : "free");
    for (size_t c = 0; c < pool().size(); c++)
        fprintf(stderr, "pool: card %c serial %s%s\n", cardName((int)c), pool()[c].serial.c_str(),
                pool()[c].family ? "" : " (foreign)");
}

} // namespace

void fuzzMonitorDays(const uint8_t *data, size_t size)
{
    if (size < 1)
        return;
    knownCertificates(); // the pool is built before the day begins: it runs the monitor too
    tracing = getenv("VELMO_DAYS_TRACE") != NULL;
    Day day;
    tracedDay = &day;
    resetWorld();
    fakepcsc::setPlatform(data[0] & 1 ? fakepcsc::PcscLite : fakepcsc::WindowsPcsc);
    fakepcsc::setServiceFollowsReaders((data[0] & 2) != 0);
    trace("%s, the service %s, %s at log-on", data[0] & 1 ? "pcsc-lite" : "Windows",
          data[0] & 2 ? "follows the readers" : "runs without readers", data[0] & 6 ? "stopped" : "running");
    // Log-on before the service runs; where it follows the readers, it
    // runs only once one is plugged in.
    if (data[0] & 6)
        fakepcsc::stopService(SCARD_E_NO_SERVICE);
    day.cards.assign(pool().size(), DayCard());
    collectingstore::personalStore() = rowsBefore();
    Steps steps = {data, size, 1};
    while (steps.more())
        step(day, steps);
    // The day ends: the service runs, nobody holds a card, and the program
    // has time for every retry; then it ends.
    trace("the day ends: the service runs, nobody holds a card, %u cycles", SettleCycles);
    if (!fakepcsc::serviceRunning())
        fakepcsc::startService();
    for (size_t r = 0; r < day.readers.size(); r++)
        if (day.readers[r].held)
            toggleHeld(day, r);
    day.quietCycles = 0;
    for (unsigned cycle = 0; cycle < SettleCycles; cycle++)
        poll(day);
    endProgram();
    tracedDay = NULL;
    collectingstore::reset();
    fakepcsc::reset();
}
