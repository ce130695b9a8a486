/* Adds a DER certificate to the local machine's trusted roots of the Wine
   prefix it runs in, so that a throw-away test CA is trusted there and
   nowhere else. Usage: trust_ca.exe <file.der> */
#include <windows.h>
#include <wincrypt.h>
#include <stdio.h>

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) return 2;
  HANDLE file = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
  if (file == INVALID_HANDLE_VALUE) return 3;
  BYTE der[16384];
  DWORD size = 0;
  BOOL read = ReadFile(file, der, sizeof der, &size, NULL);
  CloseHandle(file);
  if (!read || size == 0) return 4;
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                   CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
  if (store == NULL) return 5;
  BOOL added = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der, size,
                                                CERT_STORE_ADD_REPLACE_EXISTING, NULL);
  CertCloseStore(store, 0);
  return added ? 0 : 6;
}
