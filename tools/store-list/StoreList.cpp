// Prints the current user's "MY" certificate store as a table: subject,
// SHA-1 thumbprint, provider, key container and key spec of each
// certificate. The demo and the end-to-end tests read the store with it,
// never through the program under test.
//   usage: store-list [--tsv]
//          store-list --watch SECONDS    for SECONDS, prints a line each time
//                                        the number of certificates changes:
//                                        Unix milliseconds, the number, and
//                                        how many are bound to "VelmoCSP"
//          store-list --add-unrelated N  adds N self-signed certificates of
//                                        no card to the store (benchmarks)
//          store-list --time-removal N   N times: adds two certificates bound
//                                        to "VelmoCSP" for a made-up card and
//                                        removes them with the program's own
//                                        calls, timing each step (benchmarks)
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <windows.h>
#include <wincrypt.h>

namespace {

struct Row {
    char subject[256];
    char thumbprint[41];
    char provider[64];
    char container[160];
    long keySpec; // -1 when the certificate has no key-provider binding
};

void thumbprintOf(PCCERT_CONTEXT context, char *text)
{
    BYTE hash[20];
    DWORD size = sizeof hash;
    text[0] = 0;
    if (!CertGetCertificateContextProperty(context, CERT_SHA1_HASH_PROP_ID, hash, &size))
        return;
    for (DWORD i = 0; i < size; i++)
        sprintf(text + 2 * i, "%02X", hash[i]);
}

void narrow(const wchar_t *wide, char *text, int capacity)
{
    text[0] = 0;
    if (wide)
        WideCharToMultiByte(CP_UTF8, 0, wide, -1, text, capacity, NULL, NULL);
    text[capacity - 1] = 0;
}

void bindingOf(PCCERT_CONTEXT context, Row &row)
{
    row.provider[0] = row.container[0] = 0;
    row.keySpec = -1;
    DWORD size = 0;
    if (!CertGetCertificateContextProperty(context, CERT_KEY_PROV_INFO_PROP_ID, NULL, &size))
        return;
    BYTE *buffer = (BYTE *)malloc(size);
    if (!buffer)
        return;
    if (CertGetCertificateContextProperty(context, CERT_KEY_PROV_INFO_PROP_ID, buffer, &size)) {
        const CRYPT_KEY_PROV_INFO *info = (const CRYPT_KEY_PROV_INFO *)buffer;
        narrow(info->pwszProvName, row.provider, sizeof row.provider);
        narrow(info->pwszContainerName, row.container, sizeof row.container);
        row.keySpec = (long)info->dwKeySpec;
    }
    free(buffer);
}

void rowOf(PCCERT_CONTEXT context, Row &row)
{
    CertGetNameStringA(context, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, NULL, row.subject,
                       sizeof row.subject);
    thumbprintOf(context, row.thumbprint);
    bindingOf(context, row);
}

const char *keySpecName(long keySpec)
{
    switch (keySpec) {
    case -1: return "-";
    case 0: return "0 (none)";
    case 1: return "1 (exchange)";
    case 2: return "2 (signature)";
    case 3: return "3 (both)";
    default: return "?";
    }
}

HCERTSTORE openStore()
{
    HCERTSTORE store = CertOpenSystemStoreA(0, "MY");
    if (!store)
        fprintf(stderr, "store-list: cannot open the MY store (%lu)\n", GetLastError());
    return store;
}

long long unixMilliseconds()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const unsigned long long ticks = (unsigned long long)now.dwHighDateTime << 32 | now.dwLowDateTime;
    return (long long)(ticks / 10000ULL) - 11644473600000LL;
}

// Opens the store afresh, as another program would see it now.
bool countCertificates(unsigned &all, unsigned &bound)
{
    HCERTSTORE store = openStore();
    if (!store)
        return false;
    all = bound = 0;
    PCCERT_CONTEXT context = NULL;
    while ((context = CertEnumCertificatesInStore(store, context)) != NULL) {
        Row row;
        bindingOf(context, row);
        all++;
        if (strcmp(row.provider, "VelmoCSP") == 0)
            bound++;
    }
    CertCloseStore(store, 0);
    return true;
}

int watch(long seconds)
{
    const long long end = unixMilliseconds() + seconds * 1000LL;
    long long shownAll = -1, shownBound = -1;
    while (unixMilliseconds() < end) {
        unsigned all, bound;
        if (!countCertificates(all, bound))
            return 2;
        if (all != shownAll || bound != shownBound) {
            printf("%lld %u %u\n", unixMilliseconds(), all, bound);
            fflush(stdout);
            shownAll = all;
            shownBound = bound;
        }
        Sleep(10);
    }
    return 0;
}

