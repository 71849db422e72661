// The status line: each reader's card as the user would put it, the sum of
// them in a few Spanish words, and its publication under a lock held only
// for a copy of 50 octets, so that neither thread ever waits for long.
#include "StatusLine.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

namespace {

// What the card in a reader is to the user.
enum CardView { NoCard, CardRead, CardPending, CardHeld, CardNotAnswering, CardForeign };

struct CardSum {
    unsigned cards;
    unsigned read;
    unsigned certificates; // of the cards read
    CardView firstProblem; // of the first card not read, in table order
};

// A card whose certificates are registered counts as read while its serial
// is checked again. A free slot beside a card holds one the monitor left
// alone: not of the family, mute, or in another program's hands when it
// was seen.
CardView viewOf(const SCARD_READERSTATEA &entry, const CardSlot &slot)
{
    if (slot.status == SlotRegistered || slot.status == SlotChecking)
        return CardRead;
    if (slot.status == SlotFree && !(entry.dwCurrentState & SCARD_STATE_PRESENT))
        return NoCard;
    switch (slot.whyUnread) {
    case UnreadHeldExclusively:
        return CardHeld;
    case UnreadMute:
    case UnreadNotAnswering:
        return CardNotAnswering;
    case UnreadNotOfTheFamily:
        return CardForeign;
    case UnreadNone:
        break;
    }
    if (slot.status == SlotFree && (entry.dwCurrentState & (SCARD_STATE_INUSE | SCARD_STATE_EXCLUSIVE)))
        return CardHeld;
    return CardPending;
}

// Why a card is not read, after "Tarjeta" or "una".
const char *reasonOf(CardView view)
{
    switch (view) {
    case CardHeld:
        return "usada por otro programa";
    case CardNotAnswering:
        return "no responde";
    case CardForeign:
        return "no reconocida";
    default:
        return "pendiente de leer";
    }
}

CardSum sumOf(const ReaderTable &table)
{
    CardSum sum = {0, 0, 0, NoCard};
    for (uint32_t i = 0; i < table.count && i < ReaderTableSize; i++) {
        const CardView view = viewOf(table.entries[i], table.slots[i]);
        if (view == NoCard)
            continue;
        sum.cards++;
        if (view == CardRead) {
            sum.read++;
            sum.certificates += table.slots[i].certificates;
        } else if (sum.firstProblem == NoCard) {
            sum.firstProblem = view;
        }
    }
    return sum;
}

// Writes the text into the line; false when it did not fit whole.
__attribute__((format(printf, 2, 3))) bool fits(char *line, const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    const int length = vsnprintf(line, StatusLineCapacity, format, arguments);
    va_end(arguments);
    return length >= 0 && (size_t)length < StatusLineCapacity;
}

void describeAllRead(const CardSum &sum, char *line)
{
    char cards[24];
    if (sum.read == 1)
        snprintf(cards, sizeof cards, "Tarjeta leida");
    else
        snprintf(cards, sizeof cards, "%u tarjetas leidas", sum.read);
    if (sum.certificates == 0)
        fits(line, "%s, sin certificados", cards);
    else
        fits(line, "%s: %u %s", cards, sum.certificates, sum.certificates == 1 ? "certificado" : "certificados");
}

// Several cards, not all of them read. What does not fit goes: the count
// of certificates first, then the first problem; the counts of cards
// always fit.
void describeSeveral(const CardSum &sum, char *line)
{
    const unsigned unread = sum.cards - sum.read;
    const char *reason = reasonOf(sum.firstProblem);
    if (sum.read == 0) {
        if (!fits(line, "%u tarjetas sin leer; una %s", unread, reason) &&
            !fits(line, "%u sin leer; una %s", unread, reason))
            fits(line, "%u tarjetas sin leer", unread);
        return;
    }
    char problem[64];
    if (unread == 1)
        snprintf(problem, sizeof problem, "una %s", reason);
    else
        snprintf(problem, sizeof problem, "%u sin leer, una %s", unread, reason);
    const char *read = sum.read == 1 ? "leida" : "leidas";
    if (fits(line, "%u %s (%u cert.); %s", sum.read, read, sum.certificates, problem) ||
        fits(line, "%u %s; %s", sum.read, read, problem) ||
        fits(line, "%u %s (%u cert.); %u sin leer", sum.read, read, sum.certificates, unread))
        return;
    fits(line, "%u %s; %u sin leer", sum.read, read, unread);
}

void lock(PublishedLine &published)
{
    while (__atomic_exchange_n(&published.lock, 1L, __ATOMIC_ACQUIRE))
        ;
}

void unlock(PublishedLine &published)
{
    __atomic_store_n(&published.lock, 0L, __ATOMIC_RELEASE);
}

} // namespace

void describeReaders(const ReaderTable &table, bool serviceReached, char line[StatusLineCapacity])
{
    if (!serviceReached) {
        fits(line, "Servicio de tarjetas no disponible");
        return;
    }
    if (table.count == 0) {
        fits(line, "No hay lector de tarjetas");
        return;
    }
    const CardSum sum = sumOf(table);
    if (sum.cards == 0)
        fits(line, "%s", table.count == 1 ? "Sin tarjeta en el lector" : "Sin tarjeta en los lectores");
    else if (sum.read == sum.cards)
        describeAllRead(sum, line);
    else if (sum.cards == 1)
        fits(line, "Tarjeta %s", reasonOf(sum.firstProblem));
    else
        describeSeveral(sum, line);
}

// Only this thread writes the text, so it compares without the lock.
bool publishStatusLine(PublishedLine &published, const ReaderTable &table, bool serviceReached)
{
    char line[StatusLineCapacity];
    describeReaders(table, serviceReached, line);
    if (strcmp(line, published.text) == 0)
        return false;
    lock(published);
    memcpy(published.text, line, sizeof line);
    unlock(published);
    return true;
}

void copyStatusLine(PublishedLine &published, char *line, size_t size)
{
    if (size == 0)
        return;
    lock(published);
    const size_t length = strnlen(published.text, size - 1);
    memcpy(line, published.text, length);
    unlock(published);
    line[length] = '\0';
}
