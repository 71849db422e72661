// The bridge helper spoken to in its wire format, as winscard.dll does:
// only the user who started it, with its secret, is served, and nothing of
// a refused connection reaches the card; the calls reach pcscd and the card,
// malformed requests are refused with an error and the helper lives on; a
// client is held to its limits and what it leaves open is released; and
// neither a long status wait nor a half frame holds up another client.
//
// With VELMO_BRIDGE_RECORD naming a directory, the exchanges are written
// there as seeds of the bridge fuzz targets (scripts/fuzz).
#include <arpa/inet.h>
#include <grp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <random>

#include "StackSupport.h"

#include "../../tools/pcsc-bridge/BridgeWire.h"
#include "helpers/TestHelpers.h"

namespace {

const Bytes SelectMasterFile = hexBytes("00A404000B 4D61737465722E46696C65");

struct Reply {
    bool received;
    uint32_t result;
    Bytes body;
};

Bytes le32(uint32_t value)
{
    return Bytes{(uint8_t)value, (uint8_t)(value >> 8), (uint8_t)(value >> 16), (uint8_t)(value >> 24)};
}

// The helper's address and secret, as its bridge file gives them; read once,
// so that a child process of another user has them too.
struct BridgeFile {
    struct sockaddr_in address;
    Bytes secret;
};

const BridgeFile &bridgeFile()
{
    static BridgeFile file = [] {
        BridgeFile read = {};
        std::ifstream text(stackValue("VELMO_PCSC_BRIDGE"));
        std::string address, secret;
        std::getline(text, address);
        std::getline(text, secret);
        const size_t colon = address.find(':');
        read.address.sin_family = AF_INET;
        read.address.sin_port = htons((uint16_t)atoi(address.substr(colon + 1).c_str()));
        inet_pton(AF_INET, address.substr(0, colon).c_str(), &read.address.sin_addr);
        read.secret = hexBytes(secret);
        return read;
    }();
    return file;
}

uint64_t newClient()
{
    static std::mt19937_64 numbers(std::random_device{}());
    return numbers();
}

Bytes greeting(uint64_t client, const Bytes &secret)
{
    const Bytes payload =
        concat({le32(BridgeGreeting), secret, le32((uint32_t)client), le32((uint32_t)(client >> 32))});
    return concat({le32((uint32_t)payload.size()), payload});
}

Bytes rightGreeting(uint64_t client) { return greeting(client, bridgeFile().secret); }

// Writes one seed file into the recording directory, if there is one, named
// after its content so that a repeated exchange is kept once.
void recordSeed(const std::string &target, const Bytes &bytes)
{
    const std::string directory = stackValue("VELMO_BRIDGE_RECORD");
    if (directory.empty() || bytes.empty())
        return;
    char name[20];
    snprintf(name, sizeof name, "%016zx", std::hash<std::string>()(std::string(bytes.begin(), bytes.end())));
    mkdir((directory + "/" + target).c_str(), 0755);
    std::ofstream(directory + "/" + target + "/" + name, std::ios::binary)
        .write((const char *)bytes.data(), (std::streamsize)bytes.size());
}

class Wire {
public:
    // Connects and sends `opening` (the greeting of a new client unless told).
    explicit Wire(const Bytes &opening) { open(opening); }
    explicit Wire(uint64_t client) { open(rightGreeting(client)); }
    Wire() { open(rightGreeting(newClient())); }
    ~Wire()
    {
        recordSeed("bridge_requests", requests);
        if (fd >= 0)
            close(fd);
    }

    bool connected() const { return fd >= 0; }

    uint16_t localPort() const
    {
        struct sockaddr_in address = {};
        socklen_t size = sizeof address;
        getsockname(fd, (struct sockaddr *)&address, &size);
        return ntohs(address.sin_port);
    }

    bool sendRaw(const Bytes &bytes)
    {
        return fd >= 0 && ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == (ssize_t)bytes.size();
    }

