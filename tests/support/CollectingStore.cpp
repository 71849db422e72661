// The collecting double of the certificate store.
#include "CollectingStore.h"

#include <string.h>

#include "../../card/CardSession.h"
#include "../../events/Events.h"
#include "../../store/Store.h"

namespace collectingstore {
namespace {

struct State {
    std::vector<CollectedCertificate> certificates;
    unsigned registrations = 0;
    bool overran = false;
    std::vector<std::string> removedSerials;
    PersonalStore personalStore;
};

unsigned (*commandCounter)() = NULL;

State &state()
{
    static State s;
    return s;
}

CollectedCertificate collect(const CardCertificate &record)
{
    const void *nameEnd = memchr(record.containerName, '\0', sizeof record.containerName);
    const bool malformed = record.dataLength > CertificateCapacity || !nameEnd;
    const uint32_t length = malformed ? 0 : record.dataLength;
    const size_t nameLength = nameEnd ? (const char *)nameEnd - record.containerName : 0;
    return CollectedCertificate{Bytes(record.data, record.data + length),
                                std::string(record.containerName, nameLength), record.keyUsage,
                                malformed, commandCounter ? commandCounter() : 0};
}

// Its first 20 octets stand for the thumbprint in the events.
void addToPersonalStore(const CollectedCertificate &certificate)
{
    Binding &row = state().personalStore[certificate.der];
    if (!certificate.containerName.empty())
        row = Binding{certificate.containerName, certificate.keyUsage};
    if (certificate.der.size() >= 20)
        noteCertificateAdded(certificate.der.data(), !certificate.containerName.empty());
}

} // namespace

void reset() { state() = State(); }
const std::vector<CollectedCertificate> &certificates() { return state().certificates; }
unsigned registrations() { return state().registrations; }
bool walkOverran() { return state().overran; }
const std::vector<std::string> &removedSerials() { return state().removedSerials; }
PersonalStore &personalStore() { return state().personalStore; }
void countCommandsWith(unsigned (*counter)()) { commandCounter = counter; }

} // namespace collectingstore

using namespace collectingstore;

unsigned registerCardCertificates(CardSession *session)
{
    state().registrations++;
    if (!session)
        return 0;
    unsigned added = 0;
    // Filled so that a true answer that wrote nothing is seen as such.
    CardCertificate *certificate = new CardCertificate;
    memset(certificate, 0xA5, sizeof *certificate);
    certificate->cursor = 0;
    for (unsigned count = 0;; count++) {
        if (count == CertificateLimit) {
            state().overran = true;
            break;
        }
        certificate->dataLength = CertificateCapacity;
        if (!session->nextCertificate(*certificate))
            break;
        state().certificates.push_back(collect(*certificate));
        if (!state().certificates.back().malformed) {
            addToPersonalStore(state().certificates.back());
            added++;
        }
    }
    delete certificate;
    return added;
}

void removeCardCertificates(const char *serial)
{
    state().removedSerials.push_back(serial ? serial : "(null)");
    if (!serial || !serial[0])
        return;
    PersonalStore &store = state().personalStore;
    for (PersonalStore::iterator row = store.begin(); row != store.end();) {
        if (row->second.containerName.compare(0, strlen(serial), serial) == 0) {
            noteCertificateDeleted(row->first.size() >= 20 ? row->first.data() : NULL);
            row = store.erase(row);
        }
        else
            ++row;
    }
}
