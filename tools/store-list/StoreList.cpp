// Prints the current user's "MY" certificate store as a table: subject,
// SHA-1 thumbprint, provider, key container and key spec of each
// certificate. The demo and the end-to-end tests read the store with it,
// never through the program under test.
//   usage: store-list [--tsv]
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

} // namespace

int main(int argc, char **argv)
{
    const bool tsv = argc > 1 && strcmp(argv[1], "--tsv") == 0;
    HCERTSTORE store = CertOpenSystemStoreA(0, "MY");
    if (!store) {
        fprintf(stderr, "store-list: cannot open the MY store (%lu)\n", GetLastError());
        return 2;
    }
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
