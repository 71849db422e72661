// The certificate walk over CDF entries, the path text and the compressed
// certificate files, on well-formed and on hostile cards.
#include <gtest/gtest.h>

#include <string.h>

#include "card/CardSession.h"
#include "card-image/TestCertificates.h"
#include "helpers/TestHelpers.h"

using namespace fakepcsc;

namespace {

const std::vector<uint16_t> CdfPath = {0x3F00, 0x5015, 0x6004};
const std::vector<uint16_t> CertificatePath = {0x3F00, 0x5015, 0xC001};
const Bytes SelectMasterFile = hexBytes("00A404000B 4D61737465722E46696C65");

CertificateDescription certificateAt(const Bytes &der, const std::string &pathText, uint8_t id = 0x45)
{
    return CertificateDescription{der, Bytes{id}, pathText};
}

// A CDF entry built element by element, so that tests can change one.
Bytes entryOf(const Bytes &typeContent, const Bytes &beforeType = Bytes())
{
    return derTlv(0x30, concat({derTlv(0x30, derTlv(0x0C, textBytes("Certificado"))),
                                derTlv(0x30, derTlv(0x04, Bytes{0x45})), beforeType,
                                derTlv(0xA1, typeContent)}));
}

Bytes pathElements(const std::string &pathText, bool index = true, bool length = true)
{
    return concat({derTlv(0x04, textBytes(pathText)), index ? derTlv(0x02, Bytes{0}) : Bytes(),
                   length ? derTlv(0x80, Bytes{0x03, 0x00}) : Bytes()});
}

// The same entry with its outer length written as 81 xx.
Bytes withOneOctetLength(const Bytes &entry)
{
    return concat({Bytes{0x30, 0x81, entry[1]}, Bytes(entry.begin() + 2, entry.end())});
}

class CertificateTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        reset();
        card = emptyCard();
        memset(&record, 0, sizeof record);
    }
    void TearDown() override { delete session; }

    void addCertificate(const CertificateDescription &certificate)
    {
        cdf = concat({cdf, cdfEntry(certificate)});
        card.putFile(parsePathText(certificate.pathText), certificateFile(certificate.der));
    }

    void open()
    {
        card.putFile(CdfPath, concat({cdf, Bytes(16, 0x00)}));
        session = new CardSession(connectCard(card));
        clearCommandLog();
    }

    bool next()
    {
        record.dataLength = CertificateCapacity;
        return session->nextCertificate(record);
    }

    Bytes data() const { return Bytes(record.data, record.data + record.dataLength); }

    // The files selected after the master file on the way to the first
    // certificate file header read.
    std::vector<Bytes> certificateFileSelection() const
    {
        const std::vector<Bytes> sent = sentCommands();
        size_t header = 0;
        while (header < sent.size() && sent[header] != hexBytes("00B0000008"))
            header++;
        size_t master = header;
        while (master > 0 && sent[master] != SelectMasterFile)
            master--;
        return std::vector<Bytes>(sent.begin() + (long)master + 1, sent.begin() + (long)header);
    }

    CardImage card;
    Bytes cdf;
    CardCertificate record;
    CardSession *session = nullptr;
};

TEST_F(CertificateTest, WalksOneCertificateWithTheExactCommands)
{
    const Bytes der = signingCertificate();
    // A 45-octet entry, 30 2B, with its elements at 2, 17, 22, 24, 26, 38 and 41;
    // a key entry of 72 octets, 30 48.
    addCertificate(certificateAt(der, "\\5015\\C001"));
    const KeyDescription key{Bytes{0x45}, {0x20, 0x00}, 1, "\\3F00\\5015\\4B01"};
    card.putFile({0x3F00, 0x5015, 0x6001}, concat({prkdfEntry(key), Bytes(16, 0x00)}));
    open();
    ASSERT_TRUE(next());

    std::vector<Bytes> expected = {
        SelectMasterFile, hexBytes("00A404000C A000000063504B43532D3135"), hexBytes("00A4000002 6004"),
        hexBytes("00B0000004"), hexBytes("00B0000204"), hexBytes("00B0001104"), hexBytes("00B0001303"),
        hexBytes("00B0001604"), hexBytes("00B0001804"), hexBytes("00B0001A04"), hexBytes("00B0001C0A"),
        hexBytes("00B0002604"), hexBytes("00B0002801"), hexBytes("00B0002904"), hexBytes("00B0002B02"),
        SelectMasterFile, hexBytes("00A4000002 5015"), hexBytes("00A4000002 C001"), hexBytes("00B0000008"),
    };
    const size_t streamSize = certificateFile(der).size() - 8;
    for (size_t at = 0; at < streamSize; at += 128) {
        const size_t piece = std::min<size_t>(128, streamSize - at);
        expected.push_back(Bytes{0x00, 0xB0, (uint8_t)((8 + at) >> 8), (uint8_t)(8 + at), (uint8_t)piece});
    }
    const std::vector<Bytes> keyLookup = {
        SelectMasterFile, hexBytes("00A404000C A000000063504B43532D3135"), hexBytes("00A4000002 6001"),
        hexBytes("00B0000004"), hexBytes("00B0000248"), hexBytes("90B8000012"),
    };
    expected.insert(expected.end(), keyLookup.begin(), keyLookup.end());
    EXPECT_EQ(sentCommands(), expected);

    EXPECT_EQ(record.cursor, 45);
    EXPECT_EQ(record.dataLength, der.size()); // the certificate's length, not the capacity
    EXPECT_EQ(data(), der);
    EXPECT_STREQ(record.containerName, "001A2B3C4D5E200001\\3F00\\501");
    EXPECT_EQ(record.keyUsage, 0x2000);
}

