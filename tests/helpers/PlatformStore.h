// The platform's "MY" store and the program's record of bound certificates,
// read and written directly, not through the code under test, by the tests
// that run against them.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>
#include <wincrypt.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "card-image/CardImage.h"
#include "store/Record.h"

struct ProviderBinding {
    std::wstring provider;
    std::wstring container;
    DWORD providerType;
    DWORD flags;
    DWORD keySpec;
};

// A certificate's SHA-1 thumbprint, as its 20 octets.
typedef std::string Thumbprint;

inline Thumbprint thumbprintOf(PCCERT_CONTEXT context)
{
    BYTE hash[20];
    DWORD size = sizeof hash;
    if (!CertGetCertificateContextProperty(context, CERT_SHA1_HASH_PROP_ID, hash, &size))
        return "";
    return std::string((const char *)hash, size);
}

// Bytes in upper-case hexadecimal, as the record and "MY" name thumbprints.
inline std::string hexText(const std::string &bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned char byte : bytes) {
        text += digits[byte >> 4];
        text += digits[byte & 0x0F];
    }
    return text;
}

inline Thumbprint thumbprintOfDer(const Bytes &der)
{
    PCCERT_CONTEXT context = CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), (DWORD)der.size());
    if (!context)
        return "";
    const Thumbprint thumbprint = thumbprintOf(context);
    CertFreeCertificateContext(context);
    return thumbprint;
}

inline bool bindingOf(PCCERT_CONTEXT context, ProviderBinding &binding)
{
    DWORD size = 0;
    if (!CertGetCertificateContextProperty(context, CERT_KEY_PROV_INFO_PROP_ID, NULL, &size))
        return false;
    std::vector<BYTE> buffer(size);
    if (!CertGetCertificateContextProperty(context, CERT_KEY_PROV_INFO_PROP_ID, buffer.data(), &size))
        return false;
    const CRYPT_KEY_PROV_INFO *info = (const CRYPT_KEY_PROV_INFO *)buffer.data();
    binding.provider = info->pwszProvName ? info->pwszProvName : L"";
    binding.container = info->pwszContainerName ? info->pwszContainerName : L"";
    binding.providerType = info->dwProvType;
    binding.flags = info->dwFlags;
    binding.keySpec = info->dwKeySpec;
    return true;
}

// Every certificate of "MY", by thumbprint, with its binding if it has one.
struct StoreEntry {
    bool bound;
    ProviderBinding binding;
};

inline std::map<Thumbprint, StoreEntry> personalStore()
{
    std::map<Thumbprint, StoreEntry> entries;
    HCERTSTORE store = CertOpenSystemStoreA(0, "MY");
    if (!store)
        return entries;
    PCCERT_CONTEXT context = NULL;
    while ((context = CertEnumCertificatesInStore(store, context)) != NULL) {
        StoreEntry entry = {};
        entry.bound = bindingOf(context, entry.binding);
        entries[thumbprintOf(context)] = entry;
    }
    CertCloseStore(store, 0);
    return entries;
}

// Deletes the certificates of "MY" that `chosen` picks, and commits the
// deletion. They are gathered first: deleting the certificate being
// enumerated makes some platforms enumerate it again.
inline void deleteFromPersonalStore(const std::function<bool(PCCERT_CONTEXT)> &chosen)
{
    HCERTSTORE store = CertOpenSystemStoreA(0, "MY");
    ASSERT_NE(store, (HCERTSTORE)NULL);
    std::vector<PCCERT_CONTEXT> picked;
    PCCERT_CONTEXT context = NULL;
    while ((context = CertEnumCertificatesInStore(store, context)) != NULL)
        if (chosen(context))
            picked.push_back(CertDuplicateCertificateContext(context));
    for (PCCERT_CONTEXT each : picked)
        CertDeleteCertificateFromStore(each);
    CertControlStore(store, 0, CERT_STORE_CTRL_COMMIT, NULL);
    CertCloseStore(store, 0);
}

// Lets a certificate of the current user's "MY" be deleted, or not: while
// protected, its registry key holds a key of its own, which a deletion does
// not take along, so its deletion fails when it is committed.
inline bool protectFromDeletion(const Thumbprint &thumbprint, bool protect)
{
    const std::string path =
        "Software\\Microsoft\\SystemCertificates\\MY\\Certificates\\" + hexText(thumbprint);
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
        return false;
    HKEY inner;
    const bool done = protect ? RegCreateKeyExA(key, "Protected", 0, NULL, 0, KEY_READ, NULL, &inner, NULL) ==
                                    ERROR_SUCCESS && RegCloseKey(inner) == ERROR_SUCCESS
                              : RegDeleteKeyA(key, "Protected") == ERROR_SUCCESS;
    RegCloseKey(key);
    return done;
}

inline void emptyPersonalStore()
{
    deleteFromPersonalStore([](PCCERT_CONTEXT) { return true; });
}

// Puts a certificate into "MY" directly, bound as given unless both are
// NULL; answers whether it is there.
inline bool putInStore(const Bytes &der, const wchar_t *provider, const wchar_t *container)
{
    HCERTSTORE store = CertOpenSystemStoreA(0, "MY");
    EXPECT_NE(store, (HCERTSTORE)NULL);
    if (!store)
        return false;
    PCCERT_CONTEXT context = CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), (DWORD)der.size());
    EXPECT_NE(context, (PCCERT_CONTEXT)NULL);
    bool put = context != NULL;
    if (put && (provider || container)) {
        CRYPT_KEY_PROV_INFO info = {};
        info.pwszProvName = (LPWSTR)provider;
        info.pwszContainerName = (LPWSTR)container;
        info.dwProvType = PROV_RSA_FULL;
        info.dwKeySpec = AT_SIGNATURE;
        put = CertSetCertificateContextProperty(context, CERT_KEY_PROV_INFO_PROP_ID, 0, &info);
        EXPECT_TRUE(put);
    }
    if (put) {
        put = CertAddCertificateContextToStore(store, context, CERT_STORE_ADD_ALWAYS, NULL);
        EXPECT_TRUE(put);
    }
    if (context)
        CertFreeCertificateContext(context);
    CertControlStore(store, 0, CERT_STORE_CTRL_COMMIT, NULL);
    CertCloseStore(store, 0);
    return put;
}

// The record of bound certificates as the registry holds it: value name to
// data, for text values.
inline std::map<std::string, std::string> recordValues()
{
    std::map<std::string, std::string> values;
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, RecordKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return values;
    for (DWORD index = 0;; index++) {
        char name[256], data[256];
        DWORD nameLength = sizeof name, dataLength = sizeof data, type = 0;
        if (RegEnumValueA(key, index, name, &nameLength, NULL, &type, (BYTE *)data, &dataLength) !=
            ERROR_SUCCESS)
            break;
        values[std::string(name, nameLength)] = type == REG_SZ ? std::string(data) : "(not text)";
    }
    RegCloseKey(key);
    return values;
}

inline bool recordExists()
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, RecordKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

inline void writeRecordValue(const std::string &name, DWORD type, const std::string &data)
{
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, RecordKey, 0, NULL, 0, KEY_SET_VALUE, NULL, &key, NULL),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(key, name.c_str(), 0, type, (const BYTE *)data.data(), (DWORD)data.size()),
              ERROR_SUCCESS);
    RegCloseKey(key);
}
