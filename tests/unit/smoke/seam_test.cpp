// The seam itself: a stand-in fails with the chosen error, lets earlier calls
// through, and the scope puts the real function back.
#include <gtest/gtest.h>

#include <vector>

#include "platform/handles.h"
#include "seam.h"

using platform::Api;
using platform::WindowsApi;

TEST(Seam, FailWithSetsResultAndLastError) {
    seam::SeamScope scope;
    seam::FailWith<&WindowsApi::GetTempPathW>(DWORD{0}, DWORD{ERROR_ACCESS_DENIED});
    wchar_t buffer[MAX_PATH];
    SetLastError(0xdeadbeef);
    EXPECT_EQ(Api().GetTempPathW(MAX_PATH, buffer), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST(Seam, FailOnCallLetsEarlierCallsThroughAndScopeRestores) {
    wchar_t buffer[MAX_PATH];
    const auto original = Api().GetTempPathW;
    {
        seam::SeamScope scope;
        seam::FailOnCall<&WindowsApi::GetTempPathW>(2, DWORD{0}, DWORD{ERROR_BUFFER_OVERFLOW}, true);
        EXPECT_GT(Api().GetTempPathW(MAX_PATH, buffer), 0u);
        EXPECT_EQ(Api().GetTempPathW(MAX_PATH, buffer), 0u);
        EXPECT_GT(Api().GetTempPathW(MAX_PATH, buffer), 0u);
        EXPECT_EQ(seam::CallCount<&WindowsApi::GetTempPathW>(), 3);
    }
    EXPECT_EQ(Api().GetTempPathW, original);
}

TEST(Handles, OwnerClosesOnceThroughTheSeam) {
    seam::SeamScope scope;
    static int closes;
    closes = 0;
    Api().CloseHandle = [](HANDLE h) WINAPI -> BOOL { ++closes; return ::CloseHandle(h); };
    {
        platform::UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        ASSERT_TRUE(event);
        platform::UniqueHandle moved(std::move(event));
        EXPECT_FALSE(event);
        EXPECT_TRUE(moved);
    }
    EXPECT_EQ(closes, 1);
}

TEST(Handles, ResetPutReleaseAndCloseEachCloseAtMostOnce) {
    seam::SeamScope scope;
    static std::vector<HANDLE> closed;
    static BOOL closeResult;
    closed.clear();
    closeResult = TRUE;
    Api().CloseHandle = [](HANDLE h) WINAPI -> BOOL {
        closed.push_back(h);
        if (!closeResult) ::SetLastError(ERROR_INVALID_HANDLE);
        return closeResult;
    };
    const auto a = reinterpret_cast<HANDLE>(0x100);
    const auto b = reinterpret_cast<HANDLE>(0x200);
    {
        platform::UniqueFile file(a);
        *file.put() = b;  // put() closes the old handle first
        EXPECT_EQ(closed, std::vector<HANDLE>{a});
        EXPECT_EQ(file.release(), b);  // release() hands it over unclosed
        EXPECT_FALSE(file);
        EXPECT_TRUE(file.Close());  // closing nothing succeeds
        EXPECT_EQ(closed.size(), 1u);

        file.reset(a);
        closeResult = FALSE;
        EXPECT_FALSE(file.Close());  // a failing close is reported...
        EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        EXPECT_FALSE(file);  // ...and the handle is not closed again
    }
    EXPECT_EQ(closed, (std::vector<HANDLE>{a, a}));

    // Each kind knows its own invalid value and does not close it.
    closed.clear();
    { platform::UniqueFile none(INVALID_HANDLE_VALUE); }
    { platform::UniqueHandle none(nullptr); }
    EXPECT_TRUE(closed.empty());
}
