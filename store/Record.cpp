// The record of the certificates VelmoMon bound to the card's provider: the
// form of its entries here, the registry calls in the short functions at
// the end.
#include "Record.h"

#include <stdlib.h>
#include <string.h>

#include "../events/Events.h"

namespace {

const char HexDigits[] = "0123456789ABCDEF";

int hexValue(char digit)
{
    const char *found = digit ? strchr(HexDigits, digit) : NULL;
    return found ? (int)(found - HexDigits) : -1;
}

bool isSerialText(const char *text, size_t length)
{
    if (length != 12 && length != 14)
        return false;
    for (size_t i = 0; i < length; i++)
        if (hexValue(text[i]) < 0)
            return false;
    return true;
}

bool parseThumbprint(const char *text, DWORD length, uint8_t *thumbprint)
{
    if (length != 2 * ThumbprintSize)
        return false;
    for (size_t i = 0; i < ThumbprintSize; i++) {
        const int high = hexValue(text[2 * i]), low = hexValue(text[2 * i + 1]);
        if (high < 0 || low < 0)
            return false;
        thumbprint[i] = (uint8_t)(high << 4 | low);
    }
    return true;
}

void thumbprintText(const uint8_t *thumbprint, char *text)
{
    for (size_t i = 0; i < ThumbprintSize; i++) {
        text[2 * i] = HexDigits[thumbprint[i] >> 4];
        text[2 * i + 1] = HexDigits[thumbprint[i] & 0x0F];
    }
    text[2 * ThumbprintSize] = '\0';
}

// The length of a text in a buffer of `size` bytes that may lack its NUL.
size_t boundedLength(const char *text, size_t size)
{
    const char *end = (const char *)memchr(text, 0, size);
    return end ? (size_t)(end - text) : size;
}

int compareThumbprints(const void *left, const void *right)
{
    return memcmp(((const RecordedCertificate *)left)->thumbprint,
                  ((const RecordedCertificate *)right)->thumbprint, ThumbprintSize);
}

} // namespace

// The data is the serial, with or without its NUL; nothing may follow it.
bool parseRecordEntry(const char *name, DWORD nameLength, DWORD type, const BYTE *data,
                      DWORD dataLength, RecordedCertificate &entry)
{
    if (type != REG_SZ || !parseThumbprint(name, nameLength, entry.thumbprint))
        return false;
    const char *serial = (const char *)data;
    const size_t length = boundedLength(serial, dataLength);
    if (length + 1 < dataLength || !isSerialText(serial, length))
        return false;
    memcpy(entry.serial, serial, length);
    entry.serial[length] = '\0';
    return true;
}

RecordedCertificate *findRecorded(RecordedCertificate *entries, size_t count, const uint8_t *thumbprint)
{
    if (!entries || count == 0)
        return NULL;
    RecordedCertificate key;
    memcpy(key.thumbprint, thumbprint, ThumbprintSize);
    return (RecordedCertificate *)bsearch(&key, entries, count, sizeof key, compareThumbprints);
}

void recordCertificate(const uint8_t *thumbprint, const char *serial)
{
    const size_t length = boundedLength(serial, RecordedSerialSize);
    if (!isSerialText(serial, length))
        return;
    char name[ThumbprintTextSize];
    thumbprintText(thumbprint, name);
    HKEY key;
    const LONG created = RegCreateKeyExA(HKEY_CURRENT_USER, RecordKey, 0, NULL, REG_OPTION_NON_VOLATILE,
                                         KEY_SET_VALUE, NULL, &key, NULL);
    if (created != ERROR_SUCCESS) {
        reportStoreCallFailed("RegCreateKeyExA", (uint32_t)created);
        return;
    }
    const LONG set = RegSetValueExA(key, name, 0, REG_SZ, (const BYTE *)serial, (DWORD)length + 1);
    if (set != ERROR_SUCCESS)
        reportStoreCallFailed("RegSetValueExA", (uint32_t)set);
    RegCloseKey(key);
}

void forgetCertificate(const uint8_t *thumbprint)
{
    char name[ThumbprintTextSize];
    thumbprintText(thumbprint, name);
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, RecordKey, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS)
        return;
    RegDeleteValueA(key, name);
    RegCloseKey(key);
}

// Reads every value the key holds, each into buffers one character longer
// than an entry can be, so that a longer value is told apart and passed
// over. The entries take less memory than the values in the registry.
bool readRecord(RecordedCertificate **entries, size_t *count)
{
    *entries = NULL;
    *count = 0;
    HKEY key;
    const LONG opened = RegOpenKeyExA(HKEY_CURRENT_USER, RecordKey, 0, KEY_QUERY_VALUE, &key);
    if (opened == ERROR_FILE_NOT_FOUND)
        return true;
    if (opened != ERROR_SUCCESS)
        return false;
    DWORD values = 0;
    if (RegQueryInfoKeyA(key, NULL, NULL, NULL, NULL, NULL, NULL, &values, NULL, NULL, NULL, NULL) !=
        ERROR_SUCCESS) {
        RegCloseKey(key);
        return false;
    }
    RecordedCertificate *list =
        values ? (RecordedCertificate *)calloc(values, sizeof(RecordedCertificate)) : NULL;
    if (values && !list) {
        RegCloseKey(key);
        return false;
    }
    size_t found = 0;
    bool damaged = false;
    for (DWORD index = 0; index < values && !damaged; index++) {
        char name[ThumbprintTextSize + 1];
        DWORD nameLength = sizeof name;
        BYTE data[RecordedSerialSize + 1];
        DWORD dataLength = sizeof data;
        DWORD type = REG_NONE;
        const LONG result = RegEnumValueA(key, index, name, &nameLength, NULL, &type, data, &dataLength);
        if (result == ERROR_NO_MORE_ITEMS)
            break;
        if (result == ERROR_SUCCESS &&
            parseRecordEntry(name, nameLength, type, data, dataLength, list[found]))
            found++;
        else
            damaged = true;
    }
    RegCloseKey(key);
    // A record with anything not of its form is no longer trusted as a
    // whole: it names nothing, so nothing is deleted on its word.
    if (damaged) {
        reportRecordDamaged(values);
        found = 0;
    }
    if (found)
        qsort(list, found, sizeof *list, compareThumbprints);
    *entries = list;
    *count = found;
    return true;
}

void clearRecord()
{
    RegDeleteKeyA(HKEY_CURRENT_USER, RecordKey);
}

void forgetRecorded(const RecordedCertificate *entries, size_t count)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, RecordKey, 0, KEY_SET_VALUE | KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return;
    for (size_t i = 0; i < count; i++) {
        if (entries[i].stays)
            continue;
        char name[ThumbprintTextSize];
        thumbprintText(entries[i].thumbprint, name);
        RegDeleteValueA(key, name);
    }
    DWORD subkeys = 0, values = 0;
    const bool empty = RegQueryInfoKeyA(key, NULL, NULL, NULL, &subkeys, NULL, NULL, &values, NULL, NULL, NULL,
                                        NULL) == ERROR_SUCCESS &&
                       subkeys == 0 && values == 0;
    RegCloseKey(key);
    if (empty)
        clearRecord();
}
