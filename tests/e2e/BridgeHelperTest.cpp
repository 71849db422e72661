// The bridge helper spoken to in its wire format, as winscard.dll does:
// the calls reach pcscd and the card, malformed requests are refused with an
// error and the helper lives on, and a long status wait of one client does
// not hold up another.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "StackSupport.h"

#include "../../tools/pcsc-bridge/BridgeWire.h"
#include "support/TestHelpers.h"

namespace {

const Bytes SelectMasterFile = hexBytes("00A404000B 4D61737465722E46696C65");

struct Reply {
    bool received;
    uint32_t result;
    Bytes body;
};

class Wire {
public:
    Wire()
    {
        const std::string address = stackValue("VELMO_PCSC_BRIDGE");
        const size_t colon = address.find(':');
        struct sockaddr_in peer = {};
        peer.sin_family = AF_INET;
        peer.sin_port = htons((uint16_t)atoi(address.substr(colon + 1).c_str()));
        inet_pton(AF_INET, address.substr(0, colon).c_str(), &peer.sin_addr);
        fd = socket(AF_INET, SOCK_STREAM, 0);
        if (connect(fd, (struct sockaddr *)&peer, sizeof peer) != 0) {
            close(fd);
            fd = -1;
        }
    }
    ~Wire()
    {
        if (fd >= 0)
            close(fd);
    }

    bool connected() const { return fd >= 0; }

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

    Reply call(const Bytes &payload)
    {
        if (!sendFrame(payload))
            return Reply{false, 0, Bytes()};
        return receive();
    }

    // True once the helper has closed its end.
    bool closedByPeer(int timeout = 5000)
    {
        struct pollfd entry = {fd, POLLIN, 0};
        char byte;
        return poll(&entry, 1, timeout) == 1 && recv(fd, &byte, 1, 0) == 0;
    }

    static Bytes le32(uint32_t value)
    {
        return Bytes{(uint8_t)value, (uint8_t)(value >> 8), (uint8_t)(value >> 16), (uint8_t)(value >> 24)};
    }

private:
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
};

Bytes u32(uint32_t value) { return Wire::le32(value); }
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

TEST(BridgeHelperTest, CallsTravelToTheCardAndBack)
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

TEST(BridgeHelperTest, MalformedRequestsAreRefusedOnALiveConnection)
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

TEST(BridgeHelperTest, FramesOfImpossibleLengthEndTheConnectionButNotTheHelper)
{
    const std::vector<Bytes> frames = {
        Wire::le32(0),
        Wire::le32(3),
        Wire::le32(BridgeMaxFrame + 1),
        Wire::le32(0xFFFFFFFF),
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
        ASSERT_TRUE(halfFrame.sendRaw(concat({Wire::le32(100), u32(BridgeTransmit)})));
    }
    Wire wire;
    EXPECT_NE(establish(wire), 0u);
}

TEST(BridgeHelperTest, ALongStatusWaitDoesNotHoldUpOtherClients)
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

} // namespace