    bool sendFrame(const Bytes &payload)
    {
        return sendRaw(concat({le32((uint32_t)payload.size()), payload}));
    }

    Reply receive(int timeout = 20000)
    {
        Reply reply = {false, 0, Bytes()};
        Bytes header, frame;
        if (!receiveBytes(4, header, timeout))
            return reply;
        const uint32_t length = header[0] | header[1] << 8 | header[2] << 16 | (uint32_t)header[3] << 24;
        if (length < 4 || length > BridgeMaxFrame || !receiveBytes(length, frame, timeout))
            return reply;
        reply.received = true;
        reply.result = frame[0] | frame[1] << 8 | frame[2] << 16 | (uint32_t)frame[3] << 24;
        reply.body.assign(frame.begin() + 4, frame.end());
        return reply;
    }

    // Sends a request and waits for its reply; each exchange is recorded:
    // the requests of a connection as one seed, each reply as another, after
    // the request's operation and the count or capacity it gave.
    Reply call(const Bytes &payload)
    {
        if (!sendFrame(payload))
            return Reply{false, 0, Bytes()};
        requests = concat({requests, le32((uint32_t)payload.size()), payload});
        const Reply reply = receive();
        if (reply.received && payload.size() >= 4) {
            const uint32_t parameter = payload.size() >= 16 ? payload[12] | payload[13] << 8 : 0;
            recordSeed("bridge_replies",
                       concat({Bytes{payload[0]}, le32(parameter), le32(reply.result), reply.body}));
        }
        return reply;
    }

    // True once the helper has closed its end without sending anything.
    bool closedByPeer(int timeout = 5000)
    {
        struct pollfd entry = {fd, POLLIN, 0};
        char byte;
        return poll(&entry, 1, timeout) == 1 && recv(fd, &byte, 1, 0) <= 0;
    }

private:
    void open(const Bytes &opening)
    {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        if (connect(fd, (const struct sockaddr *)&bridgeFile().address, sizeof bridgeFile().address) != 0 ||
            !sendRaw(opening)) {
            close(fd);
            fd = -1;
        }
    }

    bool receiveBytes(size_t count, Bytes &bytes, int timeout)
    {
        bytes.clear();
        const long long end = nowMilliseconds() + timeout;
        while (bytes.size() < count) {
            struct pollfd entry = {fd, POLLIN, 0};
            const long long left = end - nowMilliseconds();
            if (left <= 0 || poll(&entry, 1, (int)left) != 1)
                return false;
            uint8_t chunk[4096];
            const size_t wanted = std::min(sizeof chunk, count - bytes.size());
            const ssize_t n = recv(fd, chunk, wanted, 0);
            if (n <= 0)
                return false;
            bytes.insert(bytes.end(), chunk, chunk + n);
        }
        return true;
    }

    int fd = -1;
    Bytes requests;
};

Bytes u32(uint32_t value) { return le32(value); }
Bytes text(const std::string &value) { return concat({u32((uint32_t)value.size()), textBytes(value)}); }
uint32_t u32At(const Bytes &body, size_t at)
{
    return body[at] | body[at + 1] << 8 | body[at + 2] << 16 | (uint32_t)body[at + 3] << 24;
}

const uint32_t InvalidParameter = (uint32_t)SCARD_E_INVALID_PARAMETER;
const uint32_t InvalidHandle = (uint32_t)SCARD_E_INVALID_HANDLE;

uint32_t establish(Wire &wire)
{
    const Reply reply = wire.call(concat({u32(BridgeEstablishContext), u32(SCARD_SCOPE_USER)}));
    EXPECT_TRUE(reply.received);
    EXPECT_EQ(reply.result, (uint32_t)SCARD_S_SUCCESS);
    return reply.body.size() == 4 ? u32At(reply.body, 0) : 0;
}

class BridgeHelperTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(waitForEmptyReaders()); }
};

