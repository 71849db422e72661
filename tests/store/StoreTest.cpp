// Registration and removal against the platform's real "MY" store. The
// tests run in a Wine prefix of their own, made anew for every test run.
#include <gtest/gtest.h>

#include <windows.h>
#include <wincrypt.h>

#include <map>
#include <set>
#include <string>

#include "card/CardSession.h"
#include "card/CardFamily.h"
#include "events/Events.h"
#include "monitor/Monitor.h"
#include "monitor/MonitorTestHelpers.h"
#include "store/Record.h"
#include "store/Store.h"
#include "card-image/TestCertificates.h"
#include "helpers/DemoCards.h"
#include "helpers/PlatformStore.h"
#include "helpers/TestHelpers.h"
#include "support/RecordingEvents.h"

using namespace fakepcsc;

namespace {

unsigned registerCard(const CardDescription &description)
{
    CardSession *session = new CardSession(connectCard(buildCard(description)),
                                           description.family == FamilyAtr20 ? Atr20 : Atr21);
    const unsigned added = registerCardCertificates(session);
    delete session;
    return added;
}

const Bytes SerialA = hexBytes("001A2B3C4D5E");

class StoreTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        reset();
        emptyPersonalStore();
        clearRecord();
    }
    void TearDown() override
    {
        emptyPersonalStore();
        clearRecord();
        recordingevents::stop();
    }
};

TEST_F(StoreTest, RegistersEachCertificateWithItsBinding)
{
    EXPECT_EQ(registerCard(demoCard(FamilyAtr21, SerialA)), 3u);
    const auto entries = personalStore();
    ASSERT_EQ(entries.size(), 3u);

    const StoreEntry &sign = entries.at(thumbprintOfDer(signingCertificate()));
    ASSERT_TRUE(sign.bound);
    EXPECT_EQ(sign.binding.provider, L"VelmoCSP");
    EXPECT_EQ(sign.binding.container, L"001A2B3C4D5E200001\\5015\\4B0");
    EXPECT_EQ(sign.binding.providerType, (DWORD)PROV_RSA_FULL);
    EXPECT_EQ(sign.binding.flags, 0u);
    EXPECT_EQ(sign.binding.keySpec, (DWORD)AT_SIGNATURE);

    const StoreEntry &encryption = entries.at(thumbprintOfDer(encryptionCertificate()));
    ASSERT_TRUE(encryption.bound);
    EXPECT_EQ(encryption.binding.container, L"001A2B3C4D5E400002\\5015\\4B0");
    EXPECT_EQ(encryption.binding.keySpec, (DWORD)AT_KEYEXCHANGE);

    EXPECT_FALSE(entries.at(thumbprintOfDer(caCertificate())).bound);
}

TEST_F(StoreTest, KeySpecFollowsTheSignAndDecryptBitsOnly)
{
    const struct {
        uint16_t usage;
        DWORD keySpec;
    } cases[] = {{0x2000, 2}, {0x4000, 1}, {0x6000, 3}, {0x0000, 0}, {0x9FFF, 0},
                 {0xA000, 2}, {0xC0FF, 1}, {0xFFFF, 3}};
    CardDescription card = {};
    card.family = FamilyAtr21;
    card.serial = SerialA;
    unsigned n = 0;
    for (const auto &c : cases) {
        n++;
        card.certificates.push_back(certificateOf(variantOf(signingCertificate(), n), (uint8_t)n,
                                                  "C00" + std::to_string(n)));
        card.keys.push_back(keyOf((uint8_t)n, c.usage, (uint8_t)n));
    }
    registerCard(card);
    const auto entries = personalStore();
    n = 0;
    for (const auto &c : cases) {
        const StoreEntry &entry = entries.at(thumbprintOfDer(variantOf(signingCertificate(), ++n)));
        ASSERT_TRUE(entry.bound);
        EXPECT_EQ(entry.binding.keySpec, c.keySpec) << std::hex << c.usage;
    }
}

TEST_F(StoreTest, UndecodableCertificatesArePassedOver)
{
    CardDescription card = demoCard(FamilyAtr21, SerialA);
    card.certificates.insert(card.certificates.begin(),
                             certificateOf(patternBytes(700), 9, "C009"));
    EXPECT_EQ(registerCard(card), 3u);
    EXPECT_EQ(personalStore().size(), 3u);
}

