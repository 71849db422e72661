// Registration of a card's certificates in the current user's "MY" store,
// bound to the card's provider, and their removal when the card leaves.
#include "Store.h"

#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include <windows.h>
#include <wincrypt.h>

#include "../card/CardFamily.h"
#include "../events/Events.h"
#include "Record.h"

namespace {

const char ProviderName[] = "VelmoCSP";
const char PersonalStore[] = "MY";
// Container names are compared over at least this many characters, so a
// shorter serial matches only a name that equals it in full.
const size_t MinimumSerialCompare = 12;

// The text in wide characters of the ANSI code page, in a heap buffer the
// caller frees; null when it cannot be made.
wchar_t *wideText(const char *text)
{
    const int count = MultiByteToWideChar(CP_ACP, 0, text, -1, NULL, 0);
    if (count <= 0)
        return NULL;
    wchar_t *wide = (wchar_t *)malloc((size_t)count * sizeof(wchar_t));
    if (!wide)
        return NULL;
    if (MultiByteToWideChar(CP_ACP, 0, text, -1, wide, count) != count) {
        free(wide);
        return NULL;
    }
    return wide;
}

DWORD keySpecFor(uint16_t keyUsage)
{
    DWORD keySpec = 0;
    if (keyUsage & 0x2000)
        keySpec = AT_SIGNATURE;
    if (keyUsage & 0x4000)
        keySpec = AT_KEYEXCHANGE;
    if ((keyUsage & 0x6000) == 0x6000)
        keySpec = AT_KEYEXCHANGE | AT_SIGNATURE;
    return keySpec;
}

// Names the card's provider and key container in the certificate's
// key-provider property. A failure leaves the certificate unbound.
bool bindToProvider(PCCERT_CONTEXT context, const CardCertificate &certificate)
{
    if (!memchr(certificate.containerName, 0, sizeof certificate.containerName))
        return false;
    bool bound = false;
    wchar_t *provider = wideText(ProviderName);
    wchar_t *container = wideText(certificate.containerName);
    if (provider && container) {
        CRYPT_KEY_PROV_INFO info = {};
        info.pwszContainerName = container;
        info.pwszProvName = provider;
        info.dwProvType = PROV_RSA_FULL;
        info.dwFlags = 0;
        info.cProvParam = 0;
        info.rgProvParam = NULL;
        info.dwKeySpec = keySpecFor(certificate.keyUsage);
        bound = CertSetCertificateContextProperty(context, CERT_KEY_PROV_INFO_PROP_ID, 0, &info) != FALSE;
    }
    free(container);
    free(provider);
    return bound;
}

bool thumbprintOf(PCCERT_CONTEXT context, uint8_t *thumbprint)
{
    DWORD size = ThumbprintSize;
    return CertGetCertificateContextProperty(context, CERT_SHA1_HASH_PROP_ID, thumbprint, &size) &&
           size == ThumbprintSize;
}

// Notes a bound certificate with the card serial that begins its container
// name, before the certificate goes into the store: a record whose
// certificate never arrived deletes nothing, while a certificate without
// its record would be left behind by a card that leaves unseen.
void recordBinding(PCCERT_CONTEXT context, const char *containerName, CardKind family)
{
    const size_t serialLength = familyLayout(family).serialTextSize - 1;
    uint8_t thumbprint[ThumbprintSize];
    if (strlen(containerName) < serialLength || !thumbprintOf(context, thumbprint))
        return;
    char serial[RecordedSerialSize];
    memcpy(serial, containerName, serialLength);
    serial[serialLength] = '\0';
    recordCertificate(thumbprint, serial);
}

// Every copy of the certificate in the store, found by its SHA-1 hash: the
// identity the store itself keeps certificates under.
void bindStoredCopies(HCERTSTORE store, PCCERT_CONTEXT context, const CardCertificate &certificate)
{
    BYTE hash[20];
    CRYPT_HASH_BLOB blob = {sizeof hash, hash};
    if (!CertGetCertificateContextProperty(context, CERT_SHA1_HASH_PROP_ID, hash, &blob.cbData))
        return;
    PCCERT_CONTEXT stored = NULL;
    while ((stored = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_SHA1_HASH,
                                                &blob, stored)) != NULL)
        bindToProvider(stored, certificate);
}

