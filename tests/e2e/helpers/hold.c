/* Holds a file open with no sharing at all, as another program might, until
   the stop file exists; the ready file says it is held.
   Usage: hold.exe <file> <stop file> <ready file> */
#include <windows.h>

int wmain(int argc, wchar_t** argv) {
  if (argc != 4) return 2;
  HANDLE file = CreateFileW(argv[1], GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
  if (file == INVALID_HANDLE_VALUE) return 3;
  HANDLE ready = CreateFileW(argv[3], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
  if (ready == INVALID_HANDLE_VALUE) return 4;
  CloseHandle(ready);
  while (GetFileAttributesW(argv[2]) == INVALID_FILE_ATTRIBUTES) Sleep(50);
  CloseHandle(file);
  return 0;
}
