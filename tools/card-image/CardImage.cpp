// The card image builder and the image's text form.
#include "CardImage.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>

#include <sstream>

#include <zlib.h>

namespace {

const uint16_t MasterFileId = 0x3F00;
const uint16_t ApplicationId = 0x5015;
const uint16_t OdfId = 0x5031;
const uint16_t PrkdfId = 0x6001;
const uint16_t CdfId = 0x6004;
const uint8_t Pkcs15Aid[12] = {0xA0, 0x00, 0x00, 0x00, 0x63, 0x50,
                               0x4B, 0x43, 0x53, 0x2D, 0x31, 0x35};
const uint8_t Atr21Bytes[21] = {0x3B, 0xEF, 0x00, 0x00, 0x40, 0x14, 0x80, 0x25, 0x56, 0x45, 0x4C,
                                0x4D, 0x4F, 0x02, 0x2C, 0x34, 0x02, 0x00, 0x03, 0x90, 0x00};
const uint8_t Atr20Bytes[20] = {0x3B, 0x7F, 0x13, 0x00, 0x00, 0x00, 0x6A, 0x56, 0x45, 0x4C,
                                0x4D, 0x4F, 0x02, 0x2C, 0x34, 0x02, 0x00, 0x03, 0x90, 0x00};

Bytes le32(uint32_t value)
{
    return Bytes{(uint8_t)value, (uint8_t)(value >> 8), (uint8_t)(value >> 16), (uint8_t)(value >> 24)};
}

std::string hex(const Bytes &bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (uint8_t b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

std::string pathString(const std::vector<uint16_t> &path)
{
    std::string text;
    char part[8];
    for (size_t i = 0; i < path.size(); i++) {
        snprintf(part, sizeof part, "%s%04X", i ? "/" : "", path[i]);
        text += part;
    }
    return text;
}

bool parsePath(const std::string &text, std::vector<uint16_t> &path)
{
    path.clear();
    std::istringstream in(text);
    std::string part;
    while (std::getline(in, part, '/')) {
        char *end = NULL;
        const long value = strtol(part.c_str(), &end, 16);
        if (part.empty() || *end || value < 0 || value > 0xFFFF)
            return false;
        path.push_back((uint16_t)value);
    }
    return !path.empty();
}

void putDirectory(CardImage &image, const std::vector<uint16_t> &path, const Bytes &name)
{
    CardFile *file = image.find(path);
    if (!file) {
        image.files.push_back(CardFile{path, true, name, Bytes()});
        return;
    }
    file->directory = true;
    if (!name.empty())
        file->dfName = name;
}

Bytes objectDirectory()
{
    Bytes odf = concat({
        derTlv(0xA0, derTlv(0x30, derTlv(0x04, Bytes{PrkdfId >> 8, PrkdfId & 0xFF}))),
        derTlv(0xA4, derTlv(0x30, derTlv(0x04, Bytes{CdfId >> 8, CdfId & 0xFF}))),
    });
    odf.resize(48, 0xFF);
    return odf;
}

} // namespace

CardFile *CardImage::find(const std::vector<uint16_t> &path)
{
    for (CardFile &file : files)
        if (file.path == path)
            return &file;
    return NULL;
}

const CardFile *CardImage::find(const std::vector<uint16_t> &path) const
{
    return const_cast<CardImage *>(this)->find(path);
}

void CardImage::putFile(const std::vector<uint16_t> &path, const Bytes &content)
{
    for (size_t depth = 1; depth < path.size(); depth++)
        putDirectory(*this, std::vector<uint16_t>(path.begin(), path.begin() + (long)depth), Bytes());
    CardFile *file = find(path);
    if (file) {
        file->directory = false;
        file->content = content;
        return;
    }
    files.push_back(CardFile{path, false, Bytes(), content});
}

Bytes derTlv(uint8_t tag, const Bytes &value, bool longForm)
{
    Bytes tlv{tag};
    const size_t n = value.size();
    if (longForm || n > 255) {
        tlv.insert(tlv.end(), {0x82, (uint8_t)(n >> 8), (uint8_t)n});
    } else if (n > 127) {
        tlv.insert(tlv.end(), {0x81, (uint8_t)n});
    } else {
        tlv.push_back((uint8_t)n);
    }
    tlv.insert(tlv.end(), value.begin(), value.end());
    return tlv;
}

Bytes concat(const std::vector<Bytes> &parts)
{
    Bytes all;
    for (const Bytes &part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

Bytes textBytes(const std::string &text) { return Bytes(text.begin(), text.end()); }

bool parseHexBytes(const std::string &text, Bytes &bytes)
{
    if (text.size() % 2)
        return false;
    bytes.clear();
    for (size_t i = 0; i < text.size(); i += 2) {
        // strtol alone would take a sign or a blank as part of a pair.
        if (!isxdigit((unsigned char)text[i]) || !isxdigit((unsigned char)text[i + 1]))
            return false;
        bytes.push_back((uint8_t)strtol(text.substr(i, 2).c_str(), NULL, 16));
    }
    return true;
}


// PKCS15Object with the path, index and length standing directly in the
// X509CertificateAttributes SEQUENCE, as this card family lays them out.
Bytes cdfEntry(const CertificateDescription &certificate, bool longForm)
{
    const Bytes common = derTlv(0x30, derTlv(0x0C, textBytes("Certificado")));
    const Bytes classAttributes = derTlv(0x30, derTlv(0x04, certificate.id));
    const Bytes x509 = derTlv(0x30, concat({
        derTlv(0x04, textBytes(certificate.pathText)),
        derTlv(0x02, Bytes{0x00}),
        derTlv(0x80, Bytes{(uint8_t)(certificate.der.size() >> 8), (uint8_t)certificate.der.size()}),
    }), longForm);
    return derTlv(0x30, concat({common, classAttributes, derTlv(0xA1, x509, longForm)}), longForm);
}

// The key-usage BIT STRING always holds two octets, and every element whose
// octets are read at fixed positions uses short-form lengths.
Bytes prkdfEntry(const KeyDescription &key, bool longForm)
{
    const Bytes common = derTlv(0x30, concat({derTlv(0x0C, textBytes("Clave privada")),
                                              derTlv(0x03, Bytes{0x07, 0x80})}));
    const Bytes classAttributes = derTlv(0x30, concat({
        derTlv(0x04, key.id),
        derTlv(0x03, Bytes{0x00, key.usage[0], key.usage[1]}),
        derTlv(0x01, Bytes{0xFF}),
        derTlv(0x03, Bytes{0x03, 0xB8}),
        derTlv(0x02, Bytes{key.keyReference}),
    }));
    const Bytes subClass = derTlv(0xA0, derTlv(0x30, derTlv(0x30, Bytes{})));
    const Bytes type = derTlv(0xA1, derTlv(0x30, concat({derTlv(0x04, textBytes(key.pathText)),
                                                         derTlv(0x02, Bytes{0x08, 0x00})})));
    return derTlv(0x30, concat({common, classAttributes, subClass, type}), longForm);
}

Bytes certificateFile(const Bytes &der)
{
    uLongf size = compressBound((uLong)der.size());
    Bytes stream(size);
    if (compress2(stream.data(), &size, der.data(), (uLong)der.size(), 9) != Z_OK)
        abort();
    stream.resize(size);
    return concat({le32((uint32_t)der.size()), le32((uint32_t)stream.size()), stream});
}

Bytes chipInfoFor(CardFamily family, const Bytes &serial)
{
    Bytes info(family == FamilyAtr20 ? 17 : 18, 0x00);
    const size_t offset = family == FamilyAtr20 ? 0 : 10;
    for (size_t i = 0; i < serial.size() && offset + i < info.size(); i++)
        info[offset + i] = serial[i];
    if (family == FamilyAtr21)
        info[0] = 0xC5; // bytes around the serial carry other chip data
    else
        info[16] = 0x5A;
    return info;
}

Bytes atrFor(CardFamily family)
{
    if (family == FamilyAtr20)
        return Bytes(Atr20Bytes, Atr20Bytes + sizeof Atr20Bytes);
    return Bytes(Atr21Bytes, Atr21Bytes + sizeof Atr21Bytes);
}

std::vector<uint16_t> parsePathText(const std::string &pathText)
{
    std::vector<uint16_t> path{MasterFileId};
    for (size_t at = 0; at + 5 <= pathText.size() && pathText[at] == '\\'; at += 5)
        path.push_back((uint16_t)strtol(pathText.substr(at + 1, 4).c_str(), NULL, 16));
    return path;
}

CardImage buildCard(const CardDescription &description)
{
    CardImage image;
    image.atr = atrFor(description.family);
    image.chipInfo = chipInfoFor(description.family, description.serial);
    putDirectory(image, {MasterFileId}, textBytes("Master.File"));
    putDirectory(image, {MasterFileId, ApplicationId}, Bytes(Pkcs15Aid, Pkcs15Aid + sizeof Pkcs15Aid));
    image.putFile({MasterFileId, ApplicationId, OdfId}, objectDirectory());
    Bytes cdf, prkdf;
    for (const CertificateDescription &certificate : description.certificates) {
        cdf = concat({cdf, cdfEntry(certificate, description.longFormHeaders)});
        image.putFile(parsePathText(certificate.pathText), certificateFile(certificate.der));
    }
    for (const KeyDescription &key : description.keys)
        prkdf = concat({prkdf, prkdfEntry(key, description.longFormHeaders)});
    cdf.resize(cdf.size() + 16, 0x00);
    prkdf.resize(prkdf.size() + 16, 0x00);
    image.putFile({MasterFileId, ApplicationId, CdfId}, cdf);
    image.putFile({MasterFileId, ApplicationId, PrkdfId}, prkdf);
    return image;
}

std::string saveCardImage(const CardImage &image)
{
    std::string text = "atr " + hex(image.atr) + "\nchip " + hex(image.chipInfo) + "\n";
    for (const CardFile &file : image.files) {
        text += file.directory ? "df " : "ef ";
        text += pathString(file.path) + " ";
        text += hex(file.directory ? file.dfName : file.content) + "\n";
    }
    return text;
}

bool loadCardImage(const std::string &text, CardImage &image)
{
    image = CardImage();
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string kind, first, second;
        fields >> kind >> first >> second;
        Bytes bytes;
        std::vector<uint16_t> path;
        if (kind.empty() || kind[0] == '#')
            continue;
        if (kind == "atr" && parseHexBytes(first, image.atr))
            continue;
        if (kind == "chip" && parseHexBytes(first, image.chipInfo))
            continue;
        if ((kind == "df" || kind == "ef") && parsePath(first, path) && parseHexBytes(second, bytes)) {
            if (kind == "df")
                image.files.push_back(CardFile{path, true, bytes, Bytes()});
            else
                image.files.push_back(CardFile{path, false, Bytes(), bytes});
            continue;
        }
        return false;
    }
    return true;
}

bool loadCardImageFile(const char *fileName, CardImage &image)
{
    FILE *file = fopen(fileName, "rb");
    if (!file)
        return false;
    std::string text;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, file)) > 0)
        text.append(buffer, n);
    fclose(file);
    return loadCardImage(text, image);
}
