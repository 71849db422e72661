// Insertion and removal cycles of a card through the monitor's polling
// cycle, on the in-process PC/SC double and the platform's real "MY" store,
// with the busy blocks and bytes of every heap of the process after cycles
// 10, 100 and the last: what a cycle leaves behind of the program's own
// allocations and of the certificate store's, without the PC/SC stack and
// the tray around them.
//   usage: cycle-heap CARD-IMAGE [CYCLES]   (1000 cycles by default)
#include <stdio.h>
#include <stdlib.h>

#include <windows.h>

#include "card/CardFamily.h"
#include "monitor/Monitor.h"
#include "monitor/MonitorTestHelpers.h"
#include "card-image/CardImage.h"
#include "support/FakePcsc.h"

namespace {

struct HeapCount {
    unsigned long blocks;
    unsigned long long bytes;
};

HeapCount countHeaps()
{
    HeapCount count = {0, 0};
    HANDLE heaps[64];
    const DWORD found = GetProcessHeaps(64, heaps);
    for (DWORD i = 0; i < found && i < 64; i++) {
        if (!HeapLock(heaps[i]))
            continue;
        PROCESS_HEAP_ENTRY entry = {};
        while (HeapWalk(heaps[i], &entry)) {
            if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) {
                count.blocks++;
                count.bytes += entry.cbData;
            }
        }
        HeapUnlock(heaps[i]);
    }
    return count;
}

} // namespace

int main(int argc, char **argv)
{
    CardImage card;
    const long cycles = argc > 2 ? strtol(argv[2], NULL, 10) : 1000;
    if (argc < 2 || argc > 3 || cycles < 1 || !loadCardImageFile(argv[1], card)) {
        fprintf(stderr, "usage: cycle-heap CARD-IMAGE [CYCLES]\n");
        return 2;
    }
    if (startMonitorAfresh() != SCARD_S_SUCCESS)
        return 1;
    const size_t reader = watchOneReader("Reader 0");
    pollReaders();
    HeapCount first = {0, 0};
    for (long cycle = 1; cycle <= cycles; cycle++) {
        fakepcsc::insertCard(reader, card);
        pollReaders();
        fakepcsc::removeCard(reader);
        pollReaders();
        // The double keeps a record of every command; only the program and
        // the store are counted.
        fakepcsc::clearCommandLog();
        if (cycle == 10 || cycle == 100 || cycle == cycles) {
            const HeapCount now = countHeaps();
            if (cycle == 10)
                first = now;
            printf("cycle %ld blocks %lu bytes %llu", cycle, now.blocks, now.bytes);
            if (cycle > 10)
                printf(" per-cycle-blocks %.2f per-cycle-bytes %.1f",
                       (double)((long)now.blocks - (long)first.blocks) / (cycle - 10),
                       (double)((long long)now.bytes - (long long)first.bytes) / (cycle - 10));
            printf("\n");
            fflush(stdout);
        }
    }
    return 0;
}
