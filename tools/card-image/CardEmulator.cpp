// A card of this family answering command APDUs from its image.
#include "CardEmulator.h"

#include <algorithm>

Bytes statusOnly(uint16_t status)
{
    return Bytes{(uint8_t)(status >> 8), (uint8_t)status};
}

Bytes withStatus(Bytes data, uint16_t status)
{
    data.push_back((uint8_t)(status >> 8));
    data.push_back((uint8_t)status);
    return data;
}

namespace {

bool isParent(const CardFile &parent, const CardFile &child)
{
    return child.path.size() == parent.path.size() + 1 &&
           std::equal(parent.path.begin(), parent.path.end(), child.path.begin());
}

bool validIndex(const CardImage &card, int index)
{
    return index >= 0 && (size_t)index < card.files.size();
}

// File control information, enough for a T=0 card's GET RESPONSE.
Bytes fciOf(const CardFile &file)
{
    const uint16_t id = file.path.empty() ? 0 : file.path.back();
    return Bytes{0x6F, 0x04, 0x83, 0x02, (uint8_t)(id >> 8), (uint8_t)id};
}

Bytes selectAnswer(CardSelection &selection, const CardFile &file, bool needsGetResponse)
{
    if (!needsGetResponse)
        return statusOnly(0x9000);
    selection.pending = fciOf(file);
    return statusOnly((uint16_t)(0x6100 | selection.pending.size()));
}

Bytes selectByName(const CardImage &card, CardSelection &selection, const Bytes &name,
                   bool needsGetResponse)
{
    for (size_t i = 0; i < card.files.size(); i++) {
        if (card.files[i].directory && card.files[i].dfName == name) {
            selection.currentDf = (int)i;
            selection.currentEf = -1;
            return selectAnswer(selection, card.files[i], needsGetResponse);
        }
    }
    return statusOnly(0x6A82);
}

Bytes selectById(const CardImage &card, CardSelection &selection, uint16_t id, bool needsGetResponse)
{
    const bool inDirectory = validIndex(card, selection.currentDf);
    for (size_t i = 0; i < card.files.size(); i++) {
        const CardFile &file = card.files[i];
        if (file.path.empty())
            continue;
        bool reachable = file.path.size() == 1 && file.path[0] == id;
        if (inDirectory && file.path.back() == id)
            reachable = reachable || isParent(card.files[selection.currentDf], file);
        if (!reachable)
            continue;
        if (file.directory) {
            selection.currentDf = (int)i;
            selection.currentEf = -1;
        } else {
            selection.currentEf = (int)i;
        }
        return selectAnswer(selection, file, needsGetResponse);
    }
    return statusOnly(0x6A82);
}

Bytes readBinary(const CardImage &card, const CardSelection &selection, const Bytes &apdu)
{
    if (!validIndex(card, selection.currentEf))
        return statusOnly(0x6986);
    const Bytes &content = card.files[selection.currentEf].content;
    const size_t offset = (size_t)(apdu[2] & 0x7F) << 8 | apdu[3];
    const size_t wanted = apdu[4] ? apdu[4] : 256;
    if (offset >= content.size())
        return statusOnly(0x6B00);
    const size_t available = content.size() - offset;
    const size_t given = available < wanted ? available : wanted;
    Bytes data(content.begin() + (long)offset, content.begin() + (long)(offset + given));
    return withStatus(data, given == wanted ? 0x9000 : 0x6282);
}

Bytes chipInfo(const CardImage &card, const Bytes &apdu)
{
    const size_t wanted = apdu[4] ? apdu[4] : 256;
    if (card.chipInfo.size() < wanted)
        return statusOnly((uint16_t)(0x6C00 | (card.chipInfo.size() & 0xFF)));
    return withStatus(Bytes(card.chipInfo.begin(), card.chipInfo.begin() + (long)wanted), 0x9000);
}

Bytes getResponse(CardSelection &selection, const Bytes &apdu)
{
    if (selection.pending.empty())
        return statusOnly(0x6985);
    const size_t wanted = apdu[4] ? apdu[4] : 256;
    Bytes data = selection.pending;
    selection.pending.clear();
    if (data.size() > wanted)
        data.resize(wanted);
    return withStatus(data, 0x9000);
}

} // namespace

CardSelection freshSelection() { return CardSelection{-1, -1, Bytes()}; }

Bytes answerApdu(const CardImage &card, CardSelection &selection, const Bytes &apdu,
                 bool selectNeedsGetResponse)
{
    if (apdu.size() < 5)
        return statusOnly(0x6700);
    const uint8_t cla = apdu[0], ins = apdu[1], p1 = apdu[2], lc = apdu[4];
    if (cla == 0x00 && ins == 0xC0)
        return getResponse(selection, apdu);
    selection.pending.clear();
    if (cla == 0x90 && ins == 0xB8)
        return chipInfo(card, apdu);
    if (cla != 0x00)
        return statusOnly(0x6E00);
    switch (ins) {
    case 0xA4:
        if (apdu.size() != 5u + lc)
            return statusOnly(0x6700);
        if (p1 == 0x04)
            return selectByName(card, selection, Bytes(apdu.begin() + 5, apdu.end()),
                                selectNeedsGetResponse);
        if (p1 == 0x00 && lc == 2)
            return selectById(card, selection, (uint16_t)(apdu[5] << 8 | apdu[6]),
                              selectNeedsGetResponse);
        return statusOnly(0x6A86);
    case 0xB0:
        return readBinary(card, selection, apdu);
    default:
        return statusOnly(0x6D00);
    }
}