void noteAdded(PCCERT_CONTEXT context, bool bound)
{
    uint8_t thumbprint[ThumbprintSize];
    if (eventsEnabled() && thumbprintOf(context, thumbprint))
        noteCertificateAdded(thumbprint, bound);
}

HCERTSTORE openPersonalStore()
{
    HCERTSTORE store = CertOpenSystemStoreA(0, PersonalStore);
    if (!store)
        reportStoreCallFailed("CertOpenSystemStoreA", GetLastError());
    return store;
}

// Answers whether the certificate went into the store.
bool addCertificate(HCERTSTORE store, const CardCertificate &certificate, CardKind family)
{
    PCCERT_CONTEXT context =
        CertCreateCertificateContext(X509_ASN_ENCODING, certificate.data, certificate.dataLength);
    if (!context) {
        reportStoreCallFailed("CertCreateCertificateContext", GetLastError());
        return false;
    }
    const bool bound = certificate.containerName[0] != '\0' && bindToProvider(context, certificate);
    if (bound)
        recordBinding(context, certificate.containerName, family);
    // A store that already holds the certificate may keep its own copy and
    // that copy's properties (Wine does): the binding is set again on every
    // copy the store holds, so it names the card that is present now. A
    // certificate without a key on the card leaves any binding as it was.
    const bool added = CertAddCertificateContextToStore(store, context, CERT_STORE_ADD_ALWAYS, NULL) != FALSE;
    if (added)
        noteAdded(context, bound);
    else
        reportStoreCallFailed("CertAddCertificateContextToStore", GetLastError());
    if (bound)
        bindStoredCopies(store, context, certificate);
    CertFreeCertificateContext(context);
    return added;
}

// Changes to a system store reach the other programs (and, on some
// implementations, survive the close at all) only once committed.
void commitAndClose(HCERTSTORE store)
{
    if (!CertControlStore(store, 0, CERT_STORE_CTRL_COMMIT, NULL))
        reportStoreCallFailed("CertControlStore", GetLastError());
    CertCloseStore(store, 0);
}

bool isCardCertificate(PCCERT_CONTEXT context, const wchar_t *provider, const wchar_t *serial)
{
    DWORD size = 0;
    if (!CertGetCertificateContextProperty(context, CERT_KEY_PROV_INFO_PROP_ID, NULL, &size) ||
        size < sizeof(CRYPT_KEY_PROV_INFO))
        return false;
    CRYPT_KEY_PROV_INFO *info = (CRYPT_KEY_PROV_INFO *)malloc(size);
    if (!info)
        return false;
    bool matches = false;
    if (CertGetCertificateContextProperty(context, CERT_KEY_PROV_INFO_PROP_ID, info, &size) &&
        info->pwszProvName && info->pwszContainerName && wcscmp(info->pwszProvName, provider) == 0) {
        size_t length = wcslen(serial);
        if (length < MinimumSerialCompare)
            length = MinimumSerialCompare;
        matches = wcsncmp(serial, info->pwszContainerName, length) == 0;
    }
    free(info);
    return matches;
}

// The certificates to delete, gathered as duplicates while the store is
// walked: deleting the certificate being enumerated is not safe everywhere.
// Each keeps its thumbprint, so that its deletion can be checked once it is
// committed and its record entry can then go.
struct Deletion {
    PCCERT_CONTEXT context;
    uint8_t thumbprint[ThumbprintSize];
    bool known; // its thumbprint could be had
    bool deleted; // and, after the check, the deletion lasted
};

struct DeletionList {
    Deletion *items;
    size_t count;
    size_t capacity;
};

