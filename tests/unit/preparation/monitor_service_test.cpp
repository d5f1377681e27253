// Signalling the device-monitor service: which calls are made with which
// rights, what each failure gives, and that every handle is closed in order.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "preparation/preparation_steps.h"
#include "seam.h"

using platform::Api;
using platform::WindowsApi;

namespace {

const SC_HANDLE kManager = reinterpret_cast<SC_HANDLE>(0x1100);
const SC_HANDLE kService = reinterpret_cast<SC_HANDLE>(0x2200);

bool managerOpens, serviceOpens, controlAccepted;
std::vector<std::wstring> calls;

}  // namespace

TEST(SignalMonitor, FailuresGiveMinusOneAndCloseWhatWasOpened) {
    seam::SeamScope scope;
    Api().OpenSCManagerW = [](LPCWSTR machine, LPCWSTR database, DWORD access) WINAPI -> SC_HANDLE {
        EXPECT_EQ(machine, nullptr);
        EXPECT_STREQ(database, L"ServicesActive");
        EXPECT_EQ(access, 0xF003Fu);
        calls.push_back(L"scm");
        SetLastError(ERROR_ACCESS_DENIED);
        return managerOpens ? kManager : nullptr;
    };
    Api().OpenServiceW = [](SC_HANDLE manager, LPCWSTR name, DWORD access) WINAPI -> SC_HANDLE {
        EXPECT_EQ(manager, kManager);
        EXPECT_EQ(access, 0xF01FFu);
        calls.push_back(std::wstring(L"open ") + name);
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return serviceOpens ? kService : nullptr;
    };
    Api().ControlService = [](SC_HANDLE service, DWORD code, SERVICE_STATUS* status) WINAPI -> BOOL {
        EXPECT_EQ(service, kService);
        EXPECT_NE(status, nullptr);
        calls.push_back(L"control " + std::to_wstring(code));
        SetLastError(ERROR_SERVICE_NOT_ACTIVE);
        return controlAccepted;
    };
    Api().CloseServiceHandle = [](SC_HANDLE h) WINAPI -> BOOL {
        calls.push_back(h == kService ? L"close service" : h == kManager ? L"close scm" : L"close ?");
        return TRUE;
    };

    struct Case {
        bool manager, service, control;
        int result;
        std::vector<std::wstring> calls;
    } cases[] = {
        {false, true, true, -1, {L"scm"}},
        {true, false, true, -1, {L"scm", L"open Monitor", L"close scm"}},
        {true, true, false, -1,
         {L"scm", L"open Monitor", L"control 128", L"close service", L"close scm"}},
        {true, true, true, 0,
         {L"scm", L"open Monitor", L"control 128", L"close service", L"close scm"}},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        managerOpens = cases[i].manager;
        serviceOpens = cases[i].service;
        controlAccepted = cases[i].control;
        calls.clear();
        EXPECT_EQ(preparation::SendMonitorControl(L"Monitor"), cases[i].result);
        EXPECT_EQ(calls, cases[i].calls);
    }
}

// Against the real service manager of the Wine prefix.
TEST(SignalMonitor, ServiceNotInstalledGivesMinusOne) {
    EXPECT_EQ(preparation::SendMonitorControl(L"NoSuchMonitorService_7f3a"), -1);
}