TEST_F(StoreTest, ACardWithoutCertificatesAddsNothing)
{
    putInStore(caCertificate(), NULL, NULL);
    const auto before = personalStore();
    EXPECT_EQ(registerCard(CardDescription{FamilyAtr21, SerialA, {}, {}, false}), 0u);
    EXPECT_EQ(personalStore().size(), before.size());
}

TEST_F(StoreTest, RemovalDeletesOnlyThatCardsBoundCertificates)
{
    const std::wstring serial = L"0123456789ABCD";
    const std::wstring container = serial + L"200001\\5015\\4B0";
    const Bytes ours = variantOf(caCertificate(), 1), otherProvider = variantOf(caCertificate(), 2),
                otherCase = variantOf(caCertificate(), 3), unbound = variantOf(caCertificate(), 4),
                neighbour = variantOf(caCertificate(), 5), noProvider = variantOf(caCertificate(), 6),
                ours2 = variantOf(caCertificate(), 7);
    putInStore(ours, L"VelmoCSP", container.c_str());
    putInStore(ours2, L"VelmoCSP", serial.c_str());
    putInStore(otherProvider, L"Other CSP", container.c_str());
    putInStore(otherCase, L"velmocsp", container.c_str());
    putInStore(unbound, NULL, NULL);
    // A card of the same batch: the same first 12 characters.
    putInStore(neighbour, L"VelmoCSP", L"0123456789ABCE200001\\5015\\4B0");
    putInStore(noProvider, NULL, container.c_str());

    removeCardCertificates("0123456789ABCD");

    const auto entries = personalStore();
    EXPECT_EQ(entries.count(thumbprintOfDer(ours)), 0u);
    EXPECT_EQ(entries.count(thumbprintOfDer(ours2)), 0u);
    for (const Bytes *kept : {&otherProvider, &otherCase, &unbound, &neighbour, &noProvider})
        EXPECT_EQ(entries.count(thumbprintOfDer(*kept)), 1u);
    EXPECT_EQ(entries.size(), 5u);
}

TEST_F(StoreTest, RemovalWithoutASerialDeletesNothing)
{
    putInStore(caCertificate(), L"VelmoCSP", L"");
    putInStore(signingCertificate(), L"VelmoCSP", L"001A2B3C4D5E200001");
    removeCardCertificates(NULL);
    removeCardCertificates("");
    EXPECT_EQ(personalStore().size(), 2u);
}

TEST_F(StoreTest, AShortSerialMatchesOnlyAnEqualContainerName)
{
    putInStore(variantOf(caCertificate(), 1), L"VelmoCSP", L"ABC");
    putInStore(variantOf(caCertificate(), 2), L"VelmoCSP", L"ABCD");
    removeCardCertificates("ABC");
    const auto entries = personalStore();
    EXPECT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries.count(thumbprintOfDer(variantOf(caCertificate(), 2))), 1u);
}

TEST_F(StoreTest, ACardRemovedAndInsertedAgainIsRegisteredAgain)
{
    registerCard(demoCard(FamilyAtr20, hexBytes("0123456789ABCD")));
    EXPECT_EQ(personalStore().size(), 3u);
    removeCardCertificates("0123456789ABCD");
    const auto afterRemoval = personalStore();
    // The CA certificate has no key on the card: it stays, unbound.
    ASSERT_EQ(afterRemoval.size(), 1u);
    ASSERT_EQ(afterRemoval.count(thumbprintOfDer(caCertificate())), 1u);
    EXPECT_FALSE(afterRemoval.at(thumbprintOfDer(caCertificate())).bound);
    registerCard(demoCard(FamilyAtr20, hexBytes("0123456789ABCD")));
    const auto entries = personalStore();
    EXPECT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries.at(thumbprintOfDer(signingCertificate())).binding.container,
              L"0123456789ABCD200001\\5015\\4B0");
}

