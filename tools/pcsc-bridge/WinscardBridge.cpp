// winscard.dll for Wine: each PC/SC call the program makes is sent over
// loopback TCP to the native bridge helper, which makes it on pcscd. The
// helper's address and secret come from its bridge file, named by
// VELMO_PCSC_BRIDGE (a Unix or a Windows path), by default
// .velmo-pcsc-bridge in the user's Unix home. Every new connection opens
// with the greeting that carries the secret and this process's number.
// Connections are pooled: a call takes an idle one or opens a new one, so a
// thread waiting for a status change never holds up another thread's call.
#include <winsock2.h>
#include <windows.h>
#include <winscard.h>

#include <stdlib.h>
#include <string.h>

#include "BridgeReplies.h"

extern "C" {
const SCARD_IO_REQUEST g_rgSCardT0Pci = {SCARD_PROTOCOL_T0, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST g_rgSCardT1Pci = {SCARD_PROTOCOL_T1, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST g_rgSCardRawPci = {SCARD_PROTOCOL_RAW, sizeof(SCARD_IO_REQUEST)};
}

namespace {

const int IdleCapacity = 8;

CRITICAL_SECTION poolLock;
SOCKET idleSockets[IdleCapacity];
int idleCount;
bool winsockReady;
uint64_t clientNumber;

// One request on its way out and its reply on the way back.
struct Call {
    uint8_t request[BridgeMaxFrame];
    BridgeWriter out;
    uint8_t *reply;
    BridgeReader in;
};

Call *beginCall(uint32_t operation)
{
    Call *call = (Call *)malloc(sizeof(Call));
    if (!call)
        return NULL;
    call->reply = NULL;
    call->in = bridgeReader(NULL, 0);
    call->out = bridgeWriter(call->request + 4, BridgeMaxFrame - 4);
    putU32(call->out, operation);
    return call;
}

void endCall(Call *call)
{
    if (!call)
        return;
    free(call->reply);
    free(call);
}

// What the bridge file tells: where the helper listens, and its secret.
struct Helper {
    struct sockaddr_in address;
    uint8_t secret[BridgeSecretSize];
};

typedef WCHAR *(CDECL *DosFileNameFunction)(const char *);

// A Unix path is handed to Wine to be made a Windows one.
HANDLE openBridgeFile(const char *path)
{
    if (path[0] != '/')
        return CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    const DosFileNameFunction dosFileName =
        (DosFileNameFunction)(void *)GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_dos_file_name");
    WCHAR *name = dosFileName ? dosFileName(path) : NULL;
    if (!name)
        return INVALID_HANDLE_VALUE;
    const HANDLE file = CreateFileW(name, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    HeapFree(GetProcessHeap(), 0, name);
    return file;
}

// VELMO_PCSC_BRIDGE, or the file in the home folder that Wine names in
// WINEHOMEDIR (as \??\Z:\home\user).
bool bridgeFilePath(char *path, DWORD size)
{
    DWORD length = GetEnvironmentVariableA("VELMO_PCSC_BRIDGE", path, size);
    if (length > 0)
        return length < size;
    char home[MAX_PATH];
    length = GetEnvironmentVariableA("WINEHOMEDIR", home, sizeof home);
    if (length == 0 || length >= sizeof home)
        return false;
    const char *folder = strncmp(home, "\\??\\", 4) == 0 ? home + 4 : home;
    const char name[] = "\\.velmo-pcsc-bridge";
    if (strlen(folder) + sizeof name > size)
        return false;
    strcpy(path, folder);
    strcat(path, name);
    return true;
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// "127.0.0.1:PORT" on the first line, the secret in hexadecimal on the second.
bool parseBridgeFile(char *text, Helper &helper)
{
    char *colon = strchr(text, ':');
    char *newline = colon ? strchr(colon, '\n') : NULL;
    if (!newline)
        return false;
    *colon = '\0';
    *newline = '\0';
    char *end = NULL;
    const long port = strtol(colon + 1, &end, 10);
    if (*end || port <= 0 || port > 65535)
        return false;
    memset(&helper.address, 0, sizeof helper.address);
    helper.address.sin_family = AF_INET;
    helper.address.sin_port = htons((u_short)port);
    helper.address.sin_addr.s_addr = inet_addr(text);
    if (helper.address.sin_addr.s_addr == INADDR_NONE)
        return false;
    const char *hex = newline + 1;
    for (uint32_t i = 0; i < BridgeSecretSize; i++) {
        const int high = hexDigit(hex[2 * i]);
        const int low = high < 0 ? -1 : hexDigit(hex[2 * i + 1]);
        if (low < 0)
            return false;
        helper.secret[i] = (uint8_t)(high << 4 | low);
    }
    return true;
}

bool readBridgeFile(Helper &helper)
{
    char path[MAX_PATH];
    if (!bridgeFilePath(path, sizeof path))
        return false;
    const HANDLE file = openBridgeFile(path);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    char text[256];
    DWORD length = 0;
    const BOOL read = ReadFile(file, text, sizeof text - 1, &length, NULL);
    CloseHandle(file);
    if (!read)
        return false;
    text[length] = '\0';
    const bool parsed = parseBridgeFile(text, helper);
    SecureZeroMemory(text, sizeof text);
    return parsed;
}

bool sendAll(SOCKET s, const uint8_t *bytes, uint32_t count)
{
    while (count) {
        const int n = send(s, (const char *)bytes, (int)count, 0);
        if (n <= 0)
            return false;
        bytes += n;
        count -= (uint32_t)n;
    }
    return true;
}

bool sendGreeting(SOCKET s, const Helper &helper)
{
    uint8_t frame[4 + BridgeGreetingSize];
    BridgeWriter out = bridgeWriter(frame, sizeof frame);
    putU32(out, BridgeGreetingSize);
    putU32(out, BridgeGreeting);
    putBytes(out, helper.secret, BridgeSecretSize);
    putU32(out, (uint32_t)clientNumber);
    putU32(out, (uint32_t)(clientNumber >> 32));
    const bool sent = sendAll(s, frame, out.length);
    SecureZeroMemory(frame, sizeof frame);
    return sent;
}

SOCKET openConnection()
{
    Helper helper;
    if (!readBridgeFile(helper))
        return INVALID_SOCKET;
    EnterCriticalSection(&poolLock);
    if (!winsockReady) {
        WSADATA data;
        winsockReady = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }
    const bool ready = winsockReady;
    LeaveCriticalSection(&poolLock);
    SOCKET s = ready ? socket(AF_INET, SOCK_STREAM, IPPROTO_TCP) : INVALID_SOCKET;
    if (s != INVALID_SOCKET) {
        const BOOL on = TRUE;
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, (const char *)&on, sizeof on);
        if (connect(s, (struct sockaddr *)&helper.address, sizeof helper.address) != 0 ||
            !sendGreeting(s, helper)) {
            closesocket(s);
            s = INVALID_SOCKET;
        }
    }
    SecureZeroMemory(helper.secret, sizeof helper.secret);
    return s;
}

SOCKET takeConnection()
{
    SOCKET s = INVALID_SOCKET;
    EnterCriticalSection(&poolLock);
    if (idleCount > 0)
        s = idleSockets[--idleCount];
    LeaveCriticalSection(&poolLock);
    return s != INVALID_SOCKET ? s : openConnection();
}

void giveBack(SOCKET s)
{
    EnterCriticalSection(&poolLock);
    if (idleCount < IdleCapacity) {
        idleSockets[idleCount++] = s;
        s = INVALID_SOCKET;
    }
    LeaveCriticalSection(&poolLock);
    if (s != INVALID_SOCKET)
        closesocket(s);
}

bool receiveAll(SOCKET s, uint8_t *bytes, uint32_t count)
{
    while (count) {
        const int n = recv(s, (char *)bytes, (int)count, 0);
        if (n <= 0)
            return false;
        bytes += n;
        count -= (uint32_t)n;
    }
    return true;
}

// The helper sends each reply as one frame, so one receive usually brings
// all of it: under Wine every receive is a trip through the server, and a
// card read makes a hundred of them.
bool exchangeOn(SOCKET s, Call *call)
{
    BridgeWriter header = bridgeWriter(call->request, 4);
    putU32(header, call->out.length);
    if (!sendAll(s, call->request, 4 + call->out.length))
        return false;
    uint8_t first[1024];
    uint32_t got = 0;
    while (got < 4) {
        const int n = recv(s, (char *)first + got, (int)(sizeof first - got), 0);
        if (n <= 0)
            return false;
        got += (uint32_t)n;
    }
    uint32_t length = 0;
    if (!frameLength(first, length) || got - 4 > length)
        return false;
    call->reply = (uint8_t *)malloc(length);
    if (!call->reply)
        return false;
    memcpy(call->reply, first + 4, got - 4);
    if (!receiveAll(s, call->reply + (got - 4), length - (got - 4)))
        return false;
    call->in = bridgeReader(call->reply, length);
    return true;
}

// Sends the request and answers the helper's result; the reply's body is
// left in `call->in`. A helper that cannot be reached is a missing service.
LONG exchange(Call *call)
{
    if (!call)
        return SCARD_E_NO_MEMORY;
    if (call->out.overflow)
        return SCARD_E_INVALID_PARAMETER;
    SOCKET s = takeConnection();
    if (s == INVALID_SOCKET)
        return SCARD_E_NO_SERVICE;
    if (!exchangeOn(s, call)) {
        closesocket(s);
        return SCARD_E_NO_SERVICE;
    }
    giveBack(s);
    return (LONG)getU32(call->in);
}

LONG simpleCall(uint32_t operation, uint32_t first, const uint32_t *second)
{
    Call *call = beginCall(operation);
    if (call) {
        putU32(call->out, first);
        if (second)
            putU32(call->out, *second);
    }
    const LONG result = exchange(call);
    endCall(call);
    return result;
}

uint32_t stringLength(const char *text)
{
    return text ? (uint32_t)strlen(text) : 0;
}

} // namespace

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    InitializeCriticalSection(&poolLock);
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    clientNumber = (uint64_t)GetCurrentProcessId() << 32 ^ (uint64_t)now.QuadPart;
    return TRUE;
}

extern "C" {

LONG WINAPI SCardEstablishContext(DWORD scope, LPCVOID, LPCVOID, LPSCARDCONTEXT context)
{
    if (!context)
        return SCARD_E_INVALID_PARAMETER;
    Call *call = beginCall(BridgeEstablishContext);
    if (call)
        putU32(call->out, scope);
    uint32_t number = 0;
    LONG result = exchange(call);
    if (result == SCARD_S_SUCCESS)
        result = (LONG)readNumbers(call->in, (uint32_t)result, &number, 1);
    if (result == SCARD_S_SUCCESS)
        *context = number;
    endCall(call);
    return result;
}

LONG WINAPI SCardReleaseContext(SCARDCONTEXT context)
{
    return simpleCall(BridgeReleaseContext, (uint32_t)context, NULL);
}

// The list is fetched whole, then handed out as the caller asked: its
// length only, into the caller's buffer, or in memory of ours that
// SCardFreeMemory releases.
LONG WINAPI SCardListReadersA(SCARDCONTEXT context, LPCSTR, LPSTR readers, LPDWORD length)
{
    if (!length)
        return SCARD_E_INVALID_PARAMETER;
    Call *call = beginCall(BridgeListReaders);
    if (call)
        putU32(call->out, (uint32_t)context);
    LONG result = exchange(call);
    uint32_t size = 0;
    const uint8_t *list = NULL;
    if (result == SCARD_S_SUCCESS)
        result = (LONG)readReaderList(call->in, (uint32_t)result, list, size);
    if (result != SCARD_S_SUCCESS) {
        endCall(call);
        return result;
    }
    if (readers && *length == SCARD_AUTOALLOCATE) {
        char *copy = (char *)HeapAlloc(GetProcessHeap(), 0, size);
        if (copy) {
            memcpy(copy, list, size);
            *(char **)readers = copy;
        } else {
            result = SCARD_E_NO_MEMORY;
        }
    } else if (readers) {
        if (*length < size)
            result = SCARD_E_INSUFFICIENT_BUFFER;
        else
            memcpy(readers, list, size);
    }
    if (result == SCARD_S_SUCCESS || result == SCARD_E_INSUFFICIENT_BUFFER)
        *length = size;
    endCall(call);
    return result;
}

LONG WINAPI SCardFreeMemory(SCARDCONTEXT, LPCVOID memory)
{
    if (memory)
        HeapFree(GetProcessHeap(), 0, (LPVOID)memory);
    return SCARD_S_SUCCESS;
}

LONG WINAPI SCardGetStatusChangeA(SCARDCONTEXT context, DWORD timeout, LPSCARD_READERSTATEA states,
                                  DWORD count)
{
    if (count > BridgeMaxStates || (count && !states))
        return SCARD_E_INVALID_PARAMETER;
    Call *call = beginCall(BridgeGetStatusChange);
    if (call) {
        putU32(call->out, (uint32_t)context);
        putU32(call->out, timeout);
        putU32(call->out, count);
        for (DWORD i = 0; i < count; i++) {
            putU32(call->out, states[i].dwCurrentState);
            putString(call->out, states[i].szReader, stringLength(states[i].szReader));
        }
    }
    LONG result = exchange(call);
    if (result == SCARD_E_NO_SERVICE || result == SCARD_E_NO_MEMORY) {
        endCall(call);
        return result;
    }
    // Nothing of a reply that breaks off reaches the caller's entries.
    BridgeReaderState read[BridgeMaxStates];
    bool filled = false;
    result = (LONG)readReaderStates(call->in, (uint32_t)result, read, count, filled);
    for (DWORD i = 0; filled && i < count; i++) {
        states[i].dwEventState = read[i].eventState;
        states[i].cbAtr = read[i].atrLength;
        memcpy(states[i].rgbAtr, read[i].atr, sizeof states[i].rgbAtr);
    }
    endCall(call);
    return result;
}

LONG WINAPI SCardConnectA(SCARDCONTEXT context, LPCSTR reader, DWORD shareMode, DWORD protocols,
                          LPSCARDHANDLE card, LPDWORD activeProtocol)
{
    if (!reader || !card)
        return SCARD_E_INVALID_PARAMETER;
    Call *call = beginCall(BridgeConnect);
    if (call) {
        putU32(call->out, (uint32_t)context);
        putU32(call->out, shareMode);
        putU32(call->out, protocols);
        putString(call->out, reader, stringLength(reader));
    }
    uint32_t numbers[2] = {};
    LONG result = exchange(call);
    if (result == SCARD_S_SUCCESS)
        result = (LONG)readNumbers(call->in, (uint32_t)result, numbers, 2);
    if (result == SCARD_S_SUCCESS) {
        *card = numbers[0];
        if (activeProtocol)
            *activeProtocol = numbers[1];
    }
    endCall(call);
    return result;
}

LONG WINAPI SCardDisconnect(SCARDHANDLE card, DWORD disposition)
{
    const uint32_t value = disposition;
    return simpleCall(BridgeDisconnect, (uint32_t)card, &value);
}

LONG WINAPI SCardBeginTransaction(SCARDHANDLE card)
{
    return simpleCall(BridgeBeginTransaction, (uint32_t)card, NULL);
}

LONG WINAPI SCardEndTransaction(SCARDHANDLE card, DWORD disposition)
{
    const uint32_t value = disposition;
    return simpleCall(BridgeEndTransaction, (uint32_t)card, &value);
}

LONG WINAPI SCardTransmit(SCARDHANDLE card, LPCSCARD_IO_REQUEST sendPci, LPCBYTE command,
                          DWORD commandLength, LPSCARD_IO_REQUEST, LPBYTE answer,
                          LPDWORD answerLength)
{
    if (!sendPci || !command || !answer || !answerLength || commandLength == 0 ||
        commandLength > BridgeMaxApdu)
        return SCARD_E_INVALID_PARAMETER;
    Call *call = beginCall(BridgeTransmit);
    if (call) {
        putU32(call->out, (uint32_t)card);
        putU32(call->out, sendPci->dwProtocol);
        putU32(call->out, *answerLength);
        putString(call->out, command, commandLength);
    }
    LONG result = exchange(call);
    uint32_t size = 0;
    const uint8_t *data = NULL;
    if (result == SCARD_S_SUCCESS)
        result = (LONG)readAnswer(call->in, (uint32_t)result, *answerLength, data, size);
    if (result == SCARD_S_SUCCESS) {
        memcpy(answer, data, size);
        *answerLength = size;
    }
    endCall(call);
    return result;
}

} // extern "C"
