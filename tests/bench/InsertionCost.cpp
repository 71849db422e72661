// One whole insertion of a card, for counting its CPU instructions under
// callgrind: the monitor's polling cycle that sees the card, reads it and
// hands every certificate to the store double, on the in-process PC/SC
// double. The benchmark collects only inside measuredInsertion and toggles
// collection off again inside the double's SCard* calls and the store
// double's copying, so that the card's answers and the keeping of the
// certificates cost nothing. `uncompress` runs bare zlib over the same
// certificate streams, once each, inside bareUncompress: the floor.
//   usage: insertion-cost CARD-IMAGE insertion|uncompress
#include <stdio.h>
#include <string.h>

#include <zlib.h>

#include "card/CardFamily.h"
#include "monitor/Monitor.h"
#include "monitor/MonitorTestHelpers.h"
#include "card-image/CardImage.h"
#include "support/FakePcsc.h"

namespace {

uint32_t le32(const uint8_t *bytes)
{
    return (uint32_t)bytes[0] | (uint32_t)bytes[1] << 8 | (uint32_t)bytes[2] << 16 |
           (uint32_t)bytes[3] << 24;
}

// The card's certificate files: an 8-octet header (inflated size, stream
// size) and a zlib stream that fills the rest.
std::vector<const Bytes *> certificateFiles(const CardImage &card)
{
    std::vector<const Bytes *> files;
    for (const CardFile &file : card.files) {
        const Bytes &content = file.content;
        if (!file.directory && content.size() > 8 && le32(content.data()) <= CertificateCapacity &&
            le32(content.data() + 4) == content.size() - 8)
            files.push_back(&content);
    }
    return files;
}

} // namespace

extern "C" __attribute__((noinline)) LONG measuredInsertion() { return pollReaders(); }

__attribute__((noinline)) int uncompressAll(const std::vector<const Bytes *> &files)
{
    static uint8_t data[CertificateCapacity];
    int failures = 0;
    // The destination length is the inflated size from the file header, as
    // the program gives it: with less than 258 octets of room left zlib
    // leaves its fast loop, so a larger buffer would cost less.
    for (const Bytes *file : files) {
        uLongf produced = le32(file->data());
        failures += uncompress(data, &produced, file->data() + 8, (uLong)(file->size() - 8)) != Z_OK;
    }
    return failures;
}

extern "C" __attribute__((noinline)) int bareUncompress(const std::vector<const Bytes *> &files)
{
    return uncompressAll(files);
}

int main(int argc, char **argv)
{
    CardImage card;
    if (argc != 3 || !loadCardImageFile(argv[1], card)) {
        fprintf(stderr, "usage: insertion-cost CARD-IMAGE insertion|uncompress\n");
        return 2;
    }
    if (strcmp(argv[2], "uncompress") == 0) {
        const std::vector<const Bytes *> files = certificateFiles(card);
        uncompressAll(files); // once to warm up, once measured
        return bareUncompress(files) == 0 && !files.empty() ? 0 : 1;
    }
    if (startMonitorAfresh() != SCARD_S_SUCCESS)
        return 1;
    const size_t reader = watchOneReader("Reader 0");
    pollReaders();
    // The first insertion warms the allocator up; the second is measured.
    for (int round = 0; round < 2; round++) {
        fakepcsc::insertCard(reader, card);
        if ((round ? measuredInsertion() : pollReaders()) != SCARD_S_SUCCESS)
            return 1;
        fakepcsc::removeCard(reader);
        pollReaders();
    }
    return fakepcsc::commandLog().size() > 20 ? 0 : 1;
}
