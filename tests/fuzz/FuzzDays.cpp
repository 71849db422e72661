// The monitor over a user's day: readers plugged in and unplugged, cards
// put in and taken out (of either family, foreign ones, cards that stop
// answering, cards another program holds), the smart-card service stopping
// and starting, resumes from sleep and polling cycles, played on the PC/SC
// double and the collecting store. After every cycle, and once the day has
// settled at its end, what the program left is held to a model kept in
// cards and certificates: "MY" holds the certificates of the cards in the
// readers, bound as a clean insertion of each binds them, and what was
// there before; nothing of a card once its departure could be seen.
#include "FuzzTargets.h"

#include <stdio.h>
#include <stdlib.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "helpers/DemoCards.h"
#include "monitor/Monitor.h"
#include "monitor/MonitorTestHelpers.h"
#include "support/CollectingStore.h"
#include "support/FakePcsc.h"

using collectingstore::Binding;
using collectingstore::PersonalStore;

namespace {

const size_t AttachedLimit = ReaderTableSize + 1; // one reader more than the table holds
const size_t ReaderNameLimit = 24;
// Cycles with the service up within which a card's departure must be seen
// (one to give back a dead context, one to take the readers afresh, one
// more where pcsc-lite's failed status call leaves the listing to its end),
// and within which a card that waited for its turn to be read is read.
const unsigned SeenWithin = 3;
const unsigned ReadWithinBackoff = 64;
const unsigned SettleCycles = 150;
const unsigned StepCycleLimit = 128;
const DWORD HeldByAnother = SCARD_STATE_EXCLUSIVE | SCARD_STATE_INUSE;
const LONG DeadContextErrors[] = {SCARD_E_SERVICE_STOPPED, SCARD_E_NO_SERVICE, SCARD_E_INVALID_HANDLE,
                                  SCARD_F_COMM_ERROR};

void require(bool condition, const char *promise)
{
    if (condition)
        return;
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

std::string hexText(const Bytes &bytes)
{
    std::string text;
    char digits[3];
    for (uint8_t octet : bytes) {
        snprintf(digits, sizeof digits, "%02X", octet);
        text += digits;
    }
    return text;
}

void resetWorld()
{
    clearReaderTable();
    fakepcsc::reset();
    collectingstore::reset();
    currentCard = 0;
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

// "MY" after the card alone was put into a reader and read.
PersonalStore cleanInsertionRows(const CardImage &image)
{
    resetWorld();
    fakepcsc::insertCard(fakepcsc::addReader("Clean Reader"), image);
    for (int cycle = 0; cycle < 3; cycle++)
        pollReaders();
    const PersonalStore rows = collectingstore::personalStore();
    endProgram();
    return rows;
}

PoolCard poolCard(unsigned number, CardFamily family, size_t certificates, bool foreign = false)
{
    Bytes serial = {(uint8_t)(family == FamilyAtr20 ? 0x20 : 0x21), (uint8_t)number, 0x5A, 0xA5, 0x3C, 0xC3};
    if (family == FamilyAtr20)
        serial.push_back(0x7E);
    CardDescription description = demoCard(family, serial);
    description.certificates.resize(certificates);
    for (size_t i = 0; i < certificates && i < 2; i++) // the CA certificate is the same on every card
        description.certificates[i].der = variantOf(description.certificates[i].der, 100 * number + i);
    PoolCard card = {buildCard(description), hexText(serial), !foreign, PersonalStore(), 0};
    if (foreign)
        card.image.atr = Bytes{0x3B, 0x02, 0x14, 0x50};
    card.rows = cleanInsertionRows(card.image);
    for (const auto &row : card.rows)
        card.boundRows += !row.second.containerName.empty();
    require(foreign ? card.rows.empty() : card.rows.size() == certificates,
            "a clean insertion registers every certificate of the card");
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

const std::map<uint64_t, KnownCertificate> &knownCertificates();

const KnownCertificate *known(const Bytes &der)
{
    const auto found = knownCertificates().find(certificateKey(der));
    return found == knownCertificates().end() ? NULL : &found->second;
}

int cardOfSerial(const std::string &serial)
{
    for (size_t c = 0; c < pool().size(); c++)
        if (pool()[c].serial == serial)
            return (int)c;
    return -1;
}

// What was in "MY" before, and belongs to nobody: a certificate bound to
// another container and one without a binding.
const PersonalStore &rowsBefore()
{
    static const PersonalStore rows = {{variantOf(caCertificate(), 900), Binding{"Other-Container", 0x2000}},
                                       {variantOf(caCertificate(), 901), Binding{"", 0}}};
    return rows;
}

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
            // The CA certificate, without a key on any card, is on them all.
            require(!certificates.count(key) || row.second.containerName.empty(),
                    "the model tells the test certificates apart");
            certificates[key] = KnownCertificate{(int)c, row.second};
        }
    }
    return certificates;
}

// ------------------------------------------------------------ the day

struct DayReader {
    size_t index; // on the PC/SC double
    bool attached;
    int card; // -1: empty
    bool held; // by another program, for itself
};

struct DayCard {
    int reader = -1;
    bool mute = false; // stops answering at some command while it stays in
    bool partial = false; // some of its certificates may be in "MY" without the others
    unsigned stay = 0; // counts its departures
    unsigned registeredStay = ~0u; // the stay in which it was last registered
    // A departure the program can see: cycles with the service up since.
    bool departing = false;
    unsigned upCycles = 0;
    unsigned seenWithin = SeenWithin;
    int fromReader = -1;
    // Swapped out unseen while asleep, or gone while every reader was to be
    // taken afresh (a resume, the service back) and another card came in:
    // its certificates may stay until the card now in that reader can be
    // read, or the reader reports an event.
    int unseenFrom = -1;
};

struct Day {
    std::vector<DayReader> readers;
    std::vector<DayCard> cards;
    size_t removalsSeen = 0;
    size_t certificatesSeen = 0;
    std::set<SCARDHANDLE> failedCards;
    bool afresh = false; // the next cycle with the service up takes every reader afresh
};

struct Steps {
    const uint8_t *data;
    size_t size;
    size_t at;
    bool more() const { return at < size; }
    uint8_t next() { return at < size ? data[at++] : 0; }
};

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

// Whether the program can tell the card in a reader from another: it can
// read its serial, or its answer to reset is not of the families.
bool tellable(const Day &day, int card)
{
    return !pool()[card].family || (!day.cards[card].mute && !day.readers[day.cards[card].reader].held);
}

void departSeen(DayCard &card, unsigned within)
{
    card.departing = true;
    card.upCycles = 0;
    card.seenWithin = within;
    card.unseenFrom = -1;
}

// The reader reports an event, or its card can now be read: the cards
// swapped out of it unseen are due to go.
void unseenDue(Day &day, size_t reader, unsigned within)
{
    for (DayCard &card : day.cards)
        if (card.unseenFrom == (int)reader)
            departSeen(card, within);
}

void leave(Day &day, size_t reader)
{
    DayReader &r = day.readers[reader];
    unseenDue(day, reader, SeenWithin);
    if (r.card < 0)
        return;
    departSeen(day.cards[r.card], SeenWithin);
    day.cards[r.card].stay++;
    day.cards[r.card].fromReader = (int)reader;
    r.held = false;
    fakepcsc::setReaderFlags(r.index, 0);
}

bool mayHoldRows(const Day &day, int card)
{
    const DayCard &c = day.cards[card];
    return inReader(day, c) || (c.departing && c.upCycles < c.seenWithin) || c.unseenFrom >= 0;
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

// A removal by a serial comes only after that card left since it was
// registered; a registration only while the card is in a reader.
void checkStoreCalls(Day &day)
{
    const std::vector<std::string> &removed = collectingstore::removedSerials();
    for (; day.removalsSeen < removed.size(); day.removalsSeen++) {
        const int card = cardOfSerial(removed[day.removalsSeen]);
        require(card >= 0, "a removal names the serial of a card");
        require(day.cards[card].registeredStay != day.cards[card].stay,
                "a card's certificates are removed only after it left");
    }
    const auto &handedOut = collectingstore::certificates();
    for (; day.certificatesSeen < handedOut.size(); day.certificatesSeen++) {
        const KnownCertificate *certificate = known(handedOut[day.certificatesSeen].der);
        if (!certificate || certificate->owner < 0 || certificate->binding.containerName.empty())
            continue;
        const int card = certificate->owner;
        require(inReader(day, day.cards[card]), "only a card in a reader is registered");
        day.cards[card].registeredStay = day.cards[card].stay;
    }
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
                "each certificate stays bound as it was, or as the card says");
        if (certificate->owner < 0) {
            before++;
            continue;
        }
        // A certificate without a key on the card is not bound and stays,
        // as the store keeps it: no key of a card that left can be reached.
        if (row.second.containerName.empty())
            continue;
        require(mayHoldRows(day, certificate->owner), "nothing of a card that left");
        boundRows[certificate->owner]++;
    }
    require(before == rowsBefore().size(), "what was in MY before stays");
    for (size_t c = 0; c < pool().size(); c++) {
        DayCard &card = day.cards[c];
        card.partial = card.mute || (card.partial && boundRows[c] > 0);
        if (!card.partial)
            require(boundRows[c] == 0 || boundRows[c] == pool()[c].boundRows,
                    "a card's certificates are all there or none");
    }
    return boundRows;
}

