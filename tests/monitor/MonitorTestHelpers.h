// What the monitor's tests share: emptying the process-wide reader table.
#pragma once

#include <stdlib.h>
#include <string.h>

#include <string>

#include "monitor/Monitor.h"
#include "support/FakePcsc.h"

// Frees what the monitor keeps in the table (name copies, serial slots) and
// empties it, so that every test starts from a zero-filled table.
inline void clearReaderTable()
{
    for (uint32_t i = 0; i < ReaderTableSize; i++) {
        free((void *)readerTable.entries[i].szReader);
        free(readerTable.entries[i].pvUserData);
    }
    memset(&readerTable, 0, sizeof readerTable);
}

// A fresh PC/SC double, an empty table and the monitor's globals as at
// start-up, with a context established on the double; answers that call.
inline LONG startMonitorAfresh()
{
    clearReaderTable();
    fakepcsc::reset();
    currentCard = 0;
    CardKind = Atr21; // whatever an earlier card left
    pcscContext = 0;
    return SCardEstablishContext(SCARD_SCOPE_USER, NULL, NULL, &pcscContext);
}

// One reader of that name on the double, and the table filled as start-up
// fills it when that reader is the only one; answers its index on the double.
inline size_t watchOneReader(const std::string &name)
{
    const size_t reader = fakepcsc::addReader(name);
    fillReaderTable((name + '\0').c_str());
    return reader;
}
