// The reader table and its re-listing.
#include "ReaderTable.h"

#include <stdlib.h>
#include <string.h>

#include "../events/Events.h"
#include "CardSlot.h"
#include "Monitor.h"

ReaderTable readerTable;

namespace {

char *copyText(const char *text)
{
    const size_t size = strlen(text) + 1;
    char *copy = (char *)malloc(size);
    if (copy)
        memcpy(copy, text, size);
    return copy;
}

bool isWatched(const char *name)
{
    for (uint32_t i = 0; i < readerTable.count; i++)
        if (strcmp(readerTable.entries[i].szReader, name) == 0)
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
void freeEntry(uint32_t index)
{
    free((void *)readerTable.entries[index].szReader);
    const uint32_t later = readerTable.count - index - 1;
    memmove(&readerTable.entries[index], &readerTable.entries[index + 1],
            later * sizeof readerTable.entries[0]);
    memmove(&readerTable.slots[index], &readerTable.slots[index + 1],
            later * sizeof readerTable.slots[0]);
    readerTable.count--;
    memset(&readerTable.entries[readerTable.count], 0, sizeof readerTable.entries[0]);
    memset(&readerTable.slots[readerTable.count], 0, sizeof readerTable.slots[0]);
}

void watchNewReaders(const char *readers, bool tell)
{
    for (const char *name = readers; *name != '\0' && readerTable.count < ReaderTableSize;
         name += strlen(name) + 1) {
        if (isWatched(name))
            continue;
        char *copy = copyText(name);
        if (!copy)
            continue;
        SCARD_READERSTATEA &entry = readerTable.entries[readerTable.count];
        memset(&entry, 0, sizeof entry);
        entry.szReader = copy;
        entry.pvUserData = NULL;
        entry.dwCurrentState = SCARD_STATE_UNAWARE;
        memset(&readerTable.slots[readerTable.count], 0, sizeof readerTable.slots[0]);
        readerTable.count++;
        if (tell)
            reportReaderArrived(copy);
    }
}

void followList(const char *readers, bool tell)
{
    for (uint32_t i = readerTable.count; i-- > 0;) {
        if (isListed(readerTable.entries[i].szReader, readers))
            continue;
        releaseSlot(i);
        if (tell)
            reportReaderLeft(readerTable.entries[i].szReader);
        freeEntry(i);
    }
    watchNewReaders(readers, tell);
}

} // namespace

void fillReaderTable(const char *readers)
{
    watchNewReaders(readers, false);
}

LONG relistReaders(bool tell)
{
    char *readers = NULL;
    DWORD length = SCARD_AUTOALLOCATE;
    const LONG result = SCardListReadersA(pcscContext, NULL, (LPSTR)&readers, &length);
    if (result == SCARD_E_NO_READERS_AVAILABLE) {
        followList("\0", tell);
        return SCARD_S_SUCCESS;
    }
    if (result != SCARD_S_SUCCESS)
        return result;
    followList(readers ? readers : "\0", tell);
    if (readers)
        SCardFreeMemory(pcscContext, readers);
    return SCARD_S_SUCCESS;
}