// A key the card does not have leaves its certificate unbound (above); a
// key lookup that the card cut short by leaving registers nothing of that
// certificate, so nothing stays behind after the removal.
TEST_F(StoreTest, AKeyLookupCutShortByThePulledCardRegistersNothing)
{
    const CardDescription card = demoCard(FamilyAtr21, SerialA);
    registerCard(card);
    unsigned chipInfo = 0; // the signing certificate's: the first one
    for (size_t i = 0; i < commandLog().size() && !chipInfo; i++)
        if (commandLog()[i].command[0] == 0x90 && commandLog()[i].command[1] == 0xB8)
            chipInfo = (unsigned)i + 1;
    ASSERT_GT(chipInfo, 2u);
    // Pulled at the read of the matching PrKDF entry, at the chip
    // information, and at the selection of the PrKDF.
    for (unsigned pulledAt : {chipInfo - 1, chipInfo, chipInfo - 3}) {
        SCOPED_TRACE("pulled at command " + std::to_string(pulledAt));
        emptyPersonalStore();
        reset();
        failFrom(pulledAt, SCARD_W_REMOVED_CARD);
        registerCard(card);
        EXPECT_TRUE(personalStore().empty());
        EXPECT_EQ(commandLog().size(), pulledAt) << "commands sent after the card left";
    }
}

// A certificate already in "MY" ends up with the binding of the card that
// holds its key, whatever binding it had; one without a key on the card
// keeps the binding it had.
TEST_F(StoreTest, TheCardPresentNowBindsItsCertificatesAlreadyInTheStore)
{
    const Bytes keyless = variantOf(caCertificate(), 1);
    const std::wstring otherCard = L"FFEEDDCCBBAA400002\\5015\\4B0";
    putInStore(signingCertificate(), NULL, NULL);
    putInStore(encryptionCertificate(), L"VelmoCSP", otherCard.c_str());
    putInStore(caCertificate(), L"Other CSP", L"their container");
    putInStore(keyless, L"VelmoCSP", otherCard.c_str());
    CardDescription card = demoCard(FamilyAtr21, SerialA);
    card.certificates.push_back(certificateOf(keyless, 4, "C004"));

    registerCard(card);
    const auto entries = personalStore();
    ASSERT_EQ(entries.size(), 4u);
    const StoreEntry &sign = entries.at(thumbprintOfDer(signingCertificate()));
    ASSERT_TRUE(sign.bound);
    EXPECT_EQ(sign.binding.provider, L"VelmoCSP");
    EXPECT_EQ(sign.binding.container, L"001A2B3C4D5E200001\\5015\\4B0");
    EXPECT_EQ(sign.binding.keySpec, (DWORD)AT_SIGNATURE);
    const StoreEntry &encryption = entries.at(thumbprintOfDer(encryptionCertificate()));
    EXPECT_EQ(encryption.binding.container, L"001A2B3C4D5E400002\\5015\\4B0");
    EXPECT_EQ(encryption.binding.keySpec, (DWORD)AT_KEYEXCHANGE);
    const StoreEntry &ca = entries.at(thumbprintOfDer(caCertificate()));
    EXPECT_EQ(ca.binding.provider, L"Other CSP");
    EXPECT_EQ(ca.binding.container, L"their container");
    EXPECT_EQ(entries.at(thumbprintOfDer(keyless)).binding.container, otherCard);

    // Bound to this card, they leave with it.
    removeCardCertificates("001A2B3C4D5E");
    const auto afterRemoval = personalStore();
    EXPECT_EQ(afterRemoval.size(), 2u);
    EXPECT_EQ(afterRemoval.count(thumbprintOfDer(caCertificate())), 1u);
    EXPECT_EQ(afterRemoval.count(thumbprintOfDer(keyless)), 1u);
}

TEST_F(StoreTest, AThousandUnrelatedCertificatesAreLeftAsTheyWere)
{
    HCERTSTORE store = CertOpenSystemStoreA(0, "MY");
    ASSERT_NE(store, (HCERTSTORE)NULL);
    for (unsigned i = 0; i < 1000; i++) {
        const Bytes der = variantOf(caCertificate(), 100 + i);
        ASSERT_TRUE(CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(),
                                                     (DWORD)der.size(), CERT_STORE_ADD_ALWAYS, NULL));
    }
    CertControlStore(store, 0, CERT_STORE_CTRL_COMMIT, NULL);
    CertCloseStore(store, 0);
    const auto before = personalStore();
    ASSERT_EQ(before.size(), 1000u);

    registerCard(demoCard(FamilyAtr21, SerialA));
    EXPECT_EQ(personalStore().size(), 1003u);
    removeCardCertificates("001A2B3C4D5E");
    const auto after = personalStore();
    EXPECT_EQ(after.size(), 1001u);
    EXPECT_EQ(after.count(thumbprintOfDer(caCertificate())), 1u);
    for (const auto &entry : before)
        EXPECT_EQ(after.count(entry.first), 1u);
}