TEST_F(BridgeHelperTest, CallsTravelToTheCardAndBack)
{
    VirtualCardProcess virtualCard(stackValue("VELMO_VPCD_PORT0"),
                                   writeImage(familyCard(FamilyAtr21, hexBytes("001A2B3C4D5E")), "a"));
    ASSERT_EQ(virtualCard.command("insert"), "ok inserted");
    Wire wire;
    ASSERT_TRUE(wire.connected());
    const uint32_t context = establish(wire);
    ASSERT_NE(context, 0u);

    Reply reply = wire.call(concat({u32(BridgeListReaders), u32(context)}));
    const std::string both = stackValue("VELMO_READER0") + '\0' + stackValue("VELMO_READER1") + '\0' + '\0';
    EXPECT_EQ(reply.body, concat({u32((uint32_t)both.size()), textBytes(both)}));

    const std::string reader = stackValue("VELMO_READER0");
    const long long deadline = nowMilliseconds() + 15000;
    uint32_t event = 0;
    do {
        reply = wire.call(concat({u32(BridgeGetStatusChange), u32(context), u32(500), u32(1),
                                  u32(SCARD_STATE_UNAWARE), text(reader)}));
        ASSERT_EQ(reply.body.size(), 4u + 8 + BridgeAtrSize);
        event = u32At(reply.body, 4);
    } while (!(event & SCARD_STATE_PRESENT) && nowMilliseconds() < deadline);
    ASSERT_TRUE(event & SCARD_STATE_PRESENT);
    EXPECT_EQ(Bytes(reply.body.begin() + 12, reply.body.begin() + 12 + u32At(reply.body, 8)), atrFor(FamilyAtr21));

    reply = wire.call(concat({u32(BridgeConnect), u32(context), u32(SCARD_SHARE_SHARED), u32(SCARD_PROTOCOL_T0),
                              text(reader)}));
    ASSERT_EQ(reply.result, (uint32_t)SCARD_S_SUCCESS);
    ASSERT_EQ(reply.body.size(), 8u);
    const uint32_t card = u32At(reply.body, 0);
    EXPECT_EQ(u32At(reply.body, 4), (uint32_t)SCARD_PROTOCOL_T0);
    EXPECT_EQ(wire.call(concat({u32(BridgeBeginTransaction), u32(card)})).result, (uint32_t)SCARD_S_SUCCESS);

    const Bytes select = concat({u32(BridgeTransmit), u32(card), u32(SCARD_PROTOCOL_T0), u32(258),
                                 u32((uint32_t)SelectMasterFile.size()), SelectMasterFile});
    reply = wire.call(select);
    EXPECT_EQ(reply.result, (uint32_t)SCARD_S_SUCCESS);
    EXPECT_EQ(reply.body, concat({u32(2), hexBytes("9000")}));
    const Bytes tooSmall = concat({u32(BridgeTransmit), u32(card), u32(SCARD_PROTOCOL_T0), u32(1),
                                   u32((uint32_t)SelectMasterFile.size()), SelectMasterFile});
    EXPECT_EQ(wire.call(tooSmall).result, (uint32_t)SCARD_E_INSUFFICIENT_BUFFER);

    EXPECT_EQ(wire.call(concat({u32(BridgeEndTransaction), u32(card), u32(SCARD_LEAVE_CARD)})).result,
              (uint32_t)SCARD_S_SUCCESS);
    EXPECT_EQ(wire.call(concat({u32(BridgeDisconnect), u32(card), u32(SCARD_LEAVE_CARD)})).result,
              (uint32_t)SCARD_S_SUCCESS);
    EXPECT_EQ(wire.call(select).result, InvalidHandle);
    EXPECT_EQ(wire.call(concat({u32(BridgeReleaseContext), u32(context)})).result, (uint32_t)SCARD_S_SUCCESS);
    EXPECT_EQ(wire.call(concat({u32(BridgeListReaders), u32(context)})).result, InvalidHandle);
}

