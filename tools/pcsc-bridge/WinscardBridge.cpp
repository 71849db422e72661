// winscard.dll for Wine: each PC/SC call the program makes is sent over
// loopback TCP to the native bridge helper, which makes it on pcscd. The
// helper's address comes from VELMO_PCSC_BRIDGE ("127.0.0.1:PORT").
// Connections are pooled: a call takes an idle one or opens a new one, so a
// thread waiting for a status change never holds up another thread's call.
#include <winsock2.h>
#include <windows.h>
#include <winscard.h>

#include <stdlib.h>

#include "BridgeWire.h"

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

bool helperAddress(struct sockaddr_in &address)
{
    char text[64];
    const DWORD length = GetEnvironmentVariableA("VELMO_PCSC_BRIDGE", text, sizeof text);
    if (length == 0 || length >= sizeof text)
        return false;
    char *colon = strchr(text, ':');
    if (!colon)
        return false;
    *colon = '\0';
    char *end = NULL;
    const long port = strtol(colon + 1, &end, 10);
    if (*end || port <= 0 || port > 65535)
        return false;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons((u_short)port);
    address.sin_addr.s_addr = inet_addr(text);
    return address.sin_addr.s_addr != INADDR_NONE;
}

SOCKET openConnection()
{
    struct sockaddr_in address;
    if (!helperAddress(address))
        return INVALID_SOCKET;
    EnterCriticalSection(&poolLock);
    if (!winsockReady) {
        WSADATA data;
        winsockReady = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }
    const bool ready = winsockReady;
    LeaveCriticalSection(&poolLock);
    if (!ready)
        return INVALID_SOCKET;
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET)
        return s;
    const BOOL on = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, (const char *)&on, sizeof on);
    if (connect(s, (struct sockaddr *)&address, sizeof address) != 0) {
        closesocket(s);
        return INVALID_SOCKET;
    }
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

bool exchangeOn(SOCKET s, Call *call)
{
    BridgeWriter header = bridgeWriter(call->request, 4);
    putU32(header, call->out.length);
    if (!sendAll(s, call->request, 4 + call->out.length))
        return false;
    uint8_t lengthBytes[4];
    if (!receiveAll(s, lengthBytes, sizeof lengthBytes))
        return false;
    BridgeReader lengthReader = bridgeReader(lengthBytes, sizeof lengthBytes);
    const uint32_t length = getU32(lengthReader);
    if (length < 4 || length > BridgeMaxFrame)
        return false;
    call->reply = (uint8_t *)malloc(length);
    if (!call->reply || !receiveAll(s, call->reply, length))
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
    if (reason == DLL_PROCESS_ATTACH)
        InitializeCriticalSection(&poolLock);
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
    LONG result = exchange(call);
    if (result == SCARD_S_SUCCESS) {
        *context = getU32(call->in);
        if (call->in.failed)
            result = SCARD_F_INTERNAL_ERROR;
    }
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
    const uint8_t *list = result == SCARD_S_SUCCESS ? getString(call->in, BridgeMaxFrame, size) : NULL;
    if (result == SCARD_S_SUCCESS && (call->in.failed || size == 0 || list[size - 1] != '\0'))
        result = SCARD_F_INTERNAL_ERROR;
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
    const uint32_t answered = getU32(call->in);
    if (call->in.failed || answered != count) {
        endCall(call);
        return result == SCARD_S_SUCCESS ? SCARD_F_INTERNAL_ERROR : result;
    }
    for (DWORD i = 0; i < count; i++) {
        const uint32_t eventState = getU32(call->in);
        const uint32_t atrLength = getU32(call->in);
        const uint8_t *atr = getBytes(call->in, BridgeAtrSize);
        if (call->in.failed || atrLength > BridgeAtrSize)
            break;
        states[i].dwEventState = eventState;
        states[i].cbAtr = atrLength;
        memcpy(states[i].rgbAtr, atr, sizeof states[i].rgbAtr);
    }
    if (call->in.failed && result == SCARD_S_SUCCESS)
        result = SCARD_F_INTERNAL_ERROR;
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
    LONG result = exchange(call);
    if (result == SCARD_S_SUCCESS) {
        const uint32_t handle = getU32(call->in);
        const uint32_t protocol = getU32(call->in);
        if (call->in.failed) {
            result = SCARD_F_INTERNAL_ERROR;
        } else {
            *card = handle;
            if (activeProtocol)
                *activeProtocol = protocol;
        }
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
    if (result == SCARD_S_SUCCESS) {
        uint32_t size = 0;
        const uint8_t *data = getString(call->in, BridgeMaxApdu, size);
        if (call->in.failed) {
            result = SCARD_F_INTERNAL_ERROR;
        } else if (size > *answerLength) {
            result = SCARD_E_INSUFFICIENT_BUFFER;
        } else {
            memcpy(answer, data, size);
            *answerLength = size;
        }
    }
    endCall(call);
    return result;
}

} // extern "C"
