// The cards the tests insert, built from the test certificates: a card of
// either family with nothing but its serial, and cards whose certificates
// and keys are numbered as the card's own tools number them.
#pragma once

#include <stdint.h>

#include <string>

#include "card-image/CardImage.h"
#include "card-image/TestCertificates.h"

// The application, its ODF and the chip information; no certificates.
inline CardImage familyCard(CardFamily family, const Bytes &serial)
{
    CardDescription description = {};
    description.family = family;
    description.serial = serial;
    return buildCard(description);
}

// Certificate `id` (identifier 45 id) in the file \5015\<file>.
inline CertificateDescription certificateOf(const Bytes &der, uint8_t id, const std::string &file)
{
    return CertificateDescription{der, Bytes{0x45, id}, "\\5015\\" + file};
}

// The key of certificate `id`, with its usage bits and the card's key reference.
inline KeyDescription keyOf(uint8_t id, uint16_t usage, uint8_t reference,
                            const std::string &path = "\\5015\\4B01\\KEYS")
{
    return KeyDescription{Bytes{0x45, id}, {(uint8_t)(usage >> 8), (uint8_t)usage}, reference, path};
}

// A distinct certificate made from a real one: only its signature differs,
// which the store neither checks nor needs.
inline Bytes variantOf(Bytes der, unsigned number)
{
    der[der.size() - 1] = (uint8_t)number;
    der[der.size() - 2] = (uint8_t)(number >> 8);
    der[der.size() - 3] ^= 0x5A;
    return der;
}

// The demo card: signing and encryption certificates with keys, and the
// CA certificate without one.
inline CardDescription demoCard(CardFamily family, const Bytes &serial)
{
    CardDescription card = {};
    card.family = family;
    card.serial = serial;
    card.certificates = {certificateOf(signingCertificate(), 1, "C001"),
                         certificateOf(encryptionCertificate(), 2, "C002"),
                         certificateOf(caCertificate(), 3, "C003")};
    card.keys = {keyOf(1, 0x2000, 1), keyOf(2, 0x4000, 2)};
    return card;
}