TEST_F(CertificateTest, WalksEveryEntryThenAnswersFalse)
{
    const Bytes ders[] = {signingCertificate(), encryptionCertificate(), caCertificate()};
    const char *paths[] = {"\\5015\\C001", "\\5015\\C002", "\\5015\\C003"};
    for (int i = 0; i < 3; i++)
        addCertificate(certificateAt(ders[i], paths[i], (uint8_t)(0x45 + i)));
    open();
    for (const Bytes &der : ders) {
        ASSERT_TRUE(next());
        EXPECT_EQ(data(), der);
        EXPECT_STREQ(record.containerName, ""); // no PrKDF entries
        EXPECT_EQ(record.keyUsage, 0);
    }
    EXPECT_EQ(record.cursor, (int32_t)cdf.size());
    const CardCertificate before = record;
    EXPECT_FALSE(next());
    EXPECT_EQ(record.cursor, (int32_t)cdf.size());
    EXPECT_EQ(memcmp(&before.data, &record.data, sizeof record.data), 0);
}

TEST_F(CertificateTest, AnEmptyCdfLeavesTheRecordUnchanged)
{
    open();
    record.cursor = 0;
    memset(record.data, 0xA5, sizeof record.data);
    strcpy(record.containerName, "previous");
    record.keyUsage = 0x4000;
    EXPECT_FALSE(next());
    EXPECT_EQ(record.cursor, 0);
    EXPECT_EQ(record.dataLength, CertificateCapacity);
    EXPECT_EQ(Bytes(record.data, record.data + 8), Bytes(8, 0xA5));
    EXPECT_STREQ(record.containerName, "previous");
    EXPECT_EQ(record.keyUsage, 0x4000);
}

TEST_F(CertificateTest, LongFormHeadersAreWalkedLikeShortOnes)
{
    const CertificateDescription first = certificateAt(signingCertificate(), "\\5015\\C001");
    const CertificateDescription second = certificateAt(encryptionCertificate(), "\\5015\\C002");
    const Bytes longForm = cdfEntry(first, true);
    const Bytes oneOctet = withOneOctetLength(cdfEntry(second));
    ASSERT_EQ(longForm[1], 0x82);
    cdf = concat({longForm, oneOctet});
    card.putFile(parsePathText(first.pathText), certificateFile(first.der));
    card.putFile(parsePathText(second.pathText), certificateFile(second.der));
    open();
    ASSERT_TRUE(next());
    EXPECT_EQ(record.cursor, 4 + (longForm[2] << 8 | longForm[3]));
    EXPECT_EQ(data(), first.der);
    ASSERT_TRUE(next());
    EXPECT_EQ(record.cursor, (int32_t)(longForm.size() + 3 + oneOctet[2]));
    EXPECT_EQ(data(), second.der);
    EXPECT_FALSE(next());
}

