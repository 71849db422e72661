// RSA-2048 test certificates made once with OpenSSL (tests/data/make-certs.sh):
// a CA and, issued by it to one person, a signing and an encryption certificate.
#pragma once

#include "CardImage.h"

Bytes caCertificate();
Bytes signingCertificate();
Bytes encryptionCertificate();