void checkCycle(Day &day, unsigned establishedBefore)
{
    require(fakepcsc::counters().establish - establishedBefore <= 1,
            "at most one context establishment a cycle");
    require(fakepcsc::contextsNotReleased() <= (fakepcsc::serviceRunning() ? 1u : 0u),
            "one context at most, and a dead one given back");
    require(fakepcsc::openConnections() == 0 && fakepcsc::openTransactions() == 0,
            "no card left connected after a cycle");
    checkCommands(day);
    checkStoreCalls(day);
    checkPersonalStore(day);
}

// Taken afresh, a reader that holds a card the program cannot tell from
// the one that left keeps that one's certificates.
void takeAfresh(Day &day)
{
    for (DayCard &card : day.cards) {
        if (!card.departing || card.upCycles >= card.seenWithin || card.fromReader < 0)
            continue;
        const DayReader &from = day.readers[card.fromReader];
        if (from.attached && from.card >= 0 && !tellable(day, from.card)) {
            card.departing = false;
            card.unseenFrom = card.fromReader;
        }
    }
    day.afresh = false;
}

void poll(Day &day)
{
    const bool up = fakepcsc::serviceRunning();
    if (up && day.afresh)
        takeAfresh(day);
    const unsigned established = fakepcsc::counters().establish;
    pollReaders();
    if (up && fakepcsc::serviceRunning())
        for (DayCard &card : day.cards)
            card.upCycles += card.departing;
    checkCycle(day, established);
}

