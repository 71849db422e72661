// The private key behind a certificate, found by iD in the PrKDF, and the
// key-container name and key-usage word made from it and the chip serial.
#include "CardFamily.h"

#include <stdlib.h>
#include <string.h>

namespace {

// The octets of one key entry that the name is made from. A key entry is
// the content of a PrKDF entry; its elements are commonObjectAttributes,
// CommonKeyAttributes (iD, usage, native, accessFlags, keyReference),
// CommonPrivateKeyAttributes and typeAttributes [1] with the key's path.
struct KeyFields {
    const uint8_t *usage; // the two KeyUsageFlags octets
    uint8_t keyReference;
    const uint8_t *pathText;
    uint32_t pathTextLength;
};

// Steps over `count` elements from p, all of which must end before end.
const uint8_t *skipElements(const uint8_t *p, const uint8_t *end, int count)
{
    for (int i = 0; p && i < count; i++)
        p = CardSession::skipTlv(p, end);
    return p;
}

// Finds the fixed positions of a key entry, each measured against the
// element that holds it. False when the entry is too short for any of them.
bool locateKeyFields(const uint8_t *entry, uint32_t length, KeyFields &fields)
{
    const uint8_t *end = entry + length;
    if (length == 0 || entry[0] != 0x30)
        return false;
    const uint8_t *attributes = skipElements(entry, end, 1);
    const uint8_t *attributesEnd = skipElements(attributes, end, 1);
    const uint8_t *typeAttributes = skipElements(attributesEnd, end, 1);
    const uint8_t *typeEnd = skipElements(typeAttributes, end, 1);
    if (!typeEnd || attributesEnd - attributes < 4 || typeEnd - typeAttributes < 6)
        return false;
    const uint8_t *identifier = attributes + 2;
    const uint8_t *usage = skipElements(identifier, attributesEnd, 1);
    const uint8_t *usageEnd = skipElements(usage, attributesEnd, 1);
    const uint8_t *keyReference = skipElements(usageEnd, attributesEnd, 2);
    const uint8_t *keyReferenceEnd = skipElements(keyReference, attributesEnd, 1);
    if (!keyReferenceEnd || usageEnd - usage < 5 || keyReferenceEnd - keyReference < 3)
        return false;
    // The name takes the path text's first n - 6 characters, n being the
    // path element's length: they must lie inside typeAttributes.
    const uint32_t n = typeAttributes[5];
    if (n > (uint32_t)(typeEnd - typeAttributes))
        return false;
    fields.usage = usage + 3;
    fields.keyReference = keyReference[2];
    fields.pathText = typeAttributes + 6;
    fields.pathTextLength = n > 6 ? n - 6 : 0;
    return true;
}

// The key entry matches when its iD element equals the certificate's, tag
// and length octet included, and its layout is whole. The iD is compared
// first, found by skipping element 0 alone: most entries a scan reads are
// not the key. The identifier has been measured against its own buffer by
// the caller.
bool keyMatches(const uint8_t *entry, uint32_t length, const uint8_t *identifier)
{
    const uint8_t *end = entry + length;
    const uint8_t *attributes = skipElements(entry, end, 1);
    const uint8_t *attributesEnd = skipElements(attributes, end, 1);
    if (!attributesEnd || attributesEnd - attributes < 4)
        return false;
    const uint8_t *key = attributes + 2;
    if (key[0] != identifier[0] || key[1] != identifier[1] || (uint32_t)(attributesEnd - key) - 2 < identifier[1] ||
        memcmp(key + 2, identifier + 2, identifier[1]) != 0)
        return false;
    KeyFields fields;
    return locateKeyFields(entry, length, fields);
}

} // namespace

// Scans the PrKDF from its start, entry by entry, up to the first match.
uint8_t *CardSession::findPrivateKey(const uint8_t *identifier, uint32_t length,
                                     uint32_t &entryLength)
{
    entryLength = 0;
    if (length < 2 || identifier[1] > length - 2)
        return NULL;
    if (!selectApplicationFile(directoryFileIds[DirPrivateKeys]))
        return NULL;
    uint32_t offset = 0;
    uint32_t size;
    while (readElementHeader(offset, 0x30, FileOffsetLimit, size)) {
        uint8_t *entry = readElementValue(offset, size);
        if (!entry && !succeeded())
            return NULL;
        if (entry && keyMatches(entry, size, identifier)) {
            entryLength = size;
            return entry;
        }
        free(entry);
        offset += size;
    }
    return NULL;
}

// Serial, usage octets and key reference as hexadecimal digits, then as
// much of the key's path text as the record leaves room for.
void CardSession::buildContainerName(const uint8_t *attributes, uint32_t length,
                                     char *containerName, uint16_t &keyUsage)
{
    containerName[0] = '\0';
    keyUsage = 0;
    if (length < 2 || attributes[1] == 0)
        return;
    uint32_t entryLength;
    uint8_t *entry = findPrivateKey(attributes, length, entryLength);
    if (!entry)
        return;
    const FamilyLayout &layout = familyLayout(family);
    const uint32_t serialOffset = layout.serialOffset;
    const uint32_t serialLength = layout.serialBytes;
    uint8_t info[ChipInfoKept];
    KeyFields fields;
    getChipInfo(info, layout.answerLength);
    // This program's own rule: a card that now tells another serial than
    // the one it gave at insertion is not the card whose slot holds that
    // serial. A key named after the other serial would outlive the card's
    // removal, which deletes by the slot's serial, so the card is taken as
    // one that stopped answering.
    if (succeeded() && firstChipInfoLength >= serialOffset + serialLength &&
        memcmp(firstChipInfo + serialOffset, info + serialOffset, serialLength) != 0)
        stop(SCARD_E_CARD_UNSUPPORTED);
    if (!succeeded() || !locateKeyFields(entry, entryLength, fields)) {
        free(entry);
        return;
    }
    char *out = containerName;
    for (uint32_t i = 0; i < serialLength; i++)
        out = appendHex(out, info[serialOffset + i]);
    out = appendHex(out, fields.usage[0]);
    out = appendHex(out, fields.usage[1]);
    out = appendHex(out, fields.keyReference);
    char *const last = containerName + ContainerNameCapacity - 1;
    for (uint32_t i = 0; i < fields.pathTextLength && out < last && fields.pathText[i]; i++)
        *out++ = (char)fields.pathText[i];
    *out = '\0';
    keyUsage = (uint16_t)(fields.usage[0] << 8 | fields.usage[1]);
    free(entry);
}
