// The reader monitor: the polling work of the monitor thread over the
// reader table, and the PC/SC context it runs on.
#pragma once

#include <stdint.h>

#include "../card/CardFamily.h"
#include "ReaderTable.h"

extern SCARDCONTEXT pcscContext;
extern SCARDHANDLE currentCard;

// Takes the context out of pcscContext, leaving 0, for the one caller that
// releases it.
SCARDCONTEXT takePcscContext();

// One polling cycle without its timer. Without a context it first tries to
// establish one (once a cycle) and lists the readers. Then one status call
// over the table and the arrival watch, each entry's insertion, swap or
// removal, a new listing when readers arrived or left, and the cards that
// wait for a read. Answers the status call's result, or the failure that
// came before it. A result that means the context died gives it back.
LONG pollReaders();

// Asks the next cycle to take every reader as after a new context: the
// readers listed again and each card checked by its serial. Called from
// another thread (the machine resumed from sleep).
void requestReaderCheck();

#ifdef _WIN32
DWORD WINAPI monitorThread(LPVOID unused);
#endif