// After the settling cycles: every card that can be read and sits in a
// watched reader is registered, and only the slots of cards in readers
// hold anything.
void checkSettled(Day &day)
{
    const std::vector<size_t> boundRows = checkPersonalStore(day);
    const size_t attached = attachedReaders(day);
    const size_t unwatched = attached > ReaderTableSize ? attached - ReaderTableSize : 0;
    size_t missing = 0;
    size_t familyCardsIn = 0;
    for (size_t c = 0; c < pool().size(); c++) {
        const DayCard &card = day.cards[c];
        if (!inReader(day, card) || !pool()[c].family)
            continue;
        familyCardsIn++;
        if (!card.mute && pool()[c].boundRows && boundRows[c] == 0)
            missing++;
    }
    require(missing <= unwatched, "every card that can be read in a watched reader is registered");
    size_t slots = 0;
    for (uint32_t i = 0; i < readerTable.count; i++)
        slots += readerTable.entries[i].pvUserData != NULL;
    require(slots <= familyCardsIn, "only the slots of cards in readers are taken");
}

// ------------------------------------------------------------ the steps

size_t pickReader(const Day &day, uint8_t choice) { return choice % day.readers.size(); }

void plugIn(Day &day, uint8_t choice)
{
    if (attachedReaders(day) >= AttachedLimit)
        return;
    std::vector<size_t> detached;
    for (size_t r = 0; r < day.readers.size(); r++)
        if (!day.readers[r].attached)
            detached.push_back(r);
    if ((choice & 0x80 || detached.empty()) && day.readers.size() < ReaderNameLimit) {
        const size_t index = fakepcsc::addReader("Reader " + std::to_string(day.readers.size()));
        day.readers.push_back(DayReader{index, true, -1, false});
        return;
    }
    if (detached.empty())
        return;
    DayReader &reader = day.readers[detached[choice % detached.size()]];
    reader.attached = true;
    fakepcsc::attachReader(reader.index);
    if (reader.card >= 0)
        day.cards[reader.card].departing = false;
}

