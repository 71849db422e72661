// The certificate walk: one CDF entry per call, its path text followed to
// the certificate file, the compressed certificate inflated into the
// caller's record.
#include "CardFamily.h"

#include <stdlib.h>

#include <zlib.h>

#include "../events/Events.h"

namespace {

const uint16_t FileHeaderSize = 8;

enum EntryOutcome { EntryCertificate, EntryPassedOver, WalkEnds };

// Reads `length` octets of the current file at `offset` into `destination`,
// or drops them when it is null; false when they lie beyond what READ
// BINARY can address or the card refuses them. An empty value needs no
// command (READ BINARY with Le 00 would ask for 256 octets).
bool readValue(CardSession &session, uint32_t offset, uint32_t length, uint8_t *destination)
{
    if (length > FileOffsetLimit || offset > FileOffsetLimit - length)
        return false;
    if (length == 0)
        return true;
    session.readBinary((uint16_t)offset, (uint16_t)length, destination);
    return session.succeeded();
}

// The index and length values are read, as every element of the entry is,
// but not kept.
bool skipValue(CardSession &session, uint32_t offset, uint32_t length)
{
    return readValue(session, offset, length, NULL);
}

uint32_t le32(const uint8_t *p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

int hexValue(uint8_t c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// typeAttributes [1] and the SEQUENCE inside it: the path text, then the
// index and length elements, which are read but not used.
bool readTypeAttributes(CardSession &session, uint32_t &offset, uint32_t entryEnd,
                        uint16_t *fileIds, int &fileCount)
{
    uint32_t length;
    if (!session.readElementHeader(offset, 0xA1, entryEnd, length))
        return false;
    const uint32_t typeEnd = offset + length;
    if (!session.readElementHeader(offset, 0x30, typeEnd, length))
        return false;
    const uint32_t sequenceEnd = offset + length;
    if (!session.readElementHeader(offset, 0x04, sequenceEnd, length))
        return false;
    uint8_t *text = session.readElementValue(offset, length);
    if (!text)
        return false;
    fileCount = CardSession::parseFilePath(text, length, fileIds);
    free(text);
    if (fileCount < 0)
        return false;
    offset += length;
    if (!session.readElementHeader(offset, 0x02, sequenceEnd, length) ||
        !skipValue(session, offset, length))
        return false;
    offset += length;
    return session.readElementHeader(offset, 0x80, sequenceEnd, length) &&
           skipValue(session, offset, length);
}

// A file that cannot be reached or read yields no certificate and is passed
// over; only a certificate too large for the record or a broken stream ends
// the walk.
EntryOutcome inflateCertificateFile(CardSession &session, const uint16_t *fileIds, int fileCount,
                                    CardCertificate &certificate, uint32_t capacity)
{
    session.selectByName(MasterFileName);
    for (int i = 0; session.succeeded() && i < fileCount; i++)
        session.selectFile(fileIds[i]);
    if (!session.succeeded())
        return EntryPassedOver;
    uint8_t header[FileHeaderSize];
    session.readBinary(0, FileHeaderSize, header);
    if (!session.succeeded())
        return EntryPassedOver;
    const uint32_t inflatedSize = le32(header);
    const uint32_t compressedSize = le32(header + 4);
    if (inflatedSize > capacity) {
        noteCertificateSkipped(SkipTooLarge);
        return WalkEnds;
    }
    // A compressed size that runs past the addressable offsets gets no buffer.
    uint8_t *stream = session.readElementValue(FileHeaderSize, compressedSize);
    if (!stream)
        return EntryPassedOver;
    uLongf produced = inflatedSize;
    const int result = uncompress(certificate.data, &produced, stream, (uLong)compressedSize);
    free(stream);
    if (result != Z_OK) {
        noteCertificateSkipped(SkipDamagedStream);
        return WalkEnds;
    }
    certificate.dataLength = (uint32_t)produced;
    return EntryCertificate;
}

// One CDF entry at `cursor`. The cursor moves past the entry as soon as its
// outer header is known, so a failure inside never makes the walk repeat it.
EntryOutcome readCertificateEntry(CardSession &session, CardCertificate &certificate,
                                  uint32_t capacity)
{
    if (!session.selectApplicationFile(session.directoryFileIds[DirCertificates])) {
        noteCardStopped(certificate.cursor == 0 ? CardStepDirectory : CardStepCertificate,
                        session.lastResult, session.statusWord);
        return WalkEnds;
    }
    if (certificate.cursor < 0 || (uint32_t)certificate.cursor > FileOffsetLimit)
        return WalkEnds;
    uint32_t offset = (uint32_t)certificate.cursor;
    uint32_t length;
    if (!session.readElementHeader(offset, 0x30, FileOffsetLimit, length))
        return WalkEnds;
    const uint32_t entryEnd = offset + length;
    certificate.cursor = (int32_t)entryEnd;
    noteCertificateEntry();
    if (!session.readElementHeader(offset, 0x30, entryEnd, length))
        return WalkEnds;
    offset += length;
    if (!session.readElementHeader(offset, 0x30, entryEnd, length))
        return WalkEnds;
    uint8_t *attributes = session.readElementValue(offset, length);
    if (!attributes)
        return WalkEnds;
    const uint32_t attributesLength = length;
    offset += length;

    uint16_t fileIds[FilePathCapacity];
    int fileCount = 0;
    EntryOutcome outcome = WalkEnds;
    if (readTypeAttributes(session, offset, entryEnd, fileIds, fileCount))
        outcome = inflateCertificateFile(session, fileIds, fileCount, certificate, capacity);
    if (outcome == EntryCertificate) {
        session.buildContainerName(attributes, attributesLength, certificate.containerName,
                                   certificate.keyUsage);
        // A key the card says it lacks leaves the certificate unbound; a key
        // lookup cut short by a card that stopped answering is no answer at
        // all, and a certificate handed out then would stay in the store
        // without its binding after the card has gone.
        if (session.lastResult != SCARD_S_SUCCESS) {
            noteCardStopped(CardStepKeyLookup, session.lastResult, session.statusWord);
            outcome = WalkEnds;
        }
    }
    free(attributes);
    return outcome;
}

} // namespace

// Reads the 4-octet header window at `offset`. The element must carry `tag`
// and lie wholly before `end`, the end of the element enclosing it. On
// success `offset` stands at the element's value.
bool CardSession::readElementHeader(uint32_t &offset, uint8_t tag, uint32_t end, uint32_t &length)
{
    const uint16_t window = 4;
    if (offset > FileOffsetLimit - window)
        return false;
    uint8_t header[window];
    readBinary((uint16_t)offset, window, header);
    if (!succeeded() || header[0] != tag)
        return false;
    int32_t cursor = (int32_t)offset;
    length = derLength(cursor, header);
    const uint32_t value = (uint32_t)cursor;
    if (length == DerLengthInvalid || value > end || length > end - value)
        return false;
    offset = value;
    return true;
}

// A malloc'd copy of `length` octets of the current file, or null: then
// succeeded() tells a refused read from a lack of memory.
uint8_t *CardSession::readElementValue(uint32_t offset, uint32_t length)
{
    if (length > FileOffsetLimit || offset > FileOffsetLimit - length)
        return NULL;
    uint8_t *value = (uint8_t *)malloc(length ? length : 1);
    if (value && !readValue(*this, offset, length, value)) {
        free(value);
        return NULL;
    }
    return value;
}

// Components "\XXXX" stand back to back, component k at character 5k; each
// is the run of hexadecimal digits after its backslash, kept to 16 bits.
// Answers the number of identifiers, or -1 when there are more than fit.
int CardSession::parseFilePath(const uint8_t *text, uint32_t length, uint16_t *fileIds)
{
    int count = 0;
    for (uint32_t at = 0; at < length && text[at] == '\\'; at += 5) {
        if (count == FilePathCapacity)
            return -1;
        uint16_t id = 0;
        for (uint32_t i = at + 1; i < length && hexValue(text[i]) >= 0; i++)
            id = (uint16_t)(id << 4 | hexValue(text[i]));
        fileIds[count++] = id;
    }
    return count;
}

// Entries whose certificate file cannot be reached are passed over here, so
// the caller never sees a true answer without fresh certificate octets; once
// the card has stopped answering, the walk ends instead. The
// cursor grows with every entry and is bounded, so the loop ends.
bool CardSession::nextCertificate(CardCertificate &certificate)
{
    const uint32_t capacity =
        certificate.dataLength < CertificateCapacity ? certificate.dataLength : CertificateCapacity;
    for (;;) {
        const EntryOutcome outcome = readCertificateEntry(*this, certificate, capacity);
        if (stoppedResult != SCARD_S_SUCCESS)
            noteCardStopped(CardStepCertificate, stoppedResult, 0);
        if (outcome != EntryPassedOver || stoppedResult != SCARD_S_SUCCESS)
            return outcome == EntryCertificate;
    }
}
