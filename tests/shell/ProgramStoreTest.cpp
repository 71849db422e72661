// The whole program at its job: VelmoMon.exe with the PC/SC double as its
// winscard.dll puts a card's certificates into "MY" when the card goes in
// and takes them out when it leaves, also when it left while the program
// was not running. The store is read here, not through the program.
#include <gtest/gtest.h>

#include <windows.h>
#include <wincrypt.h>

#include <map>
#include <set>
#include <string>

#include "Driver.h"
#include "card-image/CardImage.h"
#include "card-image/TestCertificates.h"
#include "helpers/DemoCards.h"
#include "helpers/PlatformStore.h"
#include "shell/UserSid.h"

using namespace driver;

namespace {

const char Serial[] = "0A1B2C3D4E5F60";

// The key container bound to the certificate with these bytes in "MY", or
// "" when it is unbound, or "(absent)".
std::wstring containerInStore(const Bytes &der)
{
    const std::map<Thumbprint, StoreEntry> entries = personalStore();
    const auto entry = entries.find(thumbprintOfDer(der));
    if (entry == entries.end())
        return L"(absent)";
    return entry->second.bound ? entry->second.binding.container : L"";
}

CardImage atr20Card()
{
    CardDescription card = demoCard(FamilyAtr20, Bytes{0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F, 0x60});
    card.certificates.pop_back(); // the CA certificate is the other card's
    return buildCard(card);
}

CardImage atr21CaCard()
{
    CardDescription card = {FamilyAtr21, Bytes{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}, {}, {}, false};
    card.certificates = {certificateOf(caCertificate(), 1, "C001")};
    card.keys = {keyOf(1, 0x2000, 1)};
    return buildCard(card);
}

// A certificate of another program, bound to the card's provider with a
// container name that begins with the card's serial.
Bytes othersCertificate()
{
    return variantOf(caCertificate(), 1);
}

// Takes out of "MY" every certificate these tests put there, and the
// program's record, as a new user has neither.
void forgetEverything()
{
    std::set<Thumbprint> ours;
    for (const Bytes &der : {signingCertificate(), encryptionCertificate(), caCertificate(), othersCertificate()})
        ours.insert(thumbprintOfDer(der));
    deleteFromPersonalStore([&](PCCERT_CONTEXT context) { return ours.count(thumbprintOf(context)) != 0; });
    RegDeleteKeyA(HKEY_CURRENT_USER, RecordKey);
}

// The program ended without a chance to clean up, as by a crash or power loss.
void kill(Program &program)
{
    TerminateProcess(program.process.hProcess, 1);
    WaitForSingleObject(program.process.hProcess, ProgramWaitLimit);
}

TEST(ProgramStore, ACardThatLeftWhileTheProgramWasDownTakesItsCertificates)
{
    forgetEverything();
    const std::string folder = prepareAppFolder("ProgramStoreRestart", true);
    const std::string image = folder + "\\card.txt", otherImage = folder + "\\other.txt";
    const std::string config = folder + "\\pcsc.txt";
    ASSERT_TRUE(writeTextFile(image, saveCardImage(atr20Card())));
    ASSERT_TRUE(writeTextFile(otherImage, saveCardImage(atr21CaCard())));
    const std::string cardIn = "reader Lector 0\ncard 0 " + image + "\n", cardOut = "reader Lector 0\n";
    const std::wstring serial(Serial, Serial + sizeof Serial - 1);
    const std::wstring signing = serial + L"200001\\5015\\4B0";
    const std::wstring encryption = serial + L"400002\\5015\\4B0";
    const std::wstring others = serial + L"200009\\5015\\4B0";
    auto registered = [&] {
        return containerInStore(signingCertificate()) == signing &&
               containerInStore(encryptionCertificate()) == encryption;
    };
    auto removed = [&] {
        return containerInStore(signingCertificate()) == L"(absent)" &&
               containerInStore(encryptionCertificate()) == L"(absent)";
    };

    // Killed with the card in, the card taken out, started again.
    ASSERT_TRUE(writeTextFile(config, cardIn));
    {
        Program program;
        ASSERT_TRUE(program.start(folder + "\\VelmoMon.exe", config));
        ASSERT_TRUE(waitUntil(registered));
        kill(program);
    }
    ASSERT_TRUE(putInStore(othersCertificate(), L"VelmoCSP", others.c_str()));
    ASSERT_TRUE(writeTextFile(config, cardOut));
    // While the same user's copy runs in another session (its object held
    // here), they may be its card's: they stay.
    char sid[192];
    ASSERT_TRUE(readUserSidText(sid, sizeof sid));
    HANDLE elsewhere = CreateMutexA(NULL, FALSE, (std::string("Global\\Zimvor.VelmoMon.User.") + sid).c_str());
    {
        Program program;
        ASSERT_TRUE(program.start(folder + "\\VelmoMon.exe", config));
        EXPECT_FALSE(waitUntil(removed, 4000));
        kill(program);
    }
    CloseHandle(elsewhere);
    {
        Program program;
        ASSERT_TRUE(program.start(folder + "\\VelmoMon.exe", config));
        EXPECT_TRUE(waitUntil(removed));
        EXPECT_EQ(containerInStore(othersCertificate()), others);
        EXPECT_TRUE(program.running());

        ASSERT_TRUE(writeTextFile(config, cardIn));
        ASSERT_TRUE(waitUntil(registered));
        kill(program);
    }

    // The same with the card left in: its certificates are there again once
    // the first cycle has run, which a second card, registered in the same
    // cycle after it, shows.
    const std::string readers = "reader Lector 0\nreader Lector 1\n";
    auto otherCard = [] { return containerInStore(caCertificate()); };
    const std::wstring otherContainer = L"001A2B3C4D5E200001\\5015\\4B0";
    ASSERT_TRUE(writeTextFile(config, readers + "card 0 " + image + "\ncard 1 " + otherImage + "\n"));
    {
        Program program;
        ASSERT_TRUE(program.start(folder + "\\VelmoMon.exe", config));
        EXPECT_TRUE(waitUntil([&] { return otherCard() == otherContainer; }));
        EXPECT_TRUE(registered());
        ASSERT_TRUE(writeTextFile(config, readers + "card 0 " + image + "\n"));
        EXPECT_TRUE(waitUntil([&] { return otherCard() == L"(absent)"; }));
        kill(program);
    }

    // A damaged record deletes nothing.
    RegDeleteKeyA(HKEY_CURRENT_USER, RecordKey);
    const std::string garbage("\x30\x82\xFF\x00\x41", 5);
    writeRecordValue("0123", REG_BINARY, garbage);
    writeRecordValue(std::string(300, 'F'), REG_SZ, garbage);
    ASSERT_TRUE(writeTextFile(config, readers + "card 1 " + otherImage + "\n"));
    {
        Program program;
        ASSERT_TRUE(program.start(folder + "\\VelmoMon.exe", config));
        EXPECT_TRUE(waitUntil([&] { return otherCard() == otherContainer; }));
        EXPECT_TRUE(registered());
        EXPECT_TRUE(program.running());
        EXPECT_TRUE(program.hiddenWindow() != NULL);
    }
    forgetEverything();
}

// At log-on the smart-card service is often not running yet: the stranded
// certificates are cleaned all the same, the program waits with its icon,
// and a card in the reader is registered once the service comes. A swap
// that the reader did not count (the machine slept) is found on resume.
TEST(ProgramStore, WaitsForTheServiceAndLooksAgainOnResume)
{
    forgetEverything();
    const std::string folder = prepareAppFolder("ProgramStoreNoService", true);
    const std::string image = folder + "\\card.txt", otherImage = folder + "\\other.txt";
    const std::string config = folder + "\\pcsc.txt";
    ASSERT_TRUE(writeTextFile(image, saveCardImage(atr20Card())));
    ASSERT_TRUE(writeTextFile(otherImage, saveCardImage(atr21CaCard())));
    const std::string cardIn = "reader Lector 0\ncard 0 " + image + "\n";
    const std::wstring serial(Serial, Serial + sizeof Serial - 1);
    auto registered = [&] {
        return containerInStore(signingCertificate()) == serial + L"200001\\5015\\4B0";
    };
    auto removed = [&] { return containerInStore(signingCertificate()) == L"(absent)"; };
    {
        Program program;
        ASSERT_TRUE(writeTextFile(config, cardIn));
        ASSERT_TRUE(program.start(folder + "\\VelmoMon.exe", config));
        ASSERT_TRUE(waitUntil(registered));
        kill(program);
    }

    StandInTray tray;
    Program program;
    ASSERT_TRUE(writeTextFile(config, cardIn + "establish-error 8010001D\n"));
    ASSERT_TRUE(program.start(folder + "\\VelmoMon.exe", config));
    EXPECT_TRUE(waitUntil(removed));
    EXPECT_EQ(program.waitForExit(2000), (DWORD)STILL_ACTIVE);
    EXPECT_EQ(tray.added().size(), 1u);
    ASSERT_TRUE(writeTextFile(config, cardIn));
    EXPECT_TRUE(waitUntil(registered));

    ASSERT_TRUE(writeTextFile(config, "unseen-swaps\nreader Lector 0\ncard 0 " + otherImage + "\n"));
    waitUntil([] { return false; }, 3000);
    EXPECT_TRUE(registered()); // nothing told the program
    PostMessageA(program.hiddenWindow(), WM_POWERBROADCAST, PBT_APMRESUMEAUTOMATIC, 0);
    EXPECT_TRUE(waitUntil([&] { return removed() && containerInStore(caCertificate()) != L"(absent)"; }));
    EXPECT_TRUE(program.running());
    forgetEverything();
}

// Also with another program's object of another type under the generic
// name "WaitableTimer" in the session, and with a second copy started from
// elsewhere, which ends at once and leaves the first at its work.
TEST(ProgramStore, ACardsCertificatesComeWithItAndGoWithIt)
{
    HANDLE squatter = CreateEventA(NULL, TRUE, FALSE, "WaitableTimer");
    ASSERT_TRUE(squatter != NULL);
    const std::string folder = prepareAppFolder("ProgramStore", true);
    const std::string image = folder + "\\card.txt";
    const std::string config = folder + "\\pcsc.txt";
    ASSERT_TRUE(writeTextFile(image, saveCardImage(atr20Card())));
    ASSERT_TRUE(writeTextFile(config, "reader Lector 0\n"));
    StandInTray tray;
    Program program;
    ASSERT_TRUE(program.start(folder + "\\VelmoMon.exe", config));
    ASSERT_TRUE(program.hiddenWindow() != NULL);
    {
        Program second;
        ASSERT_TRUE(second.start(prepareAppFolder("ProgramStoreSecond", true) + "\\VelmoMon.exe", config));
        EXPECT_EQ(second.waitForExit(1000), 0u);
    }
    EXPECT_EQ(tray.added().size(), 1u);

    const std::wstring serial(Serial, Serial + sizeof Serial - 1);
    const std::wstring signing = serial + L"200001\\5015\\4B0";
    const std::wstring encryption = serial + L"400002\\5015\\4B0";
    ASSERT_TRUE(writeTextFile(config, "reader Lector 0\ncard 0 " + image + "\n"));
    EXPECT_TRUE(waitUntil([&] { return containerInStore(encryptionCertificate()) == encryption; }));
    EXPECT_EQ(containerInStore(signingCertificate()), signing);
    EXPECT_TRUE(waitUntil([&] { return tray.tipShown() == L"Velmo Monitor\nTarjeta leida: 2 certificados"; }));

    ASSERT_TRUE(writeTextFile(config, "reader Lector 0\n"));
    EXPECT_TRUE(waitUntil([&] {
        return containerInStore(signingCertificate()) == L"(absent)" &&
               containerInStore(encryptionCertificate()) == L"(absent)";
    }));
    EXPECT_TRUE(waitUntil([&] { return tray.tipShown() == L"Velmo Monitor\nSin tarjeta en el lector"; }));
    EXPECT_TRUE(program.running());
    CloseHandle(squatter);
}

} // namespace
