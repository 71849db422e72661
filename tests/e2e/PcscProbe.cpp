// A Windows program that uses the PC/SC API the way the monitor does, run
// under Wine against the bridge winscard.dll.
//   pcsc-probe check READER OTHER   lists both readers, waits for a card in
//                                   READER, selects its master file
//   pcsc-probe wait READER MS MARK  waits up to MS ms in one status call
//                                   for a card to arrive in READER, having
//                                   created the file MARK when it starts to
//   pcsc-probe refused              every call fails cleanly against a
//                                   helper that is absent or answers nonsense
//   pcsc-probe replay READER FILE   waits for a card in READER and sends it
//                                   the command APDUs that FILE holds (hex,
//                                   blank-separated) in one transaction, as
//                                   a bare client: the benchmark's floor
// Prints each step; exits 0 when every step went as expected.
#include <windows.h>
#include <winscard.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

bool step(const char *what, LONG result, LONG expected = SCARD_S_SUCCESS)
{
    printf("%-40s %08lX%s\n", what, (unsigned long)result, result == expected ? "" : "  FAILED");
    fflush(stdout);
    return result == expected;
}

bool refuses(const char *what, LONG result)
{
    printf("%-40s %08lX%s\n", what, (unsigned long)result, result == SCARD_S_SUCCESS ? "  NOT REFUSED" : "");
    fflush(stdout);
    return result != SCARD_S_SUCCESS;
}

bool listed(const char *list, const char *name)
{
    for (const char *p = list; *p; p += strlen(p) + 1)
        if (strcmp(p, name) == 0)
            return true;
    return false;
}

// The three ways of asking for the list must agree.
bool checkReaderList(SCARDCONTEXT context, const char *first, const char *second)
{
    LPSTR list = NULL;
    DWORD length = SCARD_AUTOALLOCATE;
    if (!step("SCardListReadersA (allocated)", SCardListReadersA(context, NULL, (LPSTR)&list, &length)))
        return false;
    bool good = listed(list, first) && listed(list, second) && length > 1 && list[length - 1] == 0;
    DWORD needed = 0;
    good = step("SCardListReadersA (length)", SCardListReadersA(context, NULL, NULL, &needed)) && good;
    good = good && needed == length;
    char small[4];
    DWORD smallLength = sizeof small;
    good = step("SCardListReadersA (short buffer)", SCardListReadersA(context, NULL, small, &smallLength),
                SCARD_E_INSUFFICIENT_BUFFER) && good && smallLength == length;
    char *copy = (char *)malloc(length);
    DWORD copyLength = length;
    good = copy && step("SCardListReadersA (buffer)", SCardListReadersA(context, NULL, copy, &copyLength)) &&
           good && copyLength == length && memcmp(copy, list, length) == 0;
    free(copy);
    step("SCardFreeMemory", SCardFreeMemory(context, list));
    printf("readers listed: %s\n", good ? "both" : "NOT AS EXPECTED");
    return good;
}

// Polls, as the monitor does, until the reader reports a card.
bool waitForCard(SCARDCONTEXT context, const char *reader, DWORD timeout, DWORD slices)
{
    SCARD_READERSTATEA state = {};
    state.szReader = reader;
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    for (DWORD i = 0; i < slices; i++) {
        const LONG result = SCardGetStatusChangeA(context, timeout, &state, 1);
        if (result != SCARD_S_SUCCESS && result != (LONG)SCARD_E_TIMEOUT)
            return step("SCardGetStatusChangeA", result);
        if (state.dwEventState & SCARD_STATE_PRESENT) {
            printf("card present: event state %08lX, ATR of %lu bytes\n",
                   (unsigned long)state.dwEventState, (unsigned long)state.cbAtr);
            return state.cbAtr > 0 && state.cbAtr <= sizeof state.rgbAtr;
        }
        state.dwCurrentState = state.dwEventState & ~(DWORD)SCARD_STATE_CHANGED;
    }
    printf("no card in %s\n", reader);
    return false;
}

bool selectMasterFile(SCARDCONTEXT context, const char *reader)
{
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    if (!step("SCardConnectA (shared, T=0)", SCardConnectA(context, reader, SCARD_SHARE_SHARED,
                                                          SCARD_PROTOCOL_T0, &card, &protocol)))
        return false;
    bool good = protocol == SCARD_PROTOCOL_T0;
    good = step("SCardBeginTransaction", SCardBeginTransaction(card)) && good;
    static const BYTE command[] = {0x00, 0xA4, 0x04, 0x00, 0x0B, 'M', 'a', 's', 't',
                                   'e',  'r',  '.',  'F',  'i',  'l', 'e'};
    BYTE answer[258];
    DWORD answerLength = sizeof answer;
    good = step("SCardTransmit (SELECT Master.File)",
                SCardTransmit(card, SCARD_PCI_T0, command, sizeof command, NULL, answer, &answerLength)) &&
           good;
    good = good && answerLength == 2 && answer[0] == 0x90 && answer[1] == 0x00;
    printf("status word: %s\n", good ? "9000" : "NOT 9000");
    good = step("SCardEndTransaction", SCardEndTransaction(card, SCARD_LEAVE_CARD)) && good;
    good = step("SCardDisconnect", SCardDisconnect(card, SCARD_LEAVE_CARD)) && good;
    return good;
}

int check(const char *reader, const char *other)
{
    SCARDCONTEXT context = 0;
    if (!step("SCardEstablishContext", SCardEstablishContext(SCARD_SCOPE_USER, NULL, NULL, &context)))
        return 1;
    bool good = checkReaderList(context, reader, other);
    good = waitForCard(context, reader, 900, 17) && good;
    good = good && selectMasterFile(context, reader);
    good = step("SCardReleaseContext", SCardReleaseContext(context)) && good;
    return good ? 0 : 1;
}

