/* A DLL planted beside the launcher and in its current folder under names
 * that Wine (like Windows for many DLLs) would take from there. Loaded, it
 * leaves its own path in C:\e2e\canary.txt. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved) {
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        wchar_t path[MAX_PATH];
        const DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
        HANDLE marker = CreateFileW(L"C:\\e2e\\canary.txt", FILE_APPEND_DATA, FILE_SHARE_READ, NULL, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, NULL);
        if (marker != INVALID_HANDLE_VALUE) {
            DWORD written;
            WriteFile(marker, path, length * sizeof(wchar_t), &written, NULL);
            CloseHandle(marker);
        }
    }
    return TRUE;
}
