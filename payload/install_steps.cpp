#include "payload/install_steps.h"

#include <windows.h>

#include "platform/windows_api.h"

namespace payload {

bool IsQuietMode(const CString& msiArguments) {
    return !msiArguments.IsEmpty() && msiArguments.Find(L"/quiet") >= 0;
}

RuntimeParameters ChooseRuntimeParameters(const CString& msiArguments, bool useLegacyRuntimeArguments) {
    if (useLegacyRuntimeArguments) {
        return {L"/q:a /c:\"vcredist_x86.exe /q:a /c:\"\"msiexec /i vcredist.msi /qb\"\" \"",
                L"/q:a /c:\"vcredist_x64.exe /q:a /c:\"\"msiexec /i vcredist.msi /qb\"\" \""};
    }
    const wchar_t* const both = IsQuietMode(msiArguments) ? L"/q /norestart" : L"/passive /norestart";
    return {both, both};
}

bool ResourceCarried(const wchar_t* name, const wchar_t* type) {
    auto& api = platform::Api();
    return api.FindResourceW(api.GetModuleHandleW(nullptr), name, type) != nullptr;
}

bool ExecutableResourceCarried(const wchar_t* name) { return ResourceCarried(name, L"EXE"); }

const wchar_t* DriverPackageResource(bool isWow64, bool isWin10, bool isArm64) {
    if (isArm64) return L"MSI_WIN10_ARM64";
    if (isWow64) return isWin10 ? L"MSI_WIN10_64" : L"MSI64";
    return isWin10 ? L"MSI_WIN10_32" : L"MSI32";
}

}  // namespace payload
