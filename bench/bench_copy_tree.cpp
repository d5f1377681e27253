// Times RegistryKey::CopyTreeTo on a tree of 1,000 keys with 10 values each,
// against the registry's own RegCopyTreeW on the same tree, and checks that
// both copies hold every key and value.
#include <windows.h>

#include <cstdio>
#include <string>

#include "registry/registry_key.h"
#include "platform/windows_api.h"

namespace {

const wchar_t kBase[] = L"Software\\QxBench";
constexpr int kTopKeys = 10;
constexpr int kKeysPerTop = 99;  // 10 + 10 * 99 = 1,000 keys
constexpr int kValuesPerKey = 10;

double Seconds(LARGE_INTEGER from, LARGE_INTEGER to) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// Five text values and five 32-bit integer blobs per key, as the toolkit
// writes them.
bool FillKey(Qx::RegistryKey& key, int seed) {
    for (int i = 0; i < kValuesPerKey; ++i) {
        Qx::Variant value;
        if (i % 2 == 0) {
            const std::string text = "value " + std::to_string(seed) + "." + std::to_string(i);
            value = text.c_str();
        } else {
            const std::int32_t number = seed * 100 + i;
            value.SetValue(Qx::Int32, &number, sizeof number);
        }
        if (key.WriteValue((L"v" + std::to_wstring(i)).c_str(), value) < 0) return false;
    }
    return true;
}

bool BuildSource(const std::wstring& path) {
    int seed = 0;
    for (int top = 0; top < kTopKeys; ++top) {
        const std::wstring topPath = path + L"\\t" + std::to_wstring(top);
        Qx::RegistryKey topKey(topPath.c_str());
        if (topKey.Open(false) < 0 || !FillKey(topKey, seed++)) return false;
        for (int sub = 0; sub < kKeysPerTop; ++sub) {
            Qx::RegistryKey subKey((topPath + L"\\s" + std::to_wstring(sub)).c_str());
            if (subKey.Open(false) < 0 || !FillKey(subKey, seed++)) return false;
        }
    }
    return true;
}

// Keys and values below `path` (the key itself not counted).
void Count(const std::wstring& path, long& keys, long& values) {
    Qx::RegistryKey key(path.c_str());
    if (key.Open(true) < 0) return;
    Qx::NameList names;
    if (key.GetValueNames(names) >= 0) values += static_cast<long>(names.Count());
    if (key.GetSubKeyNames(names) < 0) return;
    for (std::size_t i = 0; i < names.Count(); ++i) {
        ++keys;
        Count(path + L"\\" + names[i].Get(), keys, values);
    }
}

}  // namespace

int main() {
    if (platform::LoadSystemLibraries() != 0) return 1;
    const std::wstring base = kBase;
    const std::wstring source = base + L"\\source";
    if (!BuildSource(source)) {
        std::printf("building the source tree failed\n");
        return 1;
    }

    LARGE_INTEGER t0, t1, t2, t3;
    Qx::RegistryKey sourceKey(source.c_str());
    sourceKey.Open(true);
    QueryPerformanceCounter(&t0);
    const HRESULT copied = sourceKey.CopyTreeTo((base + L"\\toolkit").c_str());
    QueryPerformanceCounter(&t1);

    platform::UniqueHkey to;
    LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, (base + L"\\native").c_str(), 0, nullptr,
                                     0, KEY_ALL_ACCESS, nullptr, to.put(), nullptr);
    QueryPerformanceCounter(&t2);
    if (status == ERROR_SUCCESS) status = RegCopyTreeW(sourceKey.Handle(), nullptr, to.get());
    QueryPerformanceCounter(&t3);
    to.reset();

    long keys[3] = {}, values[3] = {};
    Count(source, keys[0], values[0]);
    Count(base + L"\\toolkit", keys[1], values[1]);
    Count(base + L"\\native", keys[2], values[2]);

    const double toolkit = Seconds(t0, t1);
    const double native = Seconds(t2, t3);
    std::printf("source:      %ld keys, %ld values\n", keys[0], values[0]);
    std::printf("CopyTreeTo:  %.3f s (result 0x%08lx, %ld keys, %ld values)\n", toolkit,
                static_cast<unsigned long>(copied), keys[1], values[1]);
    std::printf("RegCopyTreeW: %.3f s (status %ld, %ld keys, %ld values)\n", native, status,
                keys[2], values[2]);
    std::printf("ratio CopyTreeTo / RegCopyTreeW: %.2f\n", native > 0 ? toolkit / native : 0.0);

    platform::UniqueHkey software;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software", 0, KEY_ALL_ACCESS, software.put()) ==
        ERROR_SUCCESS) {
        RegDeleteTreeW(software.get(), L"QxBench");
    }
    const bool ok = copied == S_OK && status == ERROR_SUCCESS && keys[1] == keys[0] &&
                    values[1] == values[0] && keys[2] == keys[0] && values[2] == values[0];
    return ok ? 0 : 1;
}
