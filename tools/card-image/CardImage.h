// Builds the file system of a card of this family: master file, PKCS#15
// application, ODF, CDF, PrKDF, compressed certificate files, plus its ATR
// and chip-information answer. Used by the unit tests, the PC/SC double's
// DLL and the virtual card that plays to vpcd.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

typedef std::vector<uint8_t> Bytes;

// One file of a card. Directories carry a DF name (the master file's name,
// the application's AID); elementary files carry content.
struct CardFile {
    std::vector<uint16_t> path; // file identifiers from the master file (3F00) down
    bool directory;
    Bytes dfName;
    Bytes content;
};

struct CardImage {
    Bytes atr;
    Bytes chipInfo; // data of the chip-information answer
    std::vector<CardFile> files;

    CardFile *find(const std::vector<uint16_t> &path);
    const CardFile *find(const std::vector<uint16_t> &path) const;
    // Creates the file (and the directories above it) or replaces its content.
    void putFile(const std::vector<uint16_t> &path, const Bytes &content);
};

enum CardFamily { FamilyAtr21, FamilyAtr20 };

struct KeyDescription {
    Bytes id;
    uint8_t usage[2];
    uint8_t keyReference;
    std::string pathText;
};

struct CertificateDescription {
    Bytes der;
    Bytes id;
    std::string pathText; // "\5015\C001": where the certificate file is put
};

struct CardDescription {
    CardFamily family;
    Bytes serial; // 6 octets for Atr21 cards, 7 for Atr20 cards
    std::vector<CertificateDescription> certificates;
    std::vector<KeyDescription> keys;
    bool longFormHeaders; // entry headers with 82 xx xx lengths
};

// DER pieces, for tests that build unusual entries by hand.
Bytes derTlv(uint8_t tag, const Bytes &value, bool longForm = false);
Bytes concat(const std::vector<Bytes> &parts);
Bytes textBytes(const std::string &text);
// "3BEF00" -> bytes; false unless the text is pairs of hexadecimal digits.
bool parseHexBytes(const std::string &text, Bytes &bytes);
Bytes cdfEntry(const CertificateDescription &certificate, bool longForm = false);
Bytes prkdfEntry(const KeyDescription &key, bool longForm = false);
Bytes certificateFile(const Bytes &der); // 8-octet header, then the zlib stream
Bytes chipInfoFor(CardFamily family, const Bytes &serial);
Bytes atrFor(CardFamily family);
std::vector<uint16_t> parsePathText(const std::string &pathText); // with 3F00 first

// Files: 3F00 "Master.File"; 3F00/5015 the application; 5031 ODF naming
// PrKDF 6001 and CDF 6004; the certificate files at their path texts.
CardImage buildCard(const CardDescription &description);

// A line-based text form, so that tools and tests can pass images around:
//   atr <hex> / chip <hex> / df <path> <hex name> / ef <path> <hex content>
// with paths written as 3F00/5015/5031.
std::string saveCardImage(const CardImage &image);
bool loadCardImage(const std::string &text, CardImage &image);
bool loadCardImageFile(const char *fileName, CardImage &image);
