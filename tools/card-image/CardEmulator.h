// The answers of a card of this family to its command APDUs, played from a
// CardImage. Shared by the PC/SC double and the virtual card for vpcd.
#pragma once

#include "CardImage.h"

// Where one connection to a card stands: its current directory and
// elementary file (indexes into CardImage::files, -1 for none) and the data
// waiting for GET RESPONSE.
struct CardSelection {
    int currentDf;
    int currentEf;
    Bytes pending;
};

CardSelection freshSelection();

// An answer of only a status word, and one of data followed by a status word.
Bytes statusOnly(uint16_t status);
Bytes withStatus(Bytes data, uint16_t status);

// The card's answer (data and status word) to one command APDU: SELECT by DF
// name or by file identifier, READ BINARY, GET RESPONSE and the chip
// information command 90 B8. With `selectNeedsGetResponse` a SELECT answers
// 61xx and leaves the file control information for GET RESPONSE, as T=0
// cards do.
Bytes answerApdu(const CardImage &card, CardSelection &selection, const Bytes &apdu,
                 bool selectNeedsGetResponse);