TEST_F(BridgeHelperTest, MalformedRequestsAreRefusedOnALiveConnection)
{
    Wire wire;
    ASSERT_TRUE(wire.connected());
    const uint32_t context = establish(wire);
    const std::vector<std::pair<Bytes, uint32_t>> cases = {
        {u32(0), (uint32_t)SCARD_E_UNSUPPORTED_FEATURE},
        {u32(0xDEADBEEF), (uint32_t)SCARD_E_UNSUPPORTED_FEATURE},
        {u32(BridgeEstablishContext), InvalidParameter},
        {concat({u32(BridgeConnect), u32(context), u32(2), u32(1), u32(0xFFFFFFFF)}), InvalidParameter},
        {concat({u32(BridgeConnect), u32(context), u32(2), u32(1), u32(10), textBytes("short")}), InvalidParameter},
        {concat({u32(BridgeGetStatusChange), u32(context), u32(0), u32(100000)}), InvalidParameter},
        {concat({u32(BridgeGetStatusChange), u32(context), u32(0), u32(2), u32(0), text("x")}), InvalidParameter},
        {concat({u32(BridgeTransmit), u32(1), u32(1), u32(258), u32(0)}), InvalidParameter},
        {concat({u32(BridgeTransmit), u32(1), u32(1), u32(258), u32(0x7FFFFFFF), u32(0)}), InvalidParameter},
        {concat({u32(BridgeTransmit), u32(0x12345), u32(1), u32(258), u32(1), Bytes{0}}), InvalidHandle},
        {concat({u32(BridgeBeginTransaction), u32(context)}), InvalidHandle}, // a context is not a card
        {concat({u32(BridgeListReaders), u32(0)}), InvalidHandle},
        {concat({u32(BridgeReleaseContext), u32(0xFFFFFFFF)}), InvalidHandle},
    };
    for (const auto &request : cases) {
        const Reply reply = wire.call(request.first);
        ASSERT_TRUE(reply.received) << testing::PrintToString(request.first);
        EXPECT_EQ(reply.result, request.second) << testing::PrintToString(request.first);
        EXPECT_TRUE(reply.body.empty());
    }
    EXPECT_NE(establish(wire), 0u);
}

TEST_F(BridgeHelperTest, FramesOfImpossibleLengthEndTheConnectionButNotTheHelper)
{
    const std::vector<Bytes> frames = {
        le32(0),
        le32(3),
        le32(BridgeMaxFrame + 1),
        le32(0xFFFFFFFF),
    };
    for (const Bytes &frame : frames) {
        Wire wire;
        ASSERT_TRUE(wire.sendRaw(frame));
        const Reply reply = wire.receive();
        EXPECT_TRUE(reply.received);
        EXPECT_EQ(reply.result, InvalidParameter);
        EXPECT_TRUE(wire.closedByPeer());
    }
    {
        Wire halfFrame; // the client goes away in the middle of a request
        ASSERT_TRUE(halfFrame.sendRaw(concat({le32(100), u32(BridgeTransmit)})));
    }
    Wire wire;
    EXPECT_NE(establish(wire), 0u);
}