TEST_F(CertificateTest, MalformedEntriesEndTheWalkPastTheEntry)
{
    const Bytes path = textBytes("\\5015\\C001");
    const Bytes seven = textBytes("\\5015\\4401\\4402\\4403\\4404\\4405\\C001");
    struct Case {
        const char *what;
        Bytes entry;
    } cases[] = {
        {"subClassAttributes [0]", entryOf(derTlv(0x30, pathElements("\\5015\\C001")),
                                           derTlv(0xA0, derTlv(0x30, Bytes())))},
        {"no index", entryOf(derTlv(0x30, pathElements("\\5015\\C001", false)))},
        {"no length", entryOf(derTlv(0x30, pathElements("\\5015\\C001", true, false)))},
        {"Path SEQUENCE", entryOf(derTlv(0x30, derTlv(0x30, pathElements("\\5015\\C001"))))},
        {"seven components", entryOf(derTlv(0x30, concat({derTlv(0x04, seven), hexBytes("020100 80020300")})))},
        {"three length octets", entryOf(concat({hexBytes("3083000011"), pathElements("\\5015\\C001")}))},
        {"path longer than its SEQUENCE", entryOf(concat({hexBytes("3005"), derTlv(0x04, path), hexBytes("020100 80020300")}))},
        {"SEQUENCE longer than [1]", entryOf(concat({hexBytes("3030"), pathElements("\\5015\\C001")}))},
    };
    const CertificateDescription good = certificateAt(signingCertificate(), "\\5015\\C001");
    card.putFile(CertificatePath, certificateFile(good.der));
    for (const Case &c : cases) {
        reset();
        cdf = concat({c.entry, cdfEntry(good)});
        delete session;
        open();
        EXPECT_FALSE(next()) << c.what;
        EXPECT_EQ(record.cursor, (int32_t)c.entry.size()) << c.what;
        record.cursor = 0;
    }
}

TEST_F(CertificateTest, HostileOuterHeadersEndTheWalk)
{
    struct Case {
        const char *what;
        Bytes cdfBytes;
        int32_t cursor;
        size_t commands; // the CDF selection, then one header read or none
    } cases[] = {
        {"three length octets", hexBytes("3083000100 3000"), 0, 4},
        {"beyond 16-bit offsets", hexBytes("3082FFFF 3000"), 0, 4},
        {"negative cursor", cdfEntry(certificateAt(signingCertificate(), "\\5015\\C001")), -1, 3},
        {"a header window past the addressing limit", Bytes(), 0xFFFC, 3},
    };
    for (const Case &c : cases) {
        reset();
        cdf = c.cdfBytes;
        delete session;
        open();
        record.cursor = c.cursor;
        EXPECT_FALSE(next()) << c.what;
        EXPECT_EQ(record.cursor, c.cursor) << c.what;
        EXPECT_EQ(sentCommands().size(), c.commands) << c.what;
    }
}

TEST(CertificatePath, ParsesComponentsOfFiveCharacters)
{
    struct Case {
        const char *text;
        std::vector<uint16_t> ids;
    } cases[] = {
        {"", {}},
        {"5015\\C001", {}},
        {"\\5015", {0x5015}},
        {"\\c0a1\\C0A1", {0xC0A1, 0xC0A1}},
        {"\\12", {0x0012}},
        {"\\5015\\", {0x5015, 0x0000}},
        {"\\5015x\\4401", {0x5015}},
        {"\\123456", {0x3456}}, // a longer run keeps its low 16 bits
        {"\\5015\\4401\\4402\\4403\\4404\\C001", {0x5015, 0x4401, 0x4402, 0x4403, 0x4404, 0xC001}},
    };
    for (const Case &c : cases) {
        uint16_t ids[FilePathCapacity] = {};
        const Bytes text = textBytes(c.text);
        const int count = CardSession::parseFilePath(text.data(), (uint32_t)text.size(), ids);
        EXPECT_EQ(std::vector<uint16_t>(ids, ids + std::max(count, 0)), c.ids) << c.text;
    }
    const Bytes seven = textBytes("\\0001\\0002\\0003\\0004\\0005\\0006\\0007");
    uint16_t ids[FilePathCapacity];
    EXPECT_EQ(CardSession::parseFilePath(seven.data(), (uint32_t)seven.size(), ids), -1);
}

TEST_F(CertificateTest, PathTextsOfFiveAndThirtyCharactersSelectOneAndSixFiles)
{
    const std::string deep = "\\5015\\4401\\4402\\4403\\4404\\C001";
    addCertificate(certificateAt(signingCertificate(), "\\C001"));
    addCertificate(certificateAt(encryptionCertificate(), deep));
    open();
    ASSERT_TRUE(next());
    EXPECT_EQ(certificateFileSelection(), std::vector<Bytes>{hexBytes("00A4000002 C001")});
    EXPECT_EQ(data(), signingCertificate());
    clearCommandLog();
    ASSERT_TRUE(next());
    const std::vector<Bytes> six = {hexBytes("00A4000002 5015"), hexBytes("00A4000002 4401"),
                                    hexBytes("00A4000002 4402"), hexBytes("00A4000002 4403"),
                                    hexBytes("00A4000002 4404"), hexBytes("00A4000002 C001")};
    EXPECT_EQ(certificateFileSelection(), six);
    EXPECT_EQ(data(), encryptionCertificate());
}

