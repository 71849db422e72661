// What VelmoMon keeps of the certificates it bound to the card's provider,
// so that a card that left while VelmoMon could not see it does not leave
// its certificates behind: in the current user's key RecordKey, one text
// value per certificate, named by its SHA-1 thumbprint in 40 upper-case
// hexadecimal digits and holding the card serial.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <windows.h>

const char RecordKey[] = "Software\\Velmo\\VelmoMon\\Certificates";
const size_t ThumbprintSize = 20;
const size_t ThumbprintTextSize = 2 * ThumbprintSize + 1;
// The longest card serial (14 digits) and its NUL.
const size_t RecordedSerialSize = 15;

struct RecordedCertificate {
    uint8_t thumbprint[ThumbprintSize];
    char serial[RecordedSerialSize];
    bool stays; // set by the start-up cleanup: its certificate is still there
};

// A write the registry refuses is told as a failed store call: the
// certificate it names cannot be found by the start-up cleanup.
void recordCertificate(const uint8_t *thumbprint, const char *serial);
void forgetCertificate(const uint8_t *thumbprint);

// Every entry of the record in a heap array sorted by thumbprint, which the
// caller frees; a record holding any value not of the record's form is
// damaged and answers no entries.
// Answers false when the record cannot be read (a missing record is empty).
bool readRecord(RecordedCertificate **entries, size_t *count);
void clearRecord();
// Deletes the values of the entries that do not stay, and then the record
// once it holds nothing more.
void forgetRecorded(const RecordedCertificate *entries, size_t count);

// One value as the registry gives it: true when it is an entry of the
// record, which is then written to `entry`.
bool parseRecordEntry(const char *name, DWORD nameLength, DWORD type, const BYTE *data,
                      DWORD dataLength, RecordedCertificate &entry);
RecordedCertificate *findRecorded(RecordedCertificate *entries, size_t count, const uint8_t *thumbprint);