// The key that the made-up certificates share, in an ordinary provider.
HCRYPTPROV signingProvider()
{
    HCRYPTPROV provider = 0;
    const char container[] = "store-list unrelated";
    if (!CryptAcquireContextA(&provider, container, NULL, PROV_RSA_FULL, 0) &&
        !CryptAcquireContextA(&provider, container, NULL, PROV_RSA_FULL, CRYPT_NEWKEYSET))
        return 0;
    HCRYPTKEY key = 0;
    if (!CryptGetUserKey(provider, AT_SIGNATURE, &key) &&
        !CryptGenKey(provider, AT_SIGNATURE, 1024 << 16, &key)) {
        CryptReleaseContext(provider, 0);
        return 0;
    }
    CryptDestroyKey(key);
    return provider;
}

PCCERT_CONTEXT selfSigned(HCRYPTPROV provider, const char *subject)
{
    BYTE name[256];
    DWORD nameSize = sizeof name;
    if (!CertStrToNameA(X509_ASN_ENCODING, subject, CERT_X500_NAME_STR, NULL, name, &nameSize, NULL))
        return NULL;
    CERT_NAME_BLOB blob = {nameSize, name};
    return CertCreateSelfSignCertificate(provider, &blob, CERT_CREATE_SELFSIGN_NO_KEY_INFO, NULL, NULL,
                                         NULL, NULL, NULL);
}

// Certificates that share one key of an ordinary provider and differ by
// their subject, so that none of them belongs to a card.
int addUnrelated(long count)
{
    HCRYPTPROV provider = signingProvider();
    if (!provider)
        return 2;
    HCERTSTORE store = openStore();
    if (!store) {
        CryptReleaseContext(provider, 0);
        return 2;
    }
    long added = 0;
    for (long i = 0; i < count; i++) {
        char subject[64];
        sprintf(subject, "CN=Unrelated %05ld, O=Store List", i + 1);
        PCCERT_CONTEXT context = selfSigned(provider, subject);
        if (!context)
            continue;
        if (CertAddCertificateContextToStore(store, context, CERT_STORE_ADD_ALWAYS, NULL))
            added++;
        CertFreeCertificateContext(context);
    }
    CertControlStore(store, 0, CERT_STORE_CTRL_COMMIT, NULL);
    CertCloseStore(store, 0);
    CryptReleaseContext(provider, 0);
    printf("added %ld unrelated certificates\n", added);
    return added == count ? 0 : 1;
}

const wchar_t TimedSerial[] = L"FFFFFFFFFFFF";

bool addBoundCertificates(HCRYPTPROV provider)
{
    HCERTSTORE store = openStore();
    if (!store)
        return false;
    bool added = true;
    for (int i = 0; i < 2; i++) {
        char subject[64];
        sprintf(subject, "CN=Timed Removal %d, O=Store List", i + 1);
        PCCERT_CONTEXT context = selfSigned(provider, subject);
        wchar_t container[64], providerName[] = L"VelmoCSP";
        swprintf(container, 64, L"%ls4000%02d5015", TimedSerial, i + 1);
        CRYPT_KEY_PROV_INFO info = {};
        info.pwszContainerName = container;
        info.pwszProvName = providerName;
        info.dwProvType = PROV_RSA_FULL;
        info.dwKeySpec = AT_KEYEXCHANGE;
        added = added && context &&
                CertSetCertificateContextProperty(context, CERT_KEY_PROV_INFO_PROP_ID, 0, &info) &&
                CertAddCertificateContextToStore(store, context, CERT_STORE_ADD_ALWAYS, NULL);
        if (context)
            CertFreeCertificateContext(context);
    }
    CertControlStore(store, 0, CERT_STORE_CTRL_COMMIT, NULL);
    CertCloseStore(store, 0);
    return added;
}

// The program's test of one certificate: its key-provider property read
// twice (size, then content) and compared with the provider and serial.
bool boundToTimedCard(PCCERT_CONTEXT context)
{
    DWORD size = 0;
    if (!CertGetCertificateContextProperty(context, CERT_KEY_PROV_INFO_PROP_ID, NULL, &size) ||
        size < sizeof(CRYPT_KEY_PROV_INFO))
        return false;
    CRYPT_KEY_PROV_INFO *info = (CRYPT_KEY_PROV_INFO *)malloc(size);
    if (!info)
        return false;
    const bool matches =
        CertGetCertificateContextProperty(context, CERT_KEY_PROV_INFO_PROP_ID, info, &size) &&
        info->pwszProvName && info->pwszContainerName && wcscmp(info->pwszProvName, L"VelmoCSP") == 0 &&
        wcsncmp(TimedSerial, info->pwszContainerName, wcslen(TimedSerial)) == 0;
    free(info);
    return matches;
}

double millisecondsSince(LARGE_INTEGER &mark)
{
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    const double elapsed = (double)(now.QuadPart - mark.QuadPart) * 1000.0 / (double)frequency.QuadPart;
    mark = now;
    return elapsed;
}