TEST_F(CertificateTest, InflatedSizeIsBoundedByTheCapacity)
{
    addCertificate(certificateAt(patternBytes(4096), "\\5015\\C001"));
    addCertificate(certificateAt(patternBytes(4097), "\\5015\\C002"));
    addCertificate(certificateAt(patternBytes(100), "\\5015\\C003"));
    open();
    ASSERT_TRUE(next());
    EXPECT_EQ(record.dataLength, 4096u);
    EXPECT_EQ(data(), patternBytes(4096));

    clearCommandLog();
    EXPECT_FALSE(next());
    EXPECT_EQ(sentCommands().back(), hexBytes("00B0000008")); // refused before the stream is read

    // A caller's capacity above the record's own never lets more in.
    record.cursor = 0;
    record.dataLength = 100000;
    ASSERT_TRUE(session->nextCertificate(record));
    record.dataLength = 100000;
    EXPECT_FALSE(session->nextCertificate(record));

    // Nor does a smaller one.
    record.dataLength = 99;
    EXPECT_FALSE(session->nextCertificate(record));
}

TEST_F(CertificateTest, ABodyThatIsNotAZlibStreamEndsTheWalk)
{
    const Bytes der = signingCertificate();
    const uint8_t size[4] = {(uint8_t)der.size(), (uint8_t)(der.size() >> 8), 0, 0};
    Bytes stored = concat({Bytes(size, size + 4), Bytes(size, size + 4), der});
    cdf = cdfEntry(certificateAt(der, "\\5015\\C001"));
    card.putFile(CertificatePath, stored);
    open();
    EXPECT_FALSE(next());
}

TEST_F(CertificateTest, UnreadableCertificateFilesArePassedOver)
{
    const Bytes good = encryptionCertificate();
    Bytes stream = certificateFile(signingCertificate());
    Bytes absurd = stream;
    absurd[4] = 0xF0, absurd[5] = 0xFF, absurd[6] = 0xFF, absurd[7] = 0xFF;
    Bytes pastTheEnd = stream;
    pastTheEnd.resize(pastTheEnd.size() - 10);
    struct Case {
        const char *what;
        bool present;
        Bytes file;
    } cases[] = {
        {"missing", false, Bytes()},
        {"header cut short", true, Bytes(stream.begin(), stream.begin() + 6)},
        {"stream cut short", true, pastTheEnd},
        {"absurd compressed size", true, absurd},
    };
    for (const Case &c : cases) {
        reset();
        card = emptyCard();
        cdf.clear();
        addCertificate(certificateAt(good, "\\5015\\C002"));
        const Bytes skipped = cdfEntry(certificateAt(signingCertificate(), "\\5015\\C001"));
        cdf = concat({skipped, cdf});
        if (c.present)
            card.putFile(CertificatePath, c.file);
        delete session;
        open();
        memset(record.data, 0, sizeof record.data);
        record.cursor = 0;
        ASSERT_TRUE(next()) << c.what;
        EXPECT_EQ(data(), good) << c.what;
        EXPECT_EQ(record.cursor, (int32_t)cdf.size()) << c.what;
        for (const Bytes &command : sentCommands()) // never a read of 0xFFFFFFF0 octets
            EXPECT_FALSE(command[1] == 0xB0 && command[2] >= 0x80) << c.what;
        EXPECT_FALSE(next()) << c.what;
    }
}

TEST_F(CertificateTest, EmptyValuesAreTakenWithoutAReadCommand)
{
    // READ BINARY with Le 00 would ask the card for 256 octets.
    const Bytes entry = derTlv(0x30, concat({hexBytes("3000 3000"),
                                             derTlv(0xA1, derTlv(0x30, concat({derTlv(0x04, textBytes("\\5015\\C001")),
                                                                               hexBytes("0200 8000")})))}));
    cdf = entry;
    card.putFile(CertificatePath, certificateFile(caCertificate()));
    open();
    ASSERT_TRUE(next());
    EXPECT_EQ(data(), caCertificate());
    EXPECT_STREQ(record.containerName, "");
    for (const Bytes &command : sentCommands())
        EXPECT_FALSE(command[1] == 0xB0 && command[4] == 0x00);
}

TEST_F(CertificateTest, AWalkOfOnlyUnreachableFilesEnds)
{
    for (const char *path : {"\\5015\\C001", "\\5015\\C002", "\\5015\\C003"})
        cdf = concat({cdf, cdfEntry(certificateAt(signingCertificate(), path))});
    open();
    EXPECT_FALSE(next());
    EXPECT_EQ(record.cursor, (int32_t)cdf.size());
}

} // namespace