void keepForDeletion(DeletionList &list, PCCERT_CONTEXT context)
{
    if (list.count == list.capacity) {
        const size_t capacity = list.capacity ? list.capacity * 2 : 8;
        void *items = realloc(list.items, capacity * sizeof *list.items);
        if (!items)
            return;
        list.items = (Deletion *)items;
        list.capacity = capacity;
    }
    Deletion &item = list.items[list.count];
    item.context = CertDuplicateCertificateContext(context);
    if (!item.context)
        return;
    item.known = thumbprintOf(context, item.thumbprint);
    item.deleted = false;
    list.count++;
}

// The deletion releases each duplicate, whether or not it succeeds.
void deleteGathered(DeletionList &list)
{
    for (size_t i = 0; i < list.count; i++) {
        Deletion &item = list.items[i];
        item.deleted = CertDeleteCertificateFromStore(item.context) != FALSE;
        if (!item.deleted)
            reportStoreCallFailed("CertDeleteCertificateFromStore", GetLastError());
    }
}

bool holdsCertificate(HCERTSTORE store, const uint8_t *thumbprint)
{
    CRYPT_HASH_BLOB blob = {ThumbprintSize, (BYTE *)thumbprint};
    PCCERT_CONTEXT found =
        CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_SHA1_HASH, &blob, NULL);
    if (!found)
        return false;
    CertFreeCertificateContext(found);
    return true;
}

// A commit may undo a deletion it cannot carry out whole (Wine keeps a
// certificate whose registry entry it cannot delete, and answers success
// all the same): each deleted certificate is looked up by its hash in "MY"
// as it is after the commit, and one still there counts as not deleted.
// When "MY" cannot be opened again nothing is known, and every entry stays
// for the start-up cleanup. Answers whether the record entries of the
// deletions may go.
bool checkDeletionsLasted(DeletionList &list)
{
    size_t deleted = 0;
    for (size_t i = 0; i < list.count; i++)
        deleted += list.items[i].deleted && list.items[i].known;
    if (deleted == 0)
        return true;
    HCERTSTORE store = openPersonalStore();
    if (!store)
        return false;
    for (size_t i = 0; i < list.count; i++) {
        Deletion &item = list.items[i];
        if (item.deleted && item.known && holdsCertificate(store, item.thumbprint))
            item.deleted = false;
    }
    CertCloseStore(store, 0);
    return true;
}

void noteDeleted(const DeletionList &list)
{
    for (size_t i = 0; i < list.count; i++)
        if (list.items[i].deleted)
            noteCertificateDeleted(list.items[i].known ? list.items[i].thumbprint : NULL);
}

void forgetDeleted(const DeletionList &list)
{
    for (size_t i = 0; i < list.count; i++)
        if (list.items[i].deleted && list.items[i].known)
            forgetCertificate(list.items[i].thumbprint);
}

// The record's entry of a certificate still bound as VelmoMon bound it: to
// the provider, with a container name that begins with the recorded serial.
RecordedCertificate *boundAsRecorded(PCCERT_CONTEXT context, const wchar_t *provider,
                                     RecordedCertificate *recorded, size_t count)
{
    uint8_t thumbprint[ThumbprintSize];
    if (!thumbprintOf(context, thumbprint))
        return NULL;
    RecordedCertificate *entry = findRecorded(recorded, count, thumbprint);
    if (!entry)
        return NULL;
    wchar_t *serial = wideText(entry->serial);
    const bool bound = serial && isCardCertificate(context, provider, serial);
    free(serial);
    return bound ? entry : NULL;
}

// Marks the entries whose certificates "MY" holds bound as recorded after
// their deletion, which failed or did not last past its commit: they stay.
// Answers false when "MY" could not be opened.
bool markStillBound(RecordedCertificate *recorded, size_t count, const wchar_t *provider)
{
    HCERTSTORE store = openPersonalStore();
    if (!store)
        return false;
    PCCERT_CONTEXT context = NULL;
    while ((context = CertEnumCertificatesInStore(store, context)) != NULL) {
        RecordedCertificate *entry = boundAsRecorded(context, provider, recorded, count);
        if (entry)
            entry->stays = true;
    }
    CertCloseStore(store, 0);
    return true;
}

