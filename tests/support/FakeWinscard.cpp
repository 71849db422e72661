// The PC/SC double as a winscard.dll for black-box tests of the program.
// A text file named by the environment variable FAKE_PCSC_CONFIG says which
// readers exist and which card image sits in each:
//   reader <name>                     (the rest of the line; fixed once read)
//   card <reader index> <image file>  (the text form of saveCardImage)
//   establish-error <hex>             (SCardEstablishContext fails with it)
//   unseen-swaps                      (a changed image replaces the card
//                                      without a removal or a count)
// The file is read again at every SCardEstablishContext and
// SCardGetStatusChangeA, so a test plays insertions and removals by
// rewriting it. A reader without a card line is empty.
#include <stdio.h>
#include <stdlib.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "FakePcsc.h"

namespace {

struct Config {
    std::vector<std::string> readers;
    std::vector<std::pair<size_t, std::string>> cards;
    LONG establishError = 0;
    bool unseenSwaps = false;
};

// Readers are added once, at the first read of the file.
bool readersFixed = false;
// The card image file in each reader, empty while the reader is empty.
std::vector<std::string> cardFiles;

std::string configFileName()
{
    char name[1024];
    const DWORD length = GetEnvironmentVariableA("FAKE_PCSC_CONFIG", name, sizeof name);
    if (length == 0 || length >= sizeof name)
        return std::string();
    return std::string(name, length);
}

std::string trimmed(const std::string &text)
{
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return std::string();
    const size_t last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

Config readConfig()
{
    Config config;
    const std::string name = configFileName();
    if (name.empty())
        return config;
    std::ifstream file(name.c_str());
    std::string line;
    while (std::getline(file, line)) {
        std::istringstream words(line);
        std::string keyword;
        words >> keyword;
        std::string rest;
        std::getline(words, rest);
        rest = trimmed(rest);
        if (keyword == "reader" && !rest.empty()) {
            config.readers.push_back(rest);
        } else if (keyword == "card") {
            std::istringstream fields(rest);
            size_t index;
            if (fields >> index) {
                std::string image;
                std::getline(fields, image);
                config.cards.push_back(std::make_pair(index, trimmed(image)));
            }
        } else if (keyword == "unseen-swaps") {
            config.unseenSwaps = true;
        } else if (keyword == "establish-error") {
            config.establishError = (LONG)strtoul(rest.c_str(), NULL, 16);
        }
    }
    return config;
}

std::string cardFileFor(const Config &config, size_t reader)
{
    std::string file;
    for (const auto &card : config.cards)
        if (card.first == reader)
            file = card.second;
    return file;
}

// A changed image is a removal now and an insertion at the next read, so
// that one status call sees the reader empty in between. An image that
// cannot be read plays no card and is tried again at the next read.
void applyCard(size_t reader, const std::string &wanted, bool unseen)
{
    std::string &current = cardFiles[reader];
    if (current == wanted)
        return;
    CardImage image;
    if (unseen && !current.empty() && !wanted.empty()) {
        if (loadCardImageFile(wanted.c_str(), image)) {
            fakepcsc::swapCardUnseen(reader, image);
            current = wanted;
        }
        return;
    }
    if (!current.empty()) {
        fakepcsc::removeCard(reader);
        current.clear();
        return;
    }
    if (!loadCardImageFile(wanted.c_str(), image))
        return;
    fakepcsc::insertCard(reader, image);
    current = wanted;
}

void applyConfig(const Config &config)
{
    if (!readersFixed) {
        readersFixed = true;
        for (const std::string &reader : config.readers)
            fakepcsc::addReader(reader);
        cardFiles.assign(config.readers.size(), std::string());
    }
    for (size_t reader = 0; reader < cardFiles.size(); reader++)
        applyCard(reader, cardFileFor(config, reader), config.unseenSwaps);
    fakepcsc::failEstablish(config.establishError);
}

} // namespace

// Exported as SCardEstablishContext and SCardGetStatusChangeA (winscard.def).
extern "C" LONG WINAPI configuredEstablishContext(DWORD scope, LPCVOID reserved1, LPCVOID reserved2,
                                                  LPSCARDCONTEXT context)
{
    applyConfig(readConfig());
    return SCardEstablishContext(scope, reserved1, reserved2, context);
}

extern "C" LONG WINAPI configuredGetStatusChange(SCARDCONTEXT context, DWORD timeout,
                                                 LPSCARD_READERSTATEA states, DWORD count)
{
    applyConfig(readConfig());
    return SCardGetStatusChangeA(context, timeout, states, count);
}
