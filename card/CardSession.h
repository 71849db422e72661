// One connected card held under a PC/SC transaction, with its APDU exchange
// and the reading of its PKCS#15 structures.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "pcsc.h"

// Status words this layer reports for answers a card must never give.
// Both are ISO 7816-4 codes, so callers treat them as any other failure.
enum : uint16_t {
    StatusSuccess = 0x9000,
    StatusEndReached = 0x6282, // 9000 with fewer data bytes than asked
    StatusWrongLength = 0x6700, // more data bytes than asked
};

// derLength's answer for a length that the 4-octet window cannot hold.
const uint32_t DerLengthInvalid = 0xFFFFFFFFu;

// Directory file slots, indexed by the low nibble of the ODF tag.
enum { DirPrivateKeys = 0, DirCertificates = 4, DirectoryFileCount = 9 };

// The two card families, told apart by their answer-to-reset.
enum CardKind : uint8_t { Atr21 = 0, Atr20 = 1 };

const uint32_t CertificateCapacity = 4096;
const uint32_t ContainerNameCapacity = 128;
const uint32_t ChipInfoKept = 18; // the longer of the two families' answers
const uint32_t SerialTextCapacity = 15; // the longer serial text with its NUL
// File identifiers a certificate's path text may name after the master file.
const int FilePathCapacity = 6;
// READ BINARY addresses a file with 16 bits: no read of a card file may end
// beyond this offset.
const uint32_t FileOffsetLimit = 0xFFFF;

// The caller's record of the certificate walk: `cursor` is set to 0 once,
// `dataLength` to the capacity before every call.
struct CardCertificate {
    int32_t cursor;
    uint8_t data[CertificateCapacity];
    uint32_t dataLength;
    char containerName[ContainerNameCapacity];
    uint16_t keyUsage;
};

class CardSession {
public:
    // `family` is the one the card's answer-to-reset gives.
    explicit CardSession(SCARDHANDLE handle, CardKind family = Atr21);
    virtual ~CardSession();

    LONG transmit();
    LONG selectByName(const char *name);
    LONG selectByAid(const uint8_t *aid, uint32_t count);
    LONG selectFile(uint16_t fileId);
    LONG readBinary(uint16_t offset, uint16_t length, uint8_t *destination);
    LONG getChipInfo(uint8_t *destination, uint32_t count);
    // Reads the chip information and writes the card serial into `serial`;
    // true when the card answered it whole.
    bool readSerial();

    bool nextCertificate(CardCertificate &certificate);
    static int parseFilePath(const uint8_t *text, uint32_t length, uint16_t *fileIds);

    // The key lookup behind a certificate's container name. `identifier` is
    // the certificate's iD element (tag, length octet, value); the answer is
    // a malloc'd copy of the matching PrKDF entry's content, or null.
    uint8_t *findPrivateKey(const uint8_t *identifier, uint32_t length, uint32_t &entryLength);
    // Always sets both outputs; `containerName` holds ContainerNameCapacity chars.
    void buildContainerName(const uint8_t *attributes, uint32_t length, char *containerName,
                            uint16_t &keyUsage);

    void readDirectory();
    static uint32_t derLength(int32_t &cursor, const uint8_t *window);
    static const uint8_t *skipTlv(const uint8_t *p, const uint8_t *end);

    // True when the latest operation took place and the card answered 9000.
    bool succeeded() const { return lastResult == SCARD_S_SUCCESS && statusWord == StatusSuccess; }
    // Ends the session's exchanges as if the card had stopped answering
    // with `result`: nothing more is sent, and every operation answers it.
    void stop(LONG result);
    // Master file, then the PKCS#15 application, then one of its files;
    // false at the first step that does not succeed.
    bool selectApplication();
    bool selectApplicationFile(uint16_t fileId);
    // Element by element through the current file: a header window checked
    // against its tag and the enclosing element's end, and a value read
    // whole into a malloc'd buffer that the caller frees.
    bool readElementHeader(uint32_t &offset, uint8_t tag, uint32_t end, uint32_t &length);
    uint8_t *readElementValue(uint32_t offset, uint32_t length);

    CardKind family;
    // The chip serial as text (two upper-case digits an octet), from the
    // first chip information the session read; empty until then.
    char serial[SerialTextCapacity];
    uint16_t directoryFileIds[DirectoryFileCount];
    uint16_t statusWord;
    SCARDHANDLE cardHandle;
    LONG lastResult;
    // The first failure of an exchange (card removed or reset, reader gone,
    // time-out, an answer without a status word), or 0. A card that has
    // stopped answering is sent no further command: every later exchange
    // answers this result at once.
    LONG stoppedResult;
    // The first chip information the session read (the monitor reads it for
    // the card serial), so that later reads are held to the same card.
    uint8_t firstChipInfo[ChipInfoKept];
    uint32_t firstChipInfoLength;
    uint8_t command[256];
    uint8_t answer[256];
    DWORD commandLength;
    DWORD answerLength;

private:
    LONG exchange();
    LONG select(uint8_t p1, const uint8_t *data, uint32_t count);
    void parseObjectDirectory(const uint8_t *odf, uint32_t size);
};