void unplug(Day &day, uint8_t choice)
{
    if (day.readers.empty())
        return;
    const size_t reader = pickReader(day, choice);
    if (!day.readers[reader].attached)
        return;
    leave(day, reader);
    day.readers[reader].attached = false;
    const bool up = fakepcsc::serviceRunning();
    fakepcsc::detachReader(day.readers[reader].index);
    if (up && !fakepcsc::serviceRunning()) { // the last reader took the service with it
        for (DayCard &card : day.cards)
            card.upCycles = 0;
        day.afresh = true;
    }
}

// The card byte: the card (low nibble, of the pool's), held by another
// program (bit 4), stops answering (bit 5) after as many commands as the
// next byte says.
int placeCard(Day &day, size_t reader, uint8_t choice, Steps &steps, bool unseen)
{
    const int card = (choice & 0x0F) % (int)pool().size();
    const unsigned answers = choice & 0x20 ? steps.next() % 64 : 0;
    if (day.cards[card].reader >= 0)
        return -1;
    DayReader &r = day.readers[reader];
    if (unseen)
        fakepcsc::swapCardUnseen(r.index, pool()[card].image);
    else
        fakepcsc::insertCard(r.index, pool()[card].image);
    if (choice & 0x20)
        fakepcsc::stopAnsweringAfter(r.index, answers);
    r.held = (choice & 0x10) != 0;
    fakepcsc::setReaderFlags(r.index, r.held ? HeldByAnother : 0);
    r.card = card;
    DayCard &c = day.cards[card];
    c.reader = (int)reader;
    c.mute = (choice & 0x20) != 0;
    c.departing = false;
    c.unseenFrom = -1;
    return card;
}

void insert(Day &day, uint8_t readerChoice, uint8_t cardChoice, Steps &steps)
{
    if (day.readers.empty() || day.readers[pickReader(day, readerChoice)].card >= 0) {
        if (cardChoice & 0x20)
            steps.next();
        return;
    }
    const size_t reader = pickReader(day, readerChoice);
    if (placeCard(day, reader, cardChoice, steps, false) >= 0)
        unseenDue(day, reader, SeenWithin);
}

void takeOut(Day &day, uint8_t choice)
{
    if (day.readers.empty())
        return;
    const size_t reader = pickReader(day, choice);
    DayReader &r = day.readers[reader];
    if (r.card < 0)
        return;
    if (r.attached)
        leave(day, reader);
    else
        unseenDue(day, reader, SeenWithin);
    day.cards[r.card].reader = -1;
    day.cards[r.card].mute = false;
    r.card = -1;
    r.held = false;
    fakepcsc::setReaderFlags(r.index, 0);
    fakepcsc::removeCard(r.index);
}

void stopService(Day &day, uint8_t choice)
{
    fakepcsc::stopService(DeadContextErrors[choice % 4]);
    for (DayCard &card : day.cards)
        card.upCycles = 0;
    day.afresh = true;
}

