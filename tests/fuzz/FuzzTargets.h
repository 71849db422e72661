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
// Byte 0 sets the day up (bit 0: pcsc-lite's ways instead of Windows',
// bit 1: the service runs only while a reader is plugged in, bit 2: no
// service at log-on); then one step a byte, with its arguments after it:
// a polling cycle, up to 128 cycles, a reader plugged in or unplugged, a
// card put in or taken out, the service stopping or starting, a sleep
// (with or without a swap the reader does not count) and its resume,
// another program taking or leaving a card. Runs on the PC/SC double
// (FakePcsc.h), not the fuzzing one: FuzzDays.cpp.
void fuzzMonitorDays(const uint8_t *data, size_t size);
