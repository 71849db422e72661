// The fuzz targets and the promises they hold the card-facing code to.
#include "FuzzTargets.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "FuzzPcsc.h"
#include "card/CardSession.h"
#include "card/CardFamily.h"
#include "monitor/Monitor.h"
#include "monitor/MonitorTestHelpers.h"
#include "support/CollectingStore.h"

namespace {

// At most this many walk calls per card: the walk ends far earlier on any
// script a fuzzer can build, and a runaway walk is a finding.
const unsigned WalkCallLimit = 64;
const uint8_t Success[2] = {0x90, 0x00};
const uint8_t Unwritten = 0xA5;

void require(bool condition, const char *promise)
{
    if (condition)
        return;
    fprintf(stderr, "broken promise: %s\n", promise);
    abort();
}

// A heap copy of exactly the input, so that a read past its end is caught.
std::vector<uint8_t> exactCopy(const uint8_t *data, size_t size)
{
    return std::vector<uint8_t>(data, data + size);
}

SCARDHANDLE connectFuzzCard()
{
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    SCardConnectA(0, fuzzpcsc::ReaderName, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0, &card, &protocol);
    return card;
}

void requireNothingOpen()
{
    require(fuzzpcsc::openTransactions() == 0, "every transaction is ended");
    require(fuzzpcsc::openConnections() == 0, "every connection is closed");
}

bool isUpperHex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

bool hexText(const char *text, size_t length)
{
    for (size_t i = 0; i < length; i++)
        if (!isUpperHex(text[i]))
            return false;
    return true;
}

void requireWholeRecord(const CardCertificate &record)
{
    require(record.dataLength <= CertificateCapacity, "dataLength within the record");
    const void *nameEnd = memchr(record.containerName, '\0', sizeof record.containerName);
    require(nameEnd != NULL, "container name ends inside the record");
    if (record.containerName[0] == '\0')
        require(record.keyUsage == 0, "no key usage without a container name");
}

// A true answer must have written a certificate: the record is filled
// with a pattern before every call, which no inflated certificate of the
// full capacity repeats.
bool untouched(const CardCertificate &record)
{
    if (record.dataLength != CertificateCapacity)
        return false;
    for (uint32_t i = 0; i < CertificateCapacity; i++)
        if (record.data[i] != Unwritten)
            return false;
    return true;
}

void walkCertificates(CardSession &session)
{
    CardCertificate *record = new CardCertificate;
    memset(record, Unwritten, sizeof *record);
    record->cursor = 0;
    for (unsigned calls = 0;; calls++) {
        require(calls < WalkCallLimit, "the certificate walk ends");
        const int32_t before = record->cursor;
        memset(record->data, Unwritten, sizeof record->data);
        record->dataLength = CertificateCapacity;
        const bool found = session.nextCertificate(*record);
        require(record->cursor >= before, "the walk's cursor never moves back");
        if (!found)
            break;
        requireWholeRecord(*record);
        require(!untouched(*record), "a true answer carries fresh certificate octets");
    }
    delete record;
}

// What a session leaves in directoryFileIds when the card answers nothing.
void defaultDirectory(uint16_t *fileIds)
{
    fuzzpcsc::start(NULL, 0);
    const SCARDHANDLE card = connectFuzzCard();
    CardSession *session = new CardSession(card);
    memcpy(fileIds, session->directoryFileIds, sizeof session->directoryFileIds);
    delete session;
    SCardDisconnect(card, SCARD_LEAVE_CARD);
}

// The ODF's entries as the card format lays them out: each starts with a tag
// and a length octet L and takes L + 2 octets; an FF tag or the end of what
// was read closes the list.
std::vector<size_t> odfEntryStarts(const std::vector<uint8_t> &odf)
{
    std::vector<size_t> starts;
    for (size_t at = 0; at < odf.size() && odf[at] != 0xFF;) {
        starts.push_back(at);
        if (at + 1 >= odf.size())
            break;
        at += odf[at + 1] + 2u;
    }
    return starts;
}

// True when an entry whose tag has bits 7 and 5 set and names `slot` in its
// low nibble carries `fileId` in its octets 6 and 7.
bool namedBySlotEntry(const std::vector<uint8_t> &odf, unsigned slot, uint16_t fileId)
{
    for (size_t at : odfEntryStarts(odf)) {
        const uint8_t tag = odf[at];
        if ((tag & 0xA0) != 0xA0 || (tag & 0x0F) != slot || at + 7 >= odf.size())
            continue;
        if ((uint16_t)(odf[at + 6] << 8 | odf[at + 7]) == fileId)
            return true;
    }
    return false;
}

// Path texts and the identifiers they name, worked out by hand.
struct KnownPath {
    const char *text;
    int count; // -1: more components than fit
    uint16_t ids[FilePathCapacity];
};

const KnownPath KnownPaths[] = {
    {"", 0, {}},
    {"C001", 0, {}},
    {"5015\\C001", 0, {}},
    {"\\C001", 1, {0xC001}},
    {"\\5015\\C001", 2, {0x5015, 0xC001}},
    {"\\c0a1\\C0A1", 2, {0xC0A1, 0xC0A1}},
    {"\\7", 1, {0x0007}},
    {"\\", 1, {0x0000}},
    {"\\\\\\", 1, {0x0000}},
    {"\\5015\\", 2, {0x5015, 0x0000}},
    {"\\5015/C001", 1, {0x5015}},
    {"\\50g5\\C001", 2, {0x0050, 0xC001}},
    {"\\123456", 1, {0x3456}},
    {"\\1234\\5678\\9ABC\\DEF0\\0FED\\CBA9", 6, {0x1234, 0x5678, 0x9ABC, 0xDEF0, 0x0FED, 0xCBA9}},
    {"\\0001\\0002\\0003\\0004\\0005\\0006\\", -1, {}},
    {"\\0001\\0002\\0003\\0004\\0005\\0006\\0007", -1, {}},
};

void requireKnownPaths()
{
    for (const KnownPath &known : KnownPaths) {
        uint16_t ids[FilePathCapacity] = {};
        const int count = CardSession::parseFilePath((const uint8_t *)known.text,
                                                     (uint32_t)strlen(known.text), ids);
        require(count == known.count, "a known path text gives its count of identifiers");
        for (int i = 0; i < count; i++)
            require(ids[i] == known.ids[i], "a known path text gives its identifiers");
    }
}

int hexDigit(uint8_t c)
{
    const char *digits = "0123456789abcdef";
    const char *at = strchr(digits, c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c);
    return c && at ? (int)(at - digits) : -1;
}

// The low 16 bits of the hexadecimal number that starts at `at`: its last
// four digits.
uint16_t lastFourDigits(const std::vector<uint8_t> &text, size_t at)
{
    size_t end = at;
    while (end < text.size() && hexDigit(text[end]) >= 0)
        end++;
    uint16_t value = 0;
    for (size_t i = end >= at + 4 ? end - 4 : at; i < end; i++)
        value = (uint16_t)(value * 16 + hexDigit(text[i]));
    return value;
}

void setFuzzAtr(uint8_t choice)
{
    uint8_t atr[SCARD_ATR_LENGTH] = {};
    size_t length = 21;
    if (choice & 2) {
        atr[0] = 0x3B;
        length = 2;
    } else if (choice & 1) {
        memcpy(atr, Atr20Pattern, sizeof Atr20Pattern);
        length = sizeof Atr20Pattern;
    } else {
        memcpy(atr, Atr21Prefix, sizeof Atr21Prefix);
    }
    fuzzpcsc::setAtr(atr, length);
}

size_t serialLength(uint8_t atrChoice) { return atrChoice & 1 ? 14 : 12; }

bool beginsWith(const std::string &text, const std::string &prefix)
{
    return !prefix.empty() && text.compare(0, prefix.size(), prefix) == 0;
}

} // namespace

