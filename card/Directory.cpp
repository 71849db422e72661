// Locating the PKCS#15 application, reading its object directory (ODF), and
// the two DER helpers that the directory-file readers share.
#include "CardFamily.h"

namespace {

const uint8_t Pkcs15Aid[12] = {0xA0, 0x00, 0x00, 0x00, 0x63, 0x50,
                               0x4B, 0x43, 0x53, 0x2D, 0x31, 0x35};
const uint16_t OdfFileId = 0x5031;
const uint16_t OdfReadSize = 40;

const uint16_t DefaultDirectoryFileIds[DirectoryFileCount] = {
    0x6001, 0x6002, 0x6002, 0xFFFF, 0x6004, 0x6004, 0x6004, 0x6005, 0x6000,
};

} // namespace

bool CardSession::selectApplication()
{
    selectByName(MasterFileName);
    if (!succeeded())
        return false;
    selectByAid(Pkcs15Aid, sizeof Pkcs15Aid);
    return succeeded();
}

bool CardSession::selectApplicationFile(uint16_t fileId)
{
    if (!selectApplication())
        return false;
    selectFile(fileId);
    return succeeded();
}

void CardSession::readDirectory()
{
    for (int i = 0; i < DirectoryFileCount; i++)
        directoryFileIds[i] = DefaultDirectoryFileIds[i];
    if (!selectApplicationFile(OdfFileId))
        return;
    uint8_t odf[OdfReadSize];
    readBinary(0, OdfReadSize, odf);
    if (!succeeded())
        return;
    // A successful read has filled the whole buffer, whatever the pieces.
    parseObjectDirectory(odf, OdfReadSize);
}

// Entries are: tag, short length L, four header bytes, the file identifier
// in bytes 6 and 7. Tags without a slot and entries cut off by the end of
// what was read write nothing.
void CardSession::parseObjectDirectory(const uint8_t *odf, uint32_t size)
{
    uint32_t position = 0;
    while (position < size && odf[position] != 0xFF) {
        const uint8_t tag = odf[position];
        const unsigned slot = tag & 0x0F;
        if ((tag & 0xA0) == 0xA0 && slot < DirectoryFileCount && position + 7 < size)
            directoryFileIds[slot] = (uint16_t)(odf[position + 6] << 8 | odf[position + 7]);
        if (position + 1 >= size)
            return;
        position += odf[position + 1] + 2u;
    }
}

// The window holds 4 bytes: tag, first length byte and two more, enough for
// lengths of up to two octets. A longer form cannot be decoded from it.
uint32_t CardSession::derLength(int32_t &cursor, const uint8_t *window)
{
    const uint8_t first = window[1];
    if (!(first & 0x80)) {
        cursor += 2;
        return first;
    }
    const unsigned octets = first & 0x7F;
    if (octets > 2) {
        cursor += 2;
        return DerLengthInvalid;
    }
    uint32_t length = 0;
    for (unsigned i = 0; i < octets; i++)
        length = length * 256 + window[2 + i];
    cursor += 2 + (int32_t)octets;
    return length;
}

// Steps over the TLV at p, which must lie before end. Answers the address
// just past its value, or null when the TLV does not fit before end.
const uint8_t *CardSession::skipTlv(const uint8_t *p, const uint8_t *end)
{
    if (p >= end || end - p < 2)
        return NULL;
    const size_t available = (size_t)(end - p) - 2;
    const uint8_t first = p[1];
    size_t octets = 0;
    size_t length = first;
    if (first & 0x80) {
        octets = first & 0x7F;
        if (octets > 4 || octets > available)
            return NULL;
        length = 0;
        for (size_t i = 0; i < octets; i++)
            length = length * 256 + p[2 + i];
    }
    if (length > available - octets)
        return NULL;
    return p + 2 + octets + length;
}
