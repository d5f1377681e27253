// Removing registered older products through the Windows Installer engine.
#include "payload/installer_runs.h"
#include "platform/cstring.h"
#include "preparation/preparation_steps.h"
#include "registry/registry_key.h"

namespace preparation {

namespace {

// A product counts as registered when its uninstall key opens for reading.
// On 64-bit Windows only the 64-bit view is looked at.
bool IsRegistered(const wchar_t* productCode, bool isWow64) {
    Qx::RegistryKey uninstallKey(CString(kUninstallKeyPath) + productCode, Qx::LocalMachine,
                                 isWow64 ? Qx::View64 : Qx::ProcessView);
    return uninstallKey.Open(true) >= 0;  // closed again by the key object
}

}  // namespace

int RemoveRegisteredProducts(const wchar_t* const* productCodes, int count, bool isWow64) {
    if (productCodes == nullptr || count <= 0) return 0;

    // msiexec is named by its full path in the system folder, so that a
    // program of that name in the current folder is never the one started;
    // RunMsiexec waits for a busy Windows Installer first and starts it in
    // the system folder.
    int failures = 0;
    for (int i = 0; i < count; ++i) {
        const wchar_t* code = productCodes[i];
        if (code == nullptr || !IsRegistered(code, isWow64)) continue;
        CString parameters(L"/passive /X ");
        parameters += code;
        // A launch error, a failed wait and a non-zero exit code (a removal
        // that asks for a restart included) each count as one failure.
        if (RunMsiexec(parameters) != 0) ++failures;
    }
    return failures;
}

}  // namespace preparation