void fuzzCardReading(const uint8_t *data, size_t size)
{
    if (size < 1)
        return;
    const std::vector<uint8_t> script = exactCopy(data + 1, size - 1);
    fuzzpcsc::start(script.data(), script.size());
    const SCARDHANDLE card = connectFuzzCard();
    CardSession *session = new CardSession(card, data[0] & 1 ? Atr20 : Atr21);
    walkCertificates(*session);
    delete session;
    SCardDisconnect(card, SCARD_LEAVE_CARD);
    requireNothingOpen();
}

void fuzzDerHelpers(const uint8_t *data, size_t size)
{
    const std::vector<uint8_t> buffer = exactCopy(data, size);
    const uint8_t *start = buffer.data();
    const uint8_t *end = start + buffer.size();
    for (size_t i = 0; i + 4 <= buffer.size(); i++) {
        int32_t cursor = (int32_t)i;
        const uint32_t length = CardSession::derLength(cursor, start + i);
        require(cursor >= (int32_t)i + 2 && cursor <= (int32_t)i + 4, "derLength moves 2 to 4");
        require(length == DerLengthInvalid || length <= 0xFFFF, "derLength fits 16 bits");
    }
    for (size_t i = 0; i < buffer.size(); i++) {
        const uint8_t *after = CardSession::skipTlv(start + i, end);
        require(!after || (after >= start + i + 2 && after <= end), "skipTlv stays in the buffer");
    }
    for (const uint8_t *p = start; p && p < end;)
        p = CardSession::skipTlv(p, end);
}