// Another program takes the card for itself, or lets it go.
void toggleHeld(Day &day, uint8_t choice)
{
    if (day.readers.empty())
        return;
    const size_t reader = pickReader(day, choice);
    DayReader &r = day.readers[reader];
    if (r.card < 0)
        return;
    r.held = !r.held;
    fakepcsc::setReaderFlags(r.index, r.held ? HeldByAnother : 0);
    if (!r.held && tellable(day, r.card))
        unseenDue(day, reader, ReadWithinBackoff);
}

// The machine sleeps; with bit 7, the card in a reader is swapped for
// another that the reader does not count. Then it resumes.
void sleepAndResume(Day &day, uint8_t choice, Steps &steps)
{
    if (choice & 0x80 && !day.readers.empty()) {
        const size_t reader = pickReader(day, choice & 0x7F);
        const uint8_t cardChoice = steps.next();
        DayReader &r = day.readers[reader];
        const int previous = r.card;
        if (previous >= 0 && r.attached && day.cards[(cardChoice & 0x0F) % pool().size()].reader < 0) {
            DayCard &old = day.cards[previous];
            old.reader = -1;
            old.mute = false;
            old.stay++;
            old.unseenFrom = (int)reader;
            old.fromReader = (int)reader;
            old.departing = false;
            const int card = placeCard(day, reader, cardChoice, steps, true);
            if (tellable(day, card))
                unseenDue(day, reader, SeenWithin);
        } else if (cardChoice & 0x20) {
            steps.next();
        }
    }
    requestReaderCheck();
    day.afresh = true;
}

void startDay(Day &day, uint8_t setup)
{
    resetWorld();
    fakepcsc::setPlatform(setup & 1 ? fakepcsc::PcscLite : fakepcsc::WindowsPcsc);
    fakepcsc::setServiceFollowsReaders((setup & 2) != 0);
    // Log-on before the service runs; where it follows the readers, it
    // runs only once one is plugged in.
    if (setup & 6)
        fakepcsc::stopService(SCARD_E_NO_SERVICE);
    day.cards.assign(pool().size(), DayCard());
    collectingstore::personalStore() = rowsBefore();
}

// The day ends: the service runs, nobody holds a card, and the program
// has time for every retry; then it ends.
void settle(Day &day)
{
    if (!fakepcsc::serviceRunning())
        fakepcsc::startService();
    for (size_t r = 0; r < day.readers.size(); r++)
        if (day.readers[r].held)
            toggleHeld(day, (uint8_t)r);
    for (unsigned cycle = 0; cycle < SettleCycles; cycle++)
        poll(day);
    checkSettled(day);
    endProgram();
}

} // namespace

void fuzzMonitorDays(const uint8_t *data, size_t size)
{
    if (size < 1)
        return;
    knownCertificates(); // the pool is built before the day begins: it runs the monitor too
    Day day;
    startDay(day, data[0]);
    Steps steps = {data, size, 1};
    while (steps.more()) {
        const uint8_t step = steps.next();
        switch (step % 10) {
        case 0:
            poll(day);
            break;
        case 1:
            for (unsigned cycles = steps.next() % StepCycleLimit + 1; cycles > 0; cycles--)
                poll(day);
            break;
        case 2:
            plugIn(day, steps.next());
            break;
        case 3:
            unplug(day, steps.next());
            break;
        case 4: {
            const uint8_t reader = steps.next();
            insert(day, reader, steps.next(), steps);
            break;
        }
        case 5:
            takeOut(day, steps.next());
            break;
        case 6:
            stopService(day, steps.next());
            break;
        case 7:
            if (!fakepcsc::serviceRunning())
                fakepcsc::startService();
            break;
        case 8:
            sleepAndResume(day, steps.next(), steps);
            break;
        default:
            toggleHeld(day, steps.next());
            break;
        }
    }
    settle(day);
    collectingstore::reset();
    fakepcsc::reset();
}
