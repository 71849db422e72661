// The line that tells the user what the monitor sees (no service, no
// reader, no card, the cards read and their certificates, or why a card is
// not read), and the copy of it that the monitor thread publishes for the
// window's thread.
#pragma once

#include <stddef.h>

#include "ReaderTable.h"

// 49 letters and the NUL: "Velmo Monitor\n" and the line fill the tray
// tip's 64 characters. Plain letters only: the tip is ANSI.
const size_t StatusLineCapacity = 50;

// The line as last published. Zero-filled it is empty and unlocked; `lock`
// is held only while the text is copied in or out.
struct PublishedLine {
    long lock;
    char text[StatusLineCapacity];
};

// The line for the table as the last cycle left it; `serviceReached` says
// whether a PC/SC context is held.
void describeReaders(const ReaderTable &table, bool serviceReached, char line[StatusLineCapacity]);

// The monitor thread: publishes the line for the table and answers true
// when it differs from the one published before.
bool publishStatusLine(PublishedLine &published, const ReaderTable &table, bool serviceReached);
// Any thread: the line last published, cut to `size` and terminated.
void copyStatusLine(PublishedLine &published, char *line, size_t size);