void fuzzObjectDirectory(const uint8_t *data, size_t size)
{
    static uint16_t defaults[DirectoryFileCount];
    static bool defaultsKnown = false;
    if (!defaultsKnown) {
        defaultDirectory(defaults);
        defaultsKnown = true;
    }
    const size_t odfSize = size < 40 ? size : 40;
    const std::vector<uint8_t> odf = exactCopy(data, odfSize);
    std::vector<uint8_t> script;
    for (int i = 0; i < 3; i++)
        fuzzpcsc::appendAnswer(script, Success, sizeof Success);
    std::vector<uint8_t> answer = odf;
    answer.insert(answer.end(), Success, Success + sizeof Success);
    fuzzpcsc::appendAnswer(script, answer.data(), answer.size());

    fuzzpcsc::start(script.data(), script.size());
    const SCARDHANDLE card = connectFuzzCard();
    CardSession *session = new CardSession(card);
    for (int i = 0; i < DirectoryFileCount; i++)
        require(session->directoryFileIds[i] == defaults[i] ||
                    namedBySlotEntry(odf, (unsigned)i, session->directoryFileIds[i]),
                "a directory file identifier is a default or comes from an entry naming its slot");
    delete session;
    SCardDisconnect(card, SCARD_LEAVE_CARD);
    requireNothingOpen();
}

void fuzzFilePath(const uint8_t *data, size_t size)
{
    static bool knownPathsChecked = false;
    if (!knownPathsChecked) {
        requireKnownPaths();
        knownPathsChecked = true;
    }
    const std::vector<uint8_t> text = exactCopy(data, size);
    uint16_t *fileIds = new uint16_t[FilePathCapacity];
    const int count = CardSession::parseFilePath(text.data(), (uint32_t)text.size(), fileIds);
    // Components are a backslash and hexadecimal digits, one every five characters
    // from the first: the count is how many such backslashes lead the text.
    std::string backslashes;
    for (size_t at = 0; at < text.size(); at += 5)
        backslashes += text[at] == '\\' ? '\\' : '.';
    const size_t leading = backslashes.find('.') == std::string::npos ? backslashes.size()
                                                                       : backslashes.find('.');
    require(count == (leading > (size_t)FilePathCapacity ? -1 : (int)leading),
            "one identifier per leading backslash at every fifth character, at most six");
    for (int i = 0; i < count; i++)
        require(fileIds[i] == lastFourDigits(text, (size_t)i * 5 + 1),
                "each identifier is the last four digits of the run after its backslash");
    delete[] fileIds;
}

void fuzzInsertion(const uint8_t *data, size_t size)
{
    if (size < 1)
        return;
    const std::vector<uint8_t> script = exactCopy(data + 1, size - 1);
    fuzzpcsc::start(script.data(), script.size());
    setFuzzAtr(data[0]);
    collectingstore::reset();
    clearReaderTable();
    SCardEstablishContext(SCARD_SCOPE_USER, NULL, NULL, &pcscContext);
    static const char readers[] = "Fuzz Reader 0\0";
    fillReaderTable(readers);

    pollReaders();
    const char *slot = heldSerial(0);
    std::string serial = slot ? slot : "";
    require(serial.empty() || (serial.size() == serialLength(data[0]) &&
                               hexText(serial.data(), serial.size())),
            "the serial text is empty or the family's count of hexadecimal digits");
    require(!collectingstore::walkOverran(), "the certificate walk ends");
    // The removal deletes by the slot's serial, so every name begins with
    // it, also on a card that tells another serial later.
    for (const collectingstore::CollectedCertificate &certificate : collectingstore::certificates()) {
        require(!certificate.malformed, "whole certificate records");
        const std::string &name = certificate.containerName;
        if (name.empty())
            continue;
        require(beginsWith(name, serial), "a container name begins with the slot's serial");
        require(name.size() >= serialLength(data[0]) + 6 && hexText(name.data(), serialLength(data[0]) + 6),
                "the serial is followed by usage and key reference digits");
    }
    requireNothingOpen();

    fuzzpcsc::pullCard();
    pollReaders();
    const std::vector<std::string> &removed = collectingstore::removedSerials();
    require(heldSerial(0) == NULL, "the removal frees the slot");
    require(serial.empty() ? removed.empty() : removed.size() == 1 && removed[0] == serial,
            "the removal hands over the serial that was read, and only that");
    clearReaderTable();
    collectingstore::reset();
}