TEST_F(BridgeHelperTest, ALongStatusWaitDoesNotHoldUpOtherClients)
{
    Wire waiting, other;
    const uint32_t context = establish(waiting);
    const std::string reader = stackValue("VELMO_READER1");
    const Reply now = waiting.call(concat({u32(BridgeGetStatusChange), u32(context), u32(0), u32(1),
                                           u32(SCARD_STATE_UNAWARE), text(reader)}));
    ASSERT_EQ(now.body.size(), 4u + 8 + BridgeAtrSize);
    const uint32_t current = u32At(now.body, 4) & ~(uint32_t)SCARD_STATE_CHANGED;
    ASSERT_TRUE(waiting.sendFrame(concat({u32(BridgeGetStatusChange), u32(context), u32(30000), u32(1),
                                          u32(current), text(reader)})));

    const long long start = nowMilliseconds();
    const uint32_t otherContext = establish(other);
    const Reply list = other.call(concat({u32(BridgeListReaders), u32(otherContext)}));
    EXPECT_EQ(list.result, (uint32_t)SCARD_S_SUCCESS);
    EXPECT_LT(nowMilliseconds() - start, 5000);

    VirtualCardProcess virtualCard(stackValue("VELMO_VPCD_PORT1"),
                                   writeImage(familyCard(FamilyAtr20, hexBytes("0123456789ABCD")), "b"));
    ASSERT_EQ(virtualCard.command("insert"), "ok inserted");
    const Reply change = waiting.receive(20000);
    ASSERT_TRUE(change.received);
    EXPECT_EQ(change.result, (uint32_t)SCARD_S_SUCCESS);
    ASSERT_EQ(change.body.size(), 4u + 8 + BridgeAtrSize);
    EXPECT_TRUE(u32At(change.body, 4) & SCARD_STATE_PRESENT);
}

// Waits for a card in `reader` and connects to it.
uint32_t connectWhenPresent(Wire &wire, uint32_t context, const std::string &reader, uint32_t shareMode)
{
    const long long deadline = nowMilliseconds() + 15000;
    for (;;) {
        const Reply reply = wire.call(concat({u32(BridgeConnect), u32(context), u32(shareMode),
                                              u32(SCARD_PROTOCOL_T0), text(reader)}));
        if (reply.result == SCARD_S_SUCCESS && reply.body.size() == 8)
            return u32At(reply.body, 0);
        if (nowMilliseconds() > deadline)
            return 0;
        usleep(100000);
    }
}

long commandsSeen(VirtualCardProcess &card)
{
    const std::string answer = card.command("counters"); // "ok commands N ..."
    return answer.compare(0, 12, "ok commands ") == 0 ? atol(answer.c_str() + 12) : -1;
}

int logLines(const std::string &needle)
{
    std::ifstream log(stackValue("VELMO_STACK_RUN") + "/bridge.log");
    int count = 0;
    for (std::string line; std::getline(log, line);)
        count += line.find(needle) != std::string::npos;
    return count;
}

// Sends `opening` from a process of user nobody; answers the port it came
// from once the helper closed the connection without a word, else 0.
uint16_t sentAsNobody(const Bytes &opening)
{
    int report[2];
    if (pipe(report) != 0)
        return 0;
    bridgeFile(); // read while still allowed to
    const pid_t pid = fork();
    if (pid == 0) {
        close(report[0]);
        uint16_t port = 0;
        if (setgroups(0, NULL) == 0 && setgid(65534) == 0 && setuid(65534) == 0) {
            Wire wire(opening);
            if (wire.connected() && wire.closedByPeer(10000))
                port = wire.localPort();
        }
        _exit(write(report[1], &port, sizeof port) == sizeof port ? 0 : 1);
    }
    close(report[1]);
    uint16_t port = 0;
    if (pid < 0 || read(report[0], &port, sizeof port) != sizeof port)
        port = 0;
    close(report[0]);
    if (pid > 0)
        waitpid(pid, NULL, 0);
    return port;
}

