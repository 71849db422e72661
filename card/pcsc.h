// One place that hides the differences between the Windows smart-card API
// and pcsc-lite, so the card layer and the monitor compile on both.
#pragma once

#ifdef _WIN32
// Data exports are reached through the import library's auto-import, which
// also lets a statically linked PC/SC double define them. The build defines
// this for every file, since <windows.h> pulls in <winscard.h> too.
#ifndef WINSCARDDATA
#define WINSCARDDATA
#endif
#include <windows.h>
#include <winscard.h>
#define PCSC_CALL WINAPI
#else
#include <PCSC/winscard.h>
#include <PCSC/wintypes.h>
#define PCSC_CALL
// pcsc-lite spells the ANSI names without their suffix.
typedef SCARD_READERSTATE SCARD_READERSTATEA;
typedef SCARD_READERSTATE *LPSCARD_READERSTATEA;
#define SCardListReadersA SCardListReaders
#define SCardGetStatusChangeA SCardGetStatusChange
#define SCardConnectA SCardConnect
#endif
