// The fuzz targets over the card-facing code. Each takes one fuzz input,
// runs the code under test against the fuzzing PC/SC double and aborts with
// a message when an answer breaks one of the code's promises. The libFuzzer
// entry points and the regression tests call the same functions.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Byte 0 picks the card kind (bit 0: Atr20); the rest is the card's script
// (FuzzPcsc.h): the session's construction with its directory, the whole
// certificate walk and each certificate's container name.
void fuzzCardReading(const uint8_t *data, size_t size);
// The input is a buffer of DER: derLength on every 4-octet window, skipTlv
// from every position.
void fuzzDerHelpers(const uint8_t *data, size_t size);
// The input is the ODF head, read after the three selections succeed.
void fuzzObjectDirectory(const uint8_t *data, size_t size);
// The input is a certificate's path text.
void fuzzFilePath(const uint8_t *data, size_t size);
// Byte 0 picks the ATR (bit 0: Atr20 family, bit 1: a foreign ATR); the
// rest is the card's script: one insertion through the monitor's polling
// cycle (chip information, serial text, registration), then the removal.
void fuzzInsertion(const uint8_t *data, size_t size);