TEST_F(BridgeHelperTest, OnlyTheUsersSocketWithTheSecretIsServedAndNothingElseIsRead)
{
    VirtualCardProcess virtualCard(stackValue("VELMO_VPCD_PORT0"),
                                   writeImage(familyCard(FamilyAtr21, hexBytes("001A2B3C4D5E")), "a"));
    ASSERT_EQ(virtualCard.command("insert"), "ok inserted");
    const uint64_t client = newClient();
    Wire owner(client);
    const uint32_t card = connectWhenPresent(owner, establish(owner), stackValue("VELMO_READER0"),
                                             SCARD_SHARE_SHARED);
    ASSERT_NE(card, 0u);
    const Bytes select = concat({u32(BridgeTransmit), u32(card), u32(SCARD_PROTOCOL_T0), u32(258),
                                 u32((uint32_t)SelectMasterFile.size()), SelectMasterFile});
    const Bytes request = concat({le32((uint32_t)select.size()), select});
    const long before = commandsSeen(virtualCard);
    ASSERT_GE(before, 0);

    // Each opening below is followed by a command for the owner's card, on
    // its own client number: none of them may reach the card.
    Bytes wrongSecret = bridgeFile().secret;
    wrongSecret.back() ^= 1;
    const Bytes good = rightGreeting(client);
    struct Case {
        const char *what;
        Bytes opening;
        bool asNobody;
    };
    const std::vector<Case> cases = {
        {"another user with the secret", concat({good, request}), true},
        {"a wrong secret", concat({greeting(client, wrongSecret), request}), false},
        {"no secret", concat({greeting(client, Bytes()), request}), false},
        {"no greeting", request, false},
        {"a greeting cut short", Bytes(good.begin(), good.begin() + 20), false},
    };
    for (const Case &refused : cases) {
        uint16_t port = 0;
        if (refused.asNobody) {
            port = sentAsNobody(refused.opening);
        } else {
            Wire wire(refused.opening);
            if (wire.closedByPeer(10000))
                port = wire.localPort();
        }
        ASSERT_NE(port, 0) << refused.what << ": not closed without a reply";
        EXPECT_EQ(logLines("refused 127.0.0.1:" + std::to_string(port) + ":"), 1) << refused.what;
    }
    EXPECT_EQ(logLines("a socket of user 65534"), 1);
    EXPECT_EQ(commandsSeen(virtualCard), before);
    EXPECT_EQ(owner.call(select).result, (uint32_t)SCARD_S_SUCCESS);
    EXPECT_EQ(commandsSeen(virtualCard), before + 1);
}

TEST_F(BridgeHelperTest, AClientIsHeldToItsLimitsAndWhatItLeavesIsReleased)
{
    VirtualCardProcess virtualCard(stackValue("VELMO_VPCD_PORT0"),
                                   writeImage(familyCard(FamilyAtr20, hexBytes("0123456789ABCD")), "b"));
    ASSERT_EQ(virtualCard.command("insert"), "ok inserted");
    const std::string reader = stackValue("VELMO_READER0");
    const uint64_t client = newClient();
    {
        std::vector<std::unique_ptr<Wire>> wires;
        wires.emplace_back(new Wire(client));
        std::vector<uint32_t> contexts;
        for (int i = 0; i < 16; i++)
            contexts.push_back(establish(*wires[0]));
        const Reply beyond = wires[0]->call(concat({u32(BridgeEstablishContext), u32(SCARD_SCOPE_USER)}));
        EXPECT_EQ(beyond.result, (uint32_t)SCARD_E_NO_MEMORY);
        const uint32_t card = connectWhenPresent(*wires[0], contexts[0], reader, SCARD_SHARE_EXCLUSIVE);
        ASSERT_NE(card, 0u);
        EXPECT_EQ(wires[0]->call(concat({u32(BridgeBeginTransaction), u32(card)})).result,
                  (uint32_t)SCARD_S_SUCCESS);

        // Handles are shared by the connections of one client only.
        Wire stranger;
        EXPECT_EQ(stranger.call(concat({u32(BridgeListReaders), u32(contexts[1])})).result, InvalidHandle);
        for (int i = 1; i < 16; i++) {
            wires.emplace_back(new Wire(client));
            EXPECT_EQ(wires.back()->call(concat({u32(BridgeListReaders), u32(contexts[i])})).result,
                      (uint32_t)SCARD_S_SUCCESS);
        }
        Wire seventeenth(client);
        EXPECT_TRUE(seventeenth.closedByPeer());
    }
    // Its last connection gone, the client's exclusive card is free again.
    Wire next;
    EXPECT_NE(connectWhenPresent(next, establish(next), reader, SCARD_SHARE_EXCLUSIVE), 0u);
}

