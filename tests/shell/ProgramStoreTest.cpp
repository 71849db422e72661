// The whole program at its job: VelmoMon.exe with the PC/SC double as its
// winscard.dll puts a card's certificates into "MY" when the card goes in
// and takes them out when it leaves. The store is read here, not through
// the program.
#include <gtest/gtest.h>

#include <windows.h>
#include <wincrypt.h>

#include <string>

#include "Driver.h"
#include "card-image/CardImage.h"
#include "card-image/TestCertificates.h"

using namespace driver;

namespace {

const char Serial[] = "0A1B2C3D4E5F60";

// The key container bound to the certificate with these bytes in "MY", or
// "" when it is unbound, or "(absent)".
std::wstring containerInStore(const Bytes &der)
{
    std::wstring found = L"(absent)";
    HCERTSTORE store = CertOpenSystemStoreA(0, "MY");
    if (!store)
        return found;
    PCCERT_CONTEXT context = NULL;
    while ((context = CertEnumCertificatesInStore(store, context)) != NULL) {
        if (context->cbCertEncoded != der.size() ||
            memcmp(context->pbCertEncoded, der.data(), der.size()) != 0)
            continue;
        found = L"";
        DWORD size = 0;
        if (!CertGetCertificateContextProperty(context, CERT_KEY_PROV_INFO_PROP_ID, NULL, &size))
            continue;
        std::vector<BYTE> buffer(size);
        if (CertGetCertificateContextProperty(context, CERT_KEY_PROV_INFO_PROP_ID, buffer.data(), &size))
            found = ((CRYPT_KEY_PROV_INFO *)buffer.data())->pwszContainerName;
    }
    CertCloseStore(store, 0);
    return found;
}

CardImage atr20Card()
{
    CardDescription card = {};
    card.family = FamilyAtr20;
    card.serial = Bytes{0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F, 0x60};
    card.certificates = {{signingCertificate(), Bytes{0x45, 0x01}, "\\5015\\C001"},
                         {encryptionCertificate(), Bytes{0x45, 0x02}, "\\5015\\C002"}};
    card.keys = {{Bytes{0x45, 0x01}, {0x20, 0x00}, 1, "\\5015\\4B01\\KEYS"},
                 {Bytes{0x45, 0x02}, {0x40, 0x00}, 2, "\\5015\\4B02\\KEYS"}};
    return buildCard(card);
}

TEST(ProgramStore, ACardsCertificatesComeWithItAndGoWithIt)
{
    const std::string folder = prepareAppFolder("ProgramStore", true);
    const std::string image = folder + "\\card.txt";
    const std::string config = folder + "\\pcsc.txt";
    ASSERT_TRUE(writeTextFile(image, saveCardImage(atr20Card())));
    ASSERT_TRUE(writeTextFile(config, "reader Lector 0\n"));
    Program program;
    ASSERT_TRUE(program.start(folder + "\\VelmoMon.exe", config));
    ASSERT_TRUE(program.hiddenWindow() != NULL);

    const std::wstring serial(Serial, Serial + sizeof Serial - 1);
    const std::wstring signing = serial + L"200001\\5015\\4B0";
    const std::wstring encryption = serial + L"400002\\5015\\4B0";
    ASSERT_TRUE(writeTextFile(config, "reader Lector 0\ncard 0 " + image + "\n"));
    EXPECT_TRUE(waitUntil([&] { return containerInStore(encryptionCertificate()) == encryption; }));
    EXPECT_EQ(containerInStore(signingCertificate()), signing);

    ASSERT_TRUE(writeTextFile(config, "reader Lector 0\n"));
    EXPECT_TRUE(waitUntil([&] {
        return containerInStore(signingCertificate()) == L"(absent)" &&
               containerInStore(encryptionCertificate()) == L"(absent)";
    }));
    EXPECT_TRUE(program.running());
}

} // namespace