TEST_F(StoreTest, TheMonitorRegistersAnInsertedCardAndRemovesItWhenItLeaves)
{
    ASSERT_EQ(startMonitorAfresh(), SCARD_S_SUCCESS);
    const size_t reader = watchOneReader("Lector 0");
    pollReaders();
    EXPECT_TRUE(personalStore().empty());

    insertCard(reader, buildCard(demoCard(FamilyAtr21, SerialA)));
    pollReaders();
    const auto inserted = personalStore();
    ASSERT_EQ(inserted.size(), 3u);
    EXPECT_EQ(inserted.at(thumbprintOfDer(signingCertificate())).binding.container,
              L"001A2B3C4D5E200001\\5015\\4B0");

    removeCard(reader);
    pollReaders();
    const auto removed = personalStore();
    EXPECT_EQ(removed.size(), 1u);
    EXPECT_EQ(removed.count(thumbprintOfDer(caCertificate())), 1u);

    // The reader unplugged with the card in it takes the certificates with
    // it; plugged in again with the card, the card is registered again.
    insertCard(reader, buildCard(demoCard(FamilyAtr21, SerialA)));
    pollReaders();
    EXPECT_EQ(personalStore().size(), 3u);
    detachReader(reader);
    pollReaders();
    EXPECT_EQ(personalStore().size(), 1u);
    EXPECT_EQ(readerTable.count, 0u);
    EXPECT_TRUE(recordValues().empty());
    attachReader(reader);
    pollReaders(); // the arrival, and the reader listed again
    pollReaders();
    EXPECT_EQ(personalStore().size(), 3u);
    EXPECT_EQ(recordValues().size(), 2u);
    clearReaderTable();
}

// ------------------------------------------- the record of bound certificates

TEST_F(StoreTest, TheRecordNamesTheBoundCertificatesWhileTheirCardIsIn)
{
    for (const std::string serial : {"0123456789ABCD", "001A2B3C4D5E"}) {
        SCOPED_TRACE(serial);
        registerCard(demoCard(serial.size() == 14 ? FamilyAtr20 : FamilyAtr21, hexBytes(serial)));
        // The CA certificate is bound to nothing: it is not recorded.
        const std::map<std::string, std::string> expected = {
            {hexText(thumbprintOfDer(signingCertificate())), serial},
            {hexText(thumbprintOfDer(encryptionCertificate())), serial}};
        EXPECT_EQ(recordValues(), expected);
        removeCardCertificates(serial.c_str());
        EXPECT_TRUE(recordValues().empty());
    }
}

