// What the monitor's tests share: one monitor state, emptied between tests.
#pragma once

#include <stdlib.h>
#include <string.h>

#include <string>

#include "monitor/Monitor.h"
#include "support/FakePcsc.h"

// The monitor state the tests drive, as the shell owns one.
inline MonitorState &testMonitor()
{
    static MonitorState monitor;
    return monitor;
}
inline ReaderTable &readerTable = testMonitor().table;
inline SCARDCONTEXT &pcscContext = testMonitor().context;

// One cycle, and the resume's request, on the tests' monitor.
inline LONG pollReaders() { return pollReaders(testMonitor()); }
inline void requestReaderCheck() { requestReaderCheck(testMonitor()); }
inline void fillReaderTable(const char *readers) { fillReaderTable(readerTable, readers); }

// Frees what the monitor keeps in the table (the name copies) and
// empties the state, so that every test starts from a zero-filled one.
inline void clearReaderTable()
{
    for (uint32_t i = 0; i < ReaderTableSize; i++)
        free((void *)readerTable.entries[i].szReader);
    memset(&testMonitor(), 0, sizeof testMonitor());
}

// The serial the monitor holds for the card of table entry `index`: null
// while no card of the families is taken there, empty until its serial is read.
inline const char *heldSerial(size_t index)
{
    const CardSlot &slot = testMonitor().table.slots[index];
    return slot.status == SlotFree ? nullptr : slot.serial;
}

// Takes the context out of the monitor state, leaving 0, as the end of the
// program does.
inline SCARDCONTEXT takePcscContext()
{
    const SCARDCONTEXT context = testMonitor().context;
    testMonitor().context = 0;
    return context;
}

// A fresh PC/SC double, an empty state as at start-up, with a context
// established on the double; answers that call.
inline LONG startMonitorAfresh()
{
    clearReaderTable();
    fakepcsc::reset();
    return SCardEstablishContext(SCARD_SCOPE_USER, NULL, NULL, &testMonitor().context);
}

// One reader of that name on the double, and the table filled as start-up
// fills it when that reader is the only one; answers its index on the double.
inline size_t watchOneReader(const std::string &name)
{
    const size_t reader = fakepcsc::addReader(name);
    fillReaderTable(testMonitor().table, (name + '\0').c_str());
    return reader;
}
