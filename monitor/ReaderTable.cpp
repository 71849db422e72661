// The reader table and its re-listing.
#include "ReaderTable.h"

#include <stdlib.h>
#include <string.h>

#include "../events/Events.h"

namespace {

char *copyText(const char *text)
{
    const size_t size = strlen(text) + 1;
    char *copy = (char *)malloc(size);
    if (copy)
        memcpy(copy, text, size);
    return copy;
}

bool isWatched(const ReaderTable &table, const char *name)
{
    for (uint32_t i = 0; i < table.count; i++)
        if (strcmp(table.entries[i].szReader, name) == 0)
            return true;
    return false;
}

bool isListed(const char *name, const char *readers)
{
    for (const char *listed = readers; *listed != '\0'; listed += strlen(listed) + 1)
        if (strcmp(listed, name) == 0)
            return true;
    return false;
}

// The entry's card has been removed: its name goes and the later entries
// move down, so that the table stays one run from index 0.
void freeEntry(ReaderTable &table, uint32_t index)
{
    free((void *)table.entries[index].szReader);
    const uint32_t later = table.count - index - 1;
    memmove(&table.entries[index], &table.entries[index + 1],
            later * sizeof table.entries[0]);
    moveSlotsDown(table.slots, index, later);
    table.count--;
    memset(&table.entries[table.count], 0, sizeof table.entries[0]);
}

void watchNewReaders(ReaderTable &table, const char *readers, bool tell)
{
    for (const char *name = readers; *name != '\0' && table.count < ReaderTableSize;
         name += strlen(name) + 1) {
        if (isWatched(table, name))
            continue;
        char *copy = copyText(name);
        if (!copy)
            continue;
        SCARD_READERSTATEA &entry = table.entries[table.count];
        memset(&entry, 0, sizeof entry);
        entry.szReader = copy;
        entry.pvUserData = NULL;
        entry.dwCurrentState = SCARD_STATE_UNAWARE;
        clearSlot(table.slots[table.count]);
        table.count++;
        if (tell)
            reportReaderArrived(copy);
    }
}

void followList(ReaderTable &table, SCARDCONTEXT context, const char *readers, bool tell)
{
    for (uint32_t i = table.count; i-- > 0;) {
        if (isListed(table.entries[i].szReader, readers))
            continue;
        releaseSlot(slotsOf(table, context), i);
        if (tell)
            reportReaderLeft(table.entries[i].szReader);
        freeEntry(table, i);
    }
    watchNewReaders(table, readers, tell);
}

} // namespace

CardSlots slotsOf(ReaderTable &table, SCARDCONTEXT context)
{
    CardSlots slots = {table.entries, table.slots, table.count, context, table.cycle};
    return slots;
}

void fillReaderTable(ReaderTable &table, const char *readers)
{
    watchNewReaders(table, readers, false);
}

LONG relistReaders(ReaderTable &table, SCARDCONTEXT context, bool tell)
{
    char *readers = NULL;
    DWORD length = SCARD_AUTOALLOCATE;
    const LONG result = SCardListReadersA(context, NULL, (LPSTR)&readers, &length);
    if (result == SCARD_E_NO_READERS_AVAILABLE) {
        followList(table, context, "\0", tell);
        return SCARD_S_SUCCESS;
    }
    if (result != SCARD_S_SUCCESS)
        return result;
    followList(table, context, readers ? readers : "\0", tell);
    if (readers)
        SCardFreeMemory(context, readers);
    return SCARD_S_SUCCESS;
}
