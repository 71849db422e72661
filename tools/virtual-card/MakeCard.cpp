// Writes a card image file of this family in the text form the virtual
// card loads, built from the test certificates.
//   usage: velmo-make-card [--family atr21|atr20] [--serial HEX]
//                          [--certificates LIST] [--keys LIST] [--long-headers] OUTPUT
// LIST is a comma-separated choice of sign, enc and ca. The defaults make the
// demo card: an Atr21 card with the signing certificate (its key signs), the
// encryption certificate (its key decrypts) and the CA certificate, whose key
// is not on the card.
#include <stdio.h>
#include <stdlib.h>

#include <sstream>
#include <string>

#include "card-image/CardImage.h"
#include "card-image/TestCertificates.h"

namespace {

struct CertificateChoice {
    const char *name;
    Bytes (*der)();
    uint8_t id;
    const char *file;
    uint16_t keyUsage;
    uint8_t keyReference;
};

const CertificateChoice Choices[] = {
    {"sign", signingCertificate, 1, "C001", 0x2000, 1},
    {"enc", encryptionCertificate, 2, "C002", 0x4000, 2},
    {"ca", caCertificate, 3, "C003", 0x0400, 3},
};

const CertificateChoice *findChoice(const std::string &name)
{
    for (const CertificateChoice &choice : Choices)
        if (name == choice.name)
            return &choice;
    return NULL;
}

bool parseList(const std::string &text, std::vector<const CertificateChoice *> &chosen)
{
    chosen.clear();
    std::istringstream in(text);
    std::string name;
    while (std::getline(in, name, ',')) {
        const CertificateChoice *choice = findChoice(name);
        if (!choice)
            return false;
        chosen.push_back(choice);
    }
    return true;
}

bool parseHex(const std::string &text, Bytes &bytes)
{
    return !text.empty() && parseHexBytes(text, bytes);
}

int usage()
{
    fprintf(stderr, "usage: velmo-make-card [--family atr21|atr20] [--serial HEX] [--certificates LIST]\n"
                    "                       [--keys LIST] [--long-headers] OUTPUT\n"
                    "  LIST: comma-separated sign, enc, ca (default certificates sign,enc,ca; keys sign,enc)\n");
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    CardDescription card = {};
    card.family = FamilyAtr21;
    std::string serialText, certificatesText = "sign,enc,ca", keysText = "sign,enc";
    const char *output = NULL;
    for (int i = 1; i < argc; i++) {
        const std::string option = argv[i];
        const bool hasValue = i + 1 < argc;
        if (option == "--family" && hasValue) {
            const std::string family = argv[++i];
            if (family != "atr21" && family != "atr20")
                return usage();
            card.family = family == "atr20" ? FamilyAtr20 : FamilyAtr21;
        } else if (option == "--serial" && hasValue) {
            serialText = argv[++i];
        } else if (option == "--certificates" && hasValue) {
            certificatesText = argv[++i];
        } else if (option == "--keys" && hasValue) {
            keysText = argv[++i];
        } else if (option == "--long-headers") {
            card.longFormHeaders = true;
        } else if (!output && option[0] != '-') {
            output = argv[i];
        } else {
            return usage();
        }
    }
    if (!output)
        return usage();
    if (serialText.empty())
        serialText = card.family == FamilyAtr20 ? "0123456789ABCD" : "001A2B3C4D5E";
    const size_t serialLength = card.family == FamilyAtr20 ? 7 : 6;
    std::vector<const CertificateChoice *> certificates, keys;
    if (!parseHex(serialText, card.serial) || card.serial.size() != serialLength) {
        fprintf(stderr, "velmo-make-card: the serial is %zu octets in hexadecimal\n", serialLength);
        return 2;
    }
    if (!parseList(certificatesText, certificates) || !parseList(keysText, keys))
        return usage();
    for (const CertificateChoice *choice : certificates)
        card.certificates.push_back(CertificateDescription{
            choice->der(), Bytes{0x45, choice->id}, std::string("\\5015\\") + choice->file});
    for (const CertificateChoice *choice : keys)
        card.keys.push_back(KeyDescription{Bytes{0x45, choice->id},
                                           {(uint8_t)(choice->keyUsage >> 8), (uint8_t)choice->keyUsage},
                                           choice->keyReference, "\\5015\\4B01\\KEYS"});
    const std::string text = saveCardImage(buildCard(card));
    FILE *file = fopen(output, "w");
    if (!file) {
        perror(output);
        return 1;
    }
    const bool written = fwrite(text.data(), 1, text.size(), file) == text.size();
    if (fclose(file) != 0 || !written) {
        perror(output);
        return 1;
    }
    return 0;
}
