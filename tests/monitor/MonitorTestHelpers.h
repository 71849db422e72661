// What the monitor's tests share: emptying the process-wide reader table.
#pragma once

#include <stdlib.h>
#include <string.h>

#include "monitor/Monitor.h"

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
