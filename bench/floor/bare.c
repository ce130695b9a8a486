/* The throughput baseline: one bare URLDownloadToFileW, with no callback and
   nothing around it. Usage: bare.exe URL PATH; exit code 0 when the service
   reported success. */
#include <windows.h>

#include <urlmon.h>

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) return 2;
  return FAILED(URLDownloadToFileW(NULL, argv[1], argv[2], 0, NULL)) ? 1 : 0;
}