// One removal in the program's steps, each timed (milliseconds): open
// "MY"; walk it, keeping duplicates of the card's certificates; delete
// them; commit and close. A second walk without the property tests, before
// the deletes, tells the bare enumeration from the tests. False when the
// two certificates were not both found.
enum { StepOpen, StepWalk, StepEnumeration, StepDeletes, StepCommit, StepCount };

bool timeOneRemoval(double *steps, unsigned &certificates)
{
    LARGE_INTEGER mark;
    millisecondsSince(mark);
    HCERTSTORE store = openStore();
    if (!store)
        return false;
    steps[StepOpen] = millisecondsSince(mark);
    PCCERT_CONTEXT gathered[2];
    int found = 0;
    PCCERT_CONTEXT context = NULL;
    while ((context = CertEnumCertificatesInStore(store, context)) != NULL)
        if (found < 2 && boundToTimedCard(context))
            gathered[found++] = CertDuplicateCertificateContext(context);
    steps[StepWalk] = millisecondsSince(mark);
    certificates = 0;
    while ((context = CertEnumCertificatesInStore(store, context)) != NULL)
        certificates++;
    steps[StepEnumeration] = millisecondsSince(mark);
    for (int i = 0; i < found; i++)
        CertDeleteCertificateFromStore(gathered[i]);
    steps[StepDeletes] = millisecondsSince(mark);
    CertControlStore(store, 0, CERT_STORE_CTRL_COMMIT, NULL);
    CertCloseStore(store, 0);
    steps[StepCommit] = millisecondsSince(mark);
    return found == 2;
}

int compareDoubles(const void *a, const void *b)
{
    const double x = *(const double *)a, y = *(const double *)b;
    return x < y ? -1 : x > y;
}

// Prints the median of each step over `rounds` removals.
int timeRemoval(long rounds)
{
    HCRYPTPROV provider = signingProvider();
    if (!provider)
        return 2;
    double *steps = (double *)calloc((size_t)rounds * StepCount, sizeof(double));
    unsigned certificates = 0;
    long done = 0;
    for (; steps && done < rounds; done++) {
        double round[StepCount];
        if (!addBoundCertificates(provider) || !timeOneRemoval(round, certificates))
            break;
        for (int step = 0; step < StepCount; step++)
            steps[step * rounds + done] = round[step];
    }
    CryptReleaseContext(provider, 0);
    if (!steps || done < rounds) {
        free(steps);
        fprintf(stderr, "store-list: the timed removal failed\n");
        return 1;
    }
    printf("certificates %u", certificates);
    const char *names[StepCount] = {"open", "walk", "enumeration", "deletes", "commit"};
    for (int step = 0; step < StepCount; step++) {
        qsort(steps + step * rounds, (size_t)rounds, sizeof(double), compareDoubles);
        printf(" %s %.2f", names[step], steps[step * rounds + rounds / 2]);
    }
    printf("\n");
    free(steps);
    return 0;
}

long countArgument(int argc, char **argv)
{
    char *end = NULL;
    const long value = argc > 2 ? strtol(argv[2], &end, 10) : -1;
    return end && !*end && value > 0 ? value : -1;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && (strcmp(argv[1], "--watch") == 0 || strcmp(argv[1], "--add-unrelated") == 0 ||
                     strcmp(argv[1], "--time-removal") == 0)) {
        const long count = countArgument(argc, argv);
        if (count < 0) {
            fprintf(stderr, "usage: store-list [--tsv] | --watch SECONDS | --add-unrelated N | --time-removal N\n");
            return 2;
        }
        if (strcmp(argv[1], "--time-removal") == 0)
            return timeRemoval(count);
        return strcmp(argv[1], "--watch") == 0 ? watch(count) : addUnrelated(count);
    }
    const bool tsv = argc > 1 && strcmp(argv[1], "--tsv") == 0;
    HCERTSTORE store = openStore();
    if (!store)
        return 2;
    if (!tsv)
        printf("%-36s  %-40s  %-9s  %-30s  %s\n", "Subject", "SHA-1 thumbprint", "Provider",
               "Key container", "Key spec");
    unsigned count = 0;
    PCCERT_CONTEXT context = NULL;
    while ((context = CertEnumCertificatesInStore(store, context)) != NULL) {
        Row row;
        rowOf(context, row);
        count++;
        if (tsv)
            printf("%s\t%s\t%s\t%s\t%ld\n", row.subject, row.thumbprint, row.provider,
                   row.container, row.keySpec);
        else
            printf("%-36.36s  %-40s  %-9s  %-30s  %s\n", row.subject, row.thumbprint,
                   row.provider[0] ? row.provider : "-", row.container[0] ? row.container : "-",
                   keySpecName(row.keySpec));
    }
    if (!tsv)
        printf("(%u certificate%s)\n", count, count == 1 ? "" : "s");
    CertCloseStore(store, 0);
    return 0;
}
