// The session's APDU exchange: T=0 transmission with GET RESPONSE, SELECT,
// READ BINARY in pieces and the card family's chip-information command.
#include "CardSession.h"

#include "CardFamily.h"

#include <string.h>

namespace {

const DWORD AnswerCapacity = 256;
const uint16_t ReadPieceSize = 128;

uint16_t statusOf(const uint8_t *answer, DWORD length)
{
    return (uint16_t)(answer[length - 2] << 8 | answer[length - 1]);
}

} // namespace

CardSession::CardSession(SCARDHANDLE handle, CardKind kind)
    : family(kind), serial(), directoryFileIds(), statusWord(0), cardHandle(handle), lastResult(SCARD_S_SUCCESS),
      stoppedResult(SCARD_S_SUCCESS), firstChipInfo(), firstChipInfoLength(0), command(), answer(),
      commandLength(0), answerLength(0)
{
    SCardBeginTransaction(cardHandle);
    readDirectory();
}

CardSession::~CardSession()
{
    SCardEndTransaction(cardHandle, SCARD_LEAVE_CARD);
    cardHandle = 0;
}

// One SCardTransmit of the prepared command. An answer length beyond the
// buffer can only come from a broken PC/SC layer; it is never trusted. An
// answer without even a status word did not come from the card: some reader
// drivers hand on a card that has gone away that way, so it counts as a
// communication failure like any other.
void CardSession::stop(LONG result)
{
    stoppedResult = result;
    lastResult = result;
    statusWord = 0;
}

LONG CardSession::exchange()
{
    if (stoppedResult != SCARD_S_SUCCESS) {
        answerLength = 0;
        lastResult = stoppedResult;
        return lastResult;
    }
    answerLength = AnswerCapacity;
    lastResult = SCardTransmit(cardHandle, SCARD_PCI_T0, command, commandLength, NULL, answer,
                               &answerLength);
    if (lastResult == SCARD_S_SUCCESS && answerLength > AnswerCapacity) {
        lastResult = SCARD_E_INSUFFICIENT_BUFFER;
        answerLength = 0;
    }
    if (lastResult == SCARD_S_SUCCESS && answerLength < 2) {
        lastResult = SCARD_F_COMM_ERROR;
        answerLength = 0;
    }
    if (lastResult != SCARD_S_SUCCESS)
        stoppedResult = lastResult;
    return lastResult;
}

LONG CardSession::transmit()
{
    exchange();
    if (lastResult == SCARD_S_SUCCESS && answerLength == 2 && answer[0] == 0x61) {
        const uint8_t getResponse[5] = {0x00, 0xC0, 0x00, 0x00, answer[1]};
        memcpy(command, getResponse, sizeof getResponse);
        commandLength = sizeof getResponse;
        exchange();
    }
    statusWord = 0x0000;
    if (lastResult != SCARD_S_SUCCESS)
        return lastResult;
    // exchange() hands on only answers that hold a status word.
    if (answerLength >= 2)
        statusWord = statusOf(answer, answerLength);
    return SCARD_S_SUCCESS;
}

LONG CardSession::select(uint8_t p1, const uint8_t *data, uint32_t count)
{
    if (count > sizeof command - 5) {
        lastResult = SCARD_E_INVALID_PARAMETER;
        statusWord = 0x0000;
        return lastResult;
    }
    const uint8_t header[5] = {0x00, 0xA4, p1, 0x00, (uint8_t)count};
    memcpy(command, header, sizeof header);
    memcpy(command + 5, data, count);
    commandLength = 5 + count;
    return transmit();
}

LONG CardSession::selectByName(const char *name)
{
    return select(0x04, (const uint8_t *)name, (uint32_t)strlen(name));
}

LONG CardSession::selectByAid(const uint8_t *aid, uint32_t count)
{
    return select(0x04, aid, count);
}

LONG CardSession::selectFile(uint16_t fileId)
{
    const uint8_t id[2] = {(uint8_t)(fileId >> 8), (uint8_t)fileId};
    return select(0x00, id, sizeof id);
}

// Reads in pieces of at most 128 bytes, advancing by what arrived. A card
// that answers 9000 with no data, or with more than was asked, ends the read
// as a failure: the first would repeat the same command for ever, the second
// would run past the destination.
LONG CardSession::readBinary(uint16_t offset, uint16_t length, uint8_t *destination)
{
    uint16_t remaining = length;
    uint16_t written = 0;
    for (;;) {
        const uint8_t le = (uint8_t)(remaining < ReadPieceSize ? remaining : ReadPieceSize);
        const uint8_t header[5] = {0x00, 0xB0, (uint8_t)(offset >> 8), (uint8_t)offset, le};
        memcpy(command, header, sizeof header);
        commandLength = sizeof header;
        if (transmit() != SCARD_S_SUCCESS || statusWord != StatusSuccess)
            return lastResult;
        const DWORD received = answerLength - 2;
        if (received > remaining) {
            statusWord = StatusWrongLength;
            return lastResult;
        }
        if (destination)
            memcpy(destination + written, answer, received);
        offset = (uint16_t)(offset + received);
        remaining = (uint16_t)(remaining - received);
        written = (uint16_t)(written + received);
        if (remaining == 0)
            return lastResult;
        if (received == 0) {
            statusWord = StatusEndReached;
            return lastResult;
        }
    }
}

// The chip serial lies inside this answer, so an answer shorter than asked
// must not leave older bytes of the answer buffer to be taken for it.
LONG CardSession::getChipInfo(uint8_t *destination, uint32_t count)
{
    const uint8_t header[5] = {0x90, 0xB8, 0x00, 0x00, (uint8_t)count};
    memcpy(command, header, sizeof header);
    commandLength = sizeof header;
    if (transmit() != SCARD_S_SUCCESS || statusWord != StatusSuccess)
        return lastResult;
    if (answerLength - 2 < count) {
        statusWord = StatusEndReached;
        return lastResult;
    }
    if (destination)
        memcpy(destination, answer, count);
    if (firstChipInfoLength == 0 && count <= ChipInfoKept) {
        memcpy(firstChipInfo, answer, count);
        firstChipInfoLength = count;
        if (count == familyLayout(family).answerLength)
            writeSerialText(family, firstChipInfo, serial);
    }
    return lastResult;
}

bool CardSession::readSerial()
{
    return getChipInfo(NULL, familyLayout(family).answerLength) == SCARD_S_SUCCESS &&
           statusWord == StatusSuccess && serial[0] != '\0';
}
