// The reader monitor: the table of watched readers, the two card families
// and the polling work of the monitor thread.
#pragma once

#include <stdint.h>

#include "../card/CardFamily.h"

const uint32_t ReaderTableSize = 16;

struct ReaderTable {
    SCARD_READERSTATEA entries[ReaderTableSize];
    uint32_t count;
};

extern ReaderTable readerTable;
extern SCARDCONTEXT pcscContext;
extern SCARDHANDLE currentCard;

void fillReaderTable(const char *readers);

// Takes the context out of pcscContext, leaving 0, for the one caller that
// releases it.
SCARDCONTEXT takePcscContext();

// One polling cycle without its timer: one status call over the table, then
// each entry's insertion or removal. Answers the status call's result.
// A result that means the context died gives it back; the next cycle
// establishes a new one before its status call.
LONG pollReaders();

#ifdef _WIN32
DWORD WINAPI monitorThread(LPVOID unused);
#endif