// Ends the stack's pcscd ("pcscd-stop"), as when the service stops, or
// starts it again ("pcscd-start").
void pcscd(const char *command)
{
    const std::string line = "'" + stackValue("VELMO_SOURCE_DIR") + "/scripts/pcsc-stack' " + command + " '" +
                             stackValue("VELMO_STACK_RUN") + "' >/dev/null";
    EXPECT_EQ(system(line.c_str()), 0) << line;
}

TEST_F(BridgeHelperTest, ACardWhoseDisconnectionFailsGivesItsPlaceBack)
{
    VirtualCardProcess virtualCard(stackValue("VELMO_VPCD_PORT0"),
                                   writeImage(familyCard(FamilyAtr21, hexBytes("001A2B3C4D5E")), "a"));
    ASSERT_EQ(virtualCard.command("insert"), "ok inserted");
    const std::string reader = stackValue("VELMO_READER0");
    Wire wire;
    const uint32_t context = establish(wire);
    std::vector<uint32_t> cards;
    for (int i = 0; i < 32; i++)
        cards.push_back(connectWhenPresent(wire, context, reader, SCARD_SHARE_SHARED));
    ASSERT_EQ(std::count(cards.begin(), cards.end(), 0u), 0);
    const Bytes connect =
        concat({u32(BridgeConnect), u32(context), u32(SCARD_SHARE_SHARED), u32(SCARD_PROTOCOL_T0), text(reader)});
    EXPECT_EQ(wire.call(connect).result, (uint32_t)SCARD_E_NO_MEMORY);
    // A disposition the resource manager refuses leaves the card connected.
    EXPECT_EQ(wire.call(concat({u32(BridgeDisconnect), u32(cards[0]), u32(7)})).result,
              (uint32_t)SCARD_E_INVALID_VALUE);
    EXPECT_EQ(wire.call(concat({u32(BridgeBeginTransaction), u32(cards[0])})).result, (uint32_t)SCARD_S_SUCCESS);

    // With pcscd gone every disconnection fails, and gives the place back.
    pcscd("pcscd-stop");
    for (uint32_t card : cards)
        EXPECT_NE(wire.call(concat({u32(BridgeDisconnect), u32(card), u32(SCARD_LEAVE_CARD)})).result,
                  (uint32_t)SCARD_S_SUCCESS);
    EXPECT_EQ(wire.call(concat({u32(BridgeBeginTransaction), u32(cards[0])})).result, InvalidHandle);
    const Reply again = wire.call(connect);
    pcscd("pcscd-start");
    EXPECT_NE(again.result, (uint32_t)SCARD_E_NO_MEMORY); // pcscd's answer, not the helper's refusal
    EXPECT_NE(again.result, (uint32_t)SCARD_S_SUCCESS);
}

TEST_F(BridgeHelperTest, AHalfFrameIsDroppedAfterATimeOutWhileOthersAreServed)
{
    Wire half;
    ASSERT_TRUE(half.sendRaw(concat({le32(100), u32(BridgeTransmit)})));
    const long long start = nowMilliseconds();
    Wire other;
    const Reply list = other.call(concat({u32(BridgeListReaders), u32(establish(other))}));
    EXPECT_EQ(list.result, (uint32_t)SCARD_S_SUCCESS);
    EXPECT_LT(nowMilliseconds() - start, 3000);
    EXPECT_TRUE(half.closedByPeer(15000));
    EXPECT_EQ(other.call(concat({u32(BridgeListReaders), u32(establish(other))})).result,
              (uint32_t)SCARD_S_SUCCESS);
}

} // namespace