// Creates an empty file, which tells the test that the probe is waiting.
bool mark(const char *fileName)
{
    HANDLE file = CreateFileA(fileName, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(file);
    return true;
}

int wait(const char *reader, DWORD timeout, const char *marker)
{
    SCARDCONTEXT context = 0;
    if (!step("SCardEstablishContext", SCardEstablishContext(SCARD_SCOPE_USER, NULL, NULL, &context)))
        return 1;
    SCARD_READERSTATEA state = {};
    state.szReader = reader;
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    bool good = step("SCardGetStatusChangeA (now)", SCardGetStatusChangeA(context, 0, &state, 1));
    good = good && (state.dwEventState & SCARD_STATE_EMPTY);
    state.dwCurrentState = state.dwEventState & ~(DWORD)SCARD_STATE_CHANGED;
    printf("waiting\n");
    good = mark(marker) && good;
    good = step("SCardGetStatusChangeA (long wait)", SCardGetStatusChangeA(context, timeout, &state, 1)) &&
           good && (state.dwEventState & SCARD_STATE_PRESENT);
    printf("card arrived: %s\n", good ? "yes" : "no");
    step("SCardReleaseContext", SCardReleaseContext(context));
    return good ? 0 : 1;
}

// Each call must come back with an error, never succeed or crash.
int refused()
{
    bool good = true;
    SCARDCONTEXT context = 1;
    LONG result = SCardEstablishContext(SCARD_SCOPE_USER, NULL, NULL, &context);
    good = refuses("SCardEstablishContext", result) && good;
    LPSTR list = NULL;
    DWORD length = SCARD_AUTOALLOCATE;
    good = refuses("SCardListReadersA", SCardListReadersA(1, NULL, (LPSTR)&list, &length)) && good;
    good = list == NULL && good;
    SCARD_READERSTATEA state = {};
    state.szReader = "Reader";
    good = refuses("SCardGetStatusChangeA", SCardGetStatusChangeA(1, 0, &state, 1)) && good;
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    good = refuses("SCardConnectA",
                   SCardConnectA(1, "Reader", SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0, &card, &protocol)) &&
           good;
    static const BYTE command[] = {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00};
    BYTE answer[258];
    DWORD answerLength = sizeof answer;
    good = refuses("SCardTransmit",
                   SCardTransmit(1, SCARD_PCI_T0, command, sizeof command, NULL, answer, &answerLength)) &&
           good;
    good = refuses("SCardBeginTransaction", SCardBeginTransaction(1)) && good;
    printf("every call refused: %s\n", good ? "yes" : "NO");
    return good ? 0 : 1;
}

int hexValue(int c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// Reads the next blank-separated APDU of `file`; 0 at the end or on a
// malformed or oversized one.
DWORD nextApdu(FILE *file, BYTE *apdu, DWORD capacity)
{
    char word[2 * 261 + 2];
    if (fscanf(file, "%523s", word) != 1)
        return 0;
    const DWORD length = (DWORD)strlen(word) / 2;
    if (length == 0 || length > capacity || strlen(word) % 2)
        return 0;
    for (DWORD i = 0; i < length; i++) {
        const int high = hexValue(word[2 * i]), low = hexValue(word[2 * i + 1]);
        if (high < 0 || low < 0)
            return 0;
        apdu[i] = (BYTE)(high * 16 + low);
    }
    return length;
}

bool sendApdus(SCARDHANDLE card, FILE *file)
{
    BYTE command[261], answer[258];
    DWORD length, count = 0;
    bool good = true;
    while (good && (length = nextApdu(file, command, sizeof command)) != 0) {
        DWORD answerLength = sizeof answer;
        good = SCardTransmit(card, SCARD_PCI_T0, command, length, NULL, answer, &answerLength) ==
               SCARD_S_SUCCESS;
        count += good;
    }
    printf("replayed %lu commands%s\n", (unsigned long)count, good ? "" : ", then a transmit FAILED");
    return good && count > 0;
}

int replay(const char *reader, const char *fileName)
{
    FILE *file = fopen(fileName, "r");
    if (!file) {
        printf("cannot open %s\n", fileName);
        return 1;
    }
    SCARDCONTEXT context = 0;
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    bool good = step("SCardEstablishContext", SCardEstablishContext(SCARD_SCOPE_USER, NULL, NULL, &context)) &&
                waitForCard(context, reader, 900, 17) &&
                step("SCardConnectA (shared, T=0)", SCardConnectA(context, reader, SCARD_SHARE_SHARED,
                                                                  SCARD_PROTOCOL_T0, &card, &protocol));
    if (good) {
        good = step("SCardBeginTransaction", SCardBeginTransaction(card)) && sendApdus(card, file);
        SCardEndTransaction(card, SCARD_LEAVE_CARD);
        SCardDisconnect(card, SCARD_LEAVE_CARD);
    }
    if (context)
        SCardReleaseContext(context);
    fclose(file);
    return good ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 4 && strcmp(argv[1], "check") == 0)
        return check(argv[2], argv[3]);
    if (argc == 5 && strcmp(argv[1], "wait") == 0)
        return wait(argv[2], (DWORD)strtoul(argv[3], NULL, 10), argv[4]);
    if (argc == 2 && strcmp(argv[1], "refused") == 0)
        return refused();
    if (argc == 4 && strcmp(argv[1], "replay") == 0)
        return replay(argv[2], argv[3]);
    fprintf(stderr, "usage: pcsc-probe check READER OTHER | wait READER MS MARK | refused | replay READER FILE\n");
    return 2;
}