TEST_F(StoreTest, StartUpDeletesWhatTheRecordNamesIfStillBoundAsRecorded)
{
    registerCard(demoCard(FamilyAtr21, SerialA)); // and the program ended with the card in
    // Another program's certificate bound for the same card, one the record
    // names that is bound to another card now, and one no longer in "MY".
    const Bytes others = variantOf(caCertificate(), 1), rebound = variantOf(caCertificate(), 2);
    putInStore(others, L"VelmoCSP", L"001A2B3C4D5E200009\\5015\\4B0");
    putInStore(rebound, L"VelmoCSP", L"0A0B0C0D0E0F200001");
    writeRecordValue(hexText(thumbprintOfDer(rebound)), REG_SZ, std::string("001A2B3C4D5E", 13));
    writeRecordValue(hexText(thumbprintOfDer(variantOf(caCertificate(), 3))), REG_SZ, "001A2B3C4D5E");
    ASSERT_EQ(recordValues().size(), 4u);
    removeStrandedCertificates(true); // the same user's copy runs elsewhere
    EXPECT_EQ(personalStore().size(), 5u);
    EXPECT_EQ(recordValues().size(), 4u);

    recordingevents::start();
    removeStrandedCertificates();
    const std::vector<recordingevents::LoggedEvent> cleaned = recordingevents::withId(105);
    ASSERT_EQ(cleaned.size(), 1u);
    EXPECT_EQ(cleaned[0].strings[0], "2");
    for (const Bytes &deleted : {signingCertificate(), encryptionCertificate()})
        EXPECT_NE(cleaned[0].strings[1].find(hexText(thumbprintOfDer(deleted))), std::string::npos);
    const auto entries = personalStore();
    EXPECT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries.count(thumbprintOfDer(signingCertificate())), 0u);
    EXPECT_EQ(entries.count(thumbprintOfDer(encryptionCertificate())), 0u);
    for (const Bytes &kept : {caCertificate(), others, rebound})
        EXPECT_EQ(entries.count(thumbprintOfDer(kept)), 1u);
    EXPECT_FALSE(recordExists());

    // Without a record, and with an empty one, nothing is deleted.
    registerCard(demoCard(FamilyAtr21, SerialA));
    clearRecord();
    removeStrandedCertificates();
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, RecordKey, 0, NULL, 0, KEY_SET_VALUE, NULL, &key, NULL),
              ERROR_SUCCESS);
    RegCloseKey(key);
    removeStrandedCertificates();
    EXPECT_EQ(personalStore().size(), 5u);
    EXPECT_FALSE(recordExists());
}

// A deletion that does not last past its commit (the certificate's
// registry entry holds a key of its own) leaves the certificate in "MY":
// its record entry stays, the event names only what went, and the next
// attempt, where it can go, deletes it and forgets it.
TEST_F(StoreTest, ACertificateWhoseDeletionDidNotLastStaysRecorded)
{
    const Thumbprint signing = thumbprintOfDer(signingCertificate());
    const struct {
        const char *name;
        void (*remove)();
        uint16_t told;
    } paths[] = {
        {"start-up cleanup", [] { removeStrandedCertificates(); }, 105},
        {"card removal", [] {
             removeCardCertificates("001A2B3C4D5E");
             reportCardRemoved("R", "001A2B3C4D5E");
         }, 102},
    };
    for (const auto &path : paths) {
        SCOPED_TRACE(path.name);
        registerCard(demoCard(FamilyAtr21, SerialA)); // and taken out, or the program ended
        ASSERT_TRUE(protectFromDeletion(signing, true));
        recordingevents::start();
        path.remove();
        const bool kept = personalStore().count(signing) == 1;
        EXPECT_TRUE(protectFromDeletion(signing, false));
        ASSERT_TRUE(kept);
        EXPECT_EQ(personalStore().count(thumbprintOfDer(encryptionCertificate())), 0u);
        const std::map<std::string, std::string> stays = {{hexText(signing), "001A2B3C4D5E"}};
        EXPECT_EQ(recordValues(), stays);
        const std::vector<recordingevents::LoggedEvent> told = recordingevents::withId(path.told);
        ASSERT_EQ(told.size(), 1u);
        const std::vector<std::string> &strings = told[0].strings;
        EXPECT_EQ(strings[strings.size() - 2], "1");
        EXPECT_EQ(strings.back(), hexText(thumbprintOfDer(encryptionCertificate())));

        path.remove();
        EXPECT_EQ(personalStore().count(signing), 0u);
        EXPECT_TRUE(recordValues().empty());
    }
}

// A record the registry refuses is told as a failed store call; the card
// being in its reader, its certificates are added all the same.
TEST_F(StoreTest, ARecordWriteThatFailsIsTold)
{
    // A volatile key takes no lasting key under it.
    const char velmoKey[] = "Software\\Velmo\\VelmoMon";
    RegDeleteKeyA(HKEY_CURRENT_USER, velmoKey);
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, velmoKey, 0, NULL, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, NULL,
                              &key, NULL),
              ERROR_SUCCESS);
    RegCloseKey(key);
    recordingevents::start();
    registerCard(demoCard(FamilyAtr21, SerialA));
    const bool recorded = recordExists();
    EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, velmoKey), ERROR_SUCCESS);
    EXPECT_FALSE(recorded);
    EXPECT_EQ(personalStore().size(), 3u);
    const std::vector<recordingevents::LoggedEvent> failed = recordingevents::withId(111);
    ASSERT_EQ(failed.size(), 2u);
    for (const recordingevents::LoggedEvent &event : failed)
        EXPECT_EQ(event.strings, (std::vector<std::string>{"RegCreateKeyExA", "0x000003FD"}));
}