// The deletions told are those whose entries do not stay: a certificate
// still bound as recorded after its deletion is still there.
void noteLastingDeletions(DeletionList &list, RecordedCertificate *recorded, size_t count)
{
    for (size_t i = 0; i < list.count; i++) {
        Deletion &item = list.items[i];
        const RecordedCertificate *entry = item.known ? findRecorded(recorded, count, item.thumbprint) : NULL;
        if (entry && entry->stays)
            item.deleted = false;
    }
    noteDeleted(list);
}

// Answers false when "MY" could not be walked, before or after.
bool deleteRecorded(RecordedCertificate *recorded, size_t count)
{
    wchar_t *provider = wideText(ProviderName);
    HCERTSTORE store = provider ? openPersonalStore() : NULL;
    bool walked = store != NULL;
    if (store) {
        DeletionList gathered = {};
        size_t found = 0;
        PCCERT_CONTEXT context = NULL;
        while ((context = CertEnumCertificatesInStore(store, context)) != NULL) {
            if (boundAsRecorded(context, provider, recorded, count)) {
                found++;
                keepForDeletion(gathered, context);
            }
        }
        deleteGathered(gathered);
        commitAndClose(store);
        walked = found == 0 || markStillBound(recorded, count, provider);
        noteLastingDeletions(gathered, recorded, count);
        free(gathered.items);
    }
    free(provider);
    return walked;
}

} // namespace

unsigned registerCardCertificates(CardSession *session)
{
    HCERTSTORE store = openPersonalStore();
    if (!store)
        return 0;
    unsigned added = 0;
    CardCertificate certificate;
    certificate.cursor = 0;
    for (;;) {
        certificate.dataLength = CertificateCapacity;
        if (!session->nextCertificate(certificate))
            break;
        added += addCertificate(store, certificate, session->family);
    }
    commitAndClose(store);
    return added;
}

// Deletes every certificate bound to the card's provider whose container
// name begins with the whole serial, and forgets the record entries of
// those whose deletion lasted past the commit. Without a serial nothing is
// deleted.
void removeCardCertificates(const char *serial)
{
    if (!serial || !serial[0])
        return;
    wchar_t *provider = wideText(ProviderName);
    wchar_t *wideSerial = wideText(serial);
    HCERTSTORE store = provider && wideSerial ? openPersonalStore() : NULL;
    if (store) {
        DeletionList gathered = {};
        PCCERT_CONTEXT context = NULL;
        while ((context = CertEnumCertificatesInStore(store, context)) != NULL) {
            if (isCardCertificate(context, provider, wideSerial))
                keepForDeletion(gathered, context);
        }
        deleteGathered(gathered);
        commitAndClose(store);
        if (checkDeletionsLasted(gathered))
            forgetDeleted(gathered);
        noteDeleted(gathered);
        free(gathered.items);
    }
    free(wideSerial);
    free(provider);
}

// Deletes the certificates that a card left in "MY" when it went while
// VelmoMon could not see it: those the record names that are still bound
// to the provider with a container name beginning with the recorded
// serial. Their entries are then forgotten, and so are those of
// certificates no longer there or bound otherwise; the entry of one that
// is still there stays for the next start-up. Cards still in a reader are
// recorded again when they are registered. A damaged record deletes
// nothing and is cleared; an unreadable one is left as it is, and so is
// the record while the same user's copy runs elsewhere.
void removeStrandedCertificates(bool userRunsElsewhere)
{
    RecordedCertificate *recorded = NULL;
    size_t count = 0;
    if (userRunsElsewhere || !readRecord(&recorded, &count))
        return;
    if (count == 0)
        clearRecord();
    else if (deleteRecorded(recorded, count))
        forgetRecorded(recorded, count);
    free(recorded);
    reportStrandedCleaned();
}
