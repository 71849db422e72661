// Writes the fuzz targets' seed corpora: well-formed cards of both kinds,
// with short and long entry headers and several certificates, read by the
// real session against the PC/SC double, with every answer it received
// written in the fuzzing double's script format.
//
//   make-fuzz-seeds <corpus directory>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "FuzzPcsc.h"
#include "card/CardSession.h"
#include "card/CardFamily.h"
#include "monitor/Monitor.h"
#include "monitor/MonitorTestHelpers.h"
#include "support/CollectingStore.h"
#include "support/FakePcsc.h"
#include "card-image/TestCertificates.h"

namespace {

struct SeedCard {
    const char *name;
    CardFamily family;
    bool longFormHeaders;
    int certificates; // the first n of CA, signing, encryption
    bool selectNeedsGetResponse;
};

const SeedCard SeedCards[] = {
    {"atr21-three", FamilyAtr21, false, 3, false},
    {"atr21-three-long", FamilyAtr21, true, 3, false},
    {"atr21-one-getresponse", FamilyAtr21, false, 1, true},
    {"atr20-three", FamilyAtr20, false, 3, false},
    {"atr20-two-long", FamilyAtr20, true, 2, false},
    {"atr20-empty", FamilyAtr20, false, 0, false},
};

const std::vector<uint16_t> CdfPath = {0x3F00, 0x5015, 0x6004};
const std::vector<uint16_t> PrkdfPath = {0x3F00, 0x5015, 0x6001};
const std::vector<uint16_t> OdfPath = {0x3F00, 0x5015, 0x5031};

std::string corpus;

bool writeSeed(const std::string &target, const std::string &name, const Bytes &bytes)
{
    const std::string directory = corpus + "/" + target;
    mkdir(corpus.c_str(), 0755);
    mkdir(directory.c_str(), 0755);
    const std::string path = directory + "/" + name;
    FILE *file = fopen(path.c_str(), "wb");
    if (!file)
        return false;
    const bool written = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return fclose(file) == 0 && written;
}

CardImage buildSeedCard(const SeedCard &seed)
{
    const Bytes ders[3] = {caCertificate(), signingCertificate(), encryptionCertificate()};
    const char *paths[3] = {"\\5015\\C000", "\\5015\\C001", "\\5015\\C002"};
    const uint8_t usages[3][2] = {{0x00, 0x00}, {0x20, 0x00}, {0x40, 0x00}};
    CardDescription description = {};
    description.family = seed.family;
    description.serial = seed.family == FamilyAtr20
                             ? Bytes{0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD}
                             : Bytes{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
    description.longFormHeaders = seed.longFormHeaders;
    for (int i = 0; i < seed.certificates; i++) {
        const Bytes id = {0x45, (uint8_t)(0x10 + i)};
        description.certificates.push_back(CertificateDescription{ders[i], id, paths[i]});
        if (i > 0)
            description.keys.push_back(KeyDescription{id, {usages[i][0], usages[i][1]},
                                                      (uint8_t)i, "\\3F00\\5015\\4B0" +
                                                                      std::to_string(i)});
    }
    return buildCard(description);
}

// The answers of the commands logged since the log was cleared.
Bytes scriptOfLog(uint8_t firstByte)
{
    Bytes script = {firstByte};
    for (const fakepcsc::CommandRecord &record : fakepcsc::commandLog()) {
        if (record.result != SCARD_S_SUCCESS)
            fuzzpcsc::appendError(script);
        else
            fuzzpcsc::appendAnswer(script, record.answer.data(), record.answer.size());
    }
    return script;
}

// The session's construction and whole walk, as fuzzCardReading replays it.
Bytes cardReadingScript(const SeedCard &seed, const CardImage &card)
{
    fakepcsc::reset();
    fakepcsc::setSelectNeedsGetResponse(seed.selectNeedsGetResponse);
    const CardKind family = seed.family == FamilyAtr20 ? Atr20 : Atr21;
    const SCARDHANDLE handle = fakepcsc::connectCard(card);
    CardSession *session = new CardSession(handle, family);
    CardCertificate *record = new CardCertificate();
    record->cursor = 0;
    do
        record->dataLength = CertificateCapacity;
    while (session->nextCertificate(*record));
    delete record;
    delete session;
    SCardDisconnect(handle, SCARD_LEAVE_CARD);
    return scriptOfLog(family == Atr20 ? 1 : 0);
}

// One insertion through the polling cycle, as fuzzInsertion replays it.
Bytes insertionScript(const SeedCard &seed, const CardImage &card)
{
    fakepcsc::reset();
    fakepcsc::setSelectNeedsGetResponse(seed.selectNeedsGetResponse);
    collectingstore::reset();
    clearReaderTable();
    SCardEstablishContext(SCARD_SCOPE_USER, NULL, NULL, &pcscContext);
    const size_t reader = fakepcsc::addReader("Seed Reader");
    fakepcsc::insertCard(reader, card);
    static const char readers[] = "Seed Reader\0";
    fillReaderTable(readers);
    pollReaders();
    const Bytes script = scriptOfLog(seed.family == FamilyAtr20 ? 1 : 0);
    clearReaderTable();
    return script;
}

Bytes padded(Bytes bytes, size_t size, uint8_t fill)
{
    if (bytes.size() < size)
        bytes.resize(size, fill);
    return bytes;
}

bool writeCardSeeds()
{
    bool written = true;
    for (const SeedCard &seed : SeedCards) {
        const CardImage card = buildSeedCard(seed);
        written = writeSeed("card_reading", seed.name, cardReadingScript(seed, card)) && written;
        written = writeSeed("insertion", seed.name, insertionScript(seed, card)) && written;
        const Bytes odf = card.find(OdfPath)->content;
        written = writeSeed("object_directory", seed.name, padded(odf, 40, 0x00)) && written;
        written = writeSeed("der_helpers", std::string(seed.name) + "-cdf",
                            card.find(CdfPath)->content) && written;
        written = writeSeed("der_helpers", std::string(seed.name) + "-prkdf",
                            card.find(PrkdfPath)->content) && written;
    }
    return written;
}

bool writeTextSeeds()
{
    const char *const odfs[][2] = {
        {"two-entries", "A00630040402600AA40630040402600BFF"},
        {"five-slots", "A00630040402610AA10630040402610BA20630040402610CA30630040402610DA406300404026"
                       "10E"},
    };
    const char *const paths[][2] = {
        {"one", "\\C001"},
        {"two", "\\5015\\C001"},
        {"three", "\\3F00\\5015\\C001"},
        {"six", "\\3F00\\5015\\4401\\4402\\4403\\4404"},
        {"seven", "\\3F00\\5015\\4401\\4402\\4403\\4404\\4405"},
        {"long-digits", "\\5015C001\\12"},
        {"lower-case", "\\50a5\\c0"},
    };
    bool written = true;
    for (const auto &odf : odfs) {
        Bytes bytes;
        for (size_t i = 0; odf[1][i] && odf[1][i + 1]; i += 2)
            bytes.push_back((uint8_t)std::stoi(std::string(odf[1] + i, 2), NULL, 16));
        written = writeSeed("object_directory", odf[0], padded(bytes, 40, 0xFF)) && written;
    }
    for (const auto &path : paths)
        written = writeSeed("file_path", path[0], textBytes(path[1])) && written;
    const Bytes certificate = signingCertificate();
    written = writeSeed("der_helpers", "certificate-head",
                        Bytes(certificate.begin(), certificate.begin() + 300)) && written;
    return written;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: make-fuzz-seeds <corpus directory>\n");
        return 2;
    }
    corpus = argv[1];
    if (!writeCardSeeds() || !writeTextSeeds()) {
        fprintf(stderr, "make-fuzz-seeds: cannot write the seeds under %s\n", corpus.c_str());
        return 1;
    }
    return 0;
}
