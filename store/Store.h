// Adding a card's certificates to the current user's "MY" store, bound to
// the card's provider, and deleting them again when the card leaves.
#pragma once

class CardSession;

// Answers how many certificates went into "MY".
unsigned registerCardCertificates(CardSession *session);
void removeCardCertificates(const char *serial);
// Run once at start-up, before the first card is handled. While the same
// user's copy runs in another session, the record's certificates may be
// that copy's cards, still in their readers: the record is left alone.
void removeStrandedCertificates(bool userRunsElsewhere = false);