TEST_F(StoreTest, ADamagedRecordEntryDeletesNothing)
{
    registerCard(demoCard(FamilyAtr20, hexBytes("0123456789ABCD")));
    const auto before = personalStore();
    const std::string name = hexText(thumbprintOfDer(signingCertificate()));
    const std::string serial = "0123456789ABCD";
    std::string lowerName = name;
    for (char &c : lowerName)
        c = (char)tolower(c);
    const struct {
        std::string name;
        DWORD type;
        std::string data;
    } cases[] = {
        {name, REG_BINARY, serial + '\0'},
        {name, REG_EXPAND_SZ, serial + '\0'},
        {name, REG_SZ, serial + "EF" + '\0'},
        {name, REG_SZ, std::string(5000, 'A')},
        {name, REG_SZ, serial + '\0' + "X"},
        {name, REG_SZ, serial.substr(0, 13) + '\0'},
        {name, REG_SZ, "0123456789abcd"},
        {name, REG_SZ, "0123456789AB-D"},
        {name, REG_SZ, ""},
        {name.substr(0, 39), REG_SZ, serial},
        {name + "0", REG_SZ, serial},
        {name + std::string(300, '0'), REG_SZ, serial},
        {"G" + name.substr(1), REG_SZ, serial},
        {lowerName, REG_SZ, serial},
        {"", REG_SZ, serial},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name + " " + std::to_string(c.type) + " " + c.data.substr(0, 20));
        clearRecord();
        writeRecordValue(c.name, c.type, c.data);
        removeStrandedCertificates();
        EXPECT_EQ(personalStore().size(), before.size());
        EXPECT_FALSE(recordExists());
    }
    // One damaged entry makes the whole record untrusted, well-formed
    // entries beside it included.
    clearRecord();
    writeRecordValue(name, REG_SZ, serial);
    writeRecordValue(name.substr(0, 39), REG_SZ, serial);
    recordingevents::start();
    removeStrandedCertificates();
    EXPECT_EQ(personalStore().size(), before.size());
    EXPECT_FALSE(recordExists());
    ASSERT_EQ(recordingevents::events().size(), 1u);
    EXPECT_EQ(recordingevents::events()[0].id, 106);
    EXPECT_EQ(recordingevents::events()[0].strings, std::vector<std::string>{"2"});
}

TEST_F(StoreTest, ARecordOfThousandsOfEntriesDeletesOnlyItsOwnCertificates)
{
    const Bytes others = variantOf(caCertificate(), 1);
    putInStore(others, L"VelmoCSP", L"001A2B3C4D5E200009\\5015\\4B0");
    // Entries of the record's form naming certificates that are not there,
    // a few thousand, then six thousand whose names sort before the card's
    // (Wine lists values by name), so that its entries come last.
    for (unsigned round = 0; round < 2; round++) {
        SCOPED_TRACE(round);
        registerCard(demoCard(FamilyAtr21, SerialA));
        const unsigned fillers = round == 0 ? 3000 : 6000;
        for (unsigned i = 0; i < fillers; i++) {
            char name[41];
            snprintf(name, sizeof name, "%08X%032X", round == 0 ? i * 2654435761u : i, round);
            writeRecordValue(name, REG_SZ, "001A2B3C4D5E");
        }
        ASSERT_EQ(recordValues().size(), fillers + 2);
        removeStrandedCertificates();
        const auto entries = personalStore();
        EXPECT_EQ(entries.count(thumbprintOfDer(signingCertificate())), 0u);
        EXPECT_EQ(entries.count(thumbprintOfDer(encryptionCertificate())), 0u);
        EXPECT_EQ(entries.count(thumbprintOfDer(caCertificate())), 1u);
        EXPECT_EQ(entries.count(thumbprintOfDer(others)), 1u);
        EXPECT_FALSE(recordExists());
    }
}

} // namespace
