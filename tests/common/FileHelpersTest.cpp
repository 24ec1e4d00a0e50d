#include "common/FileHelpers.h"
#include "common/SystemErrors.h"

#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <vector>

TEST(OpenFileForWriting, CreatesNewFilesOnlyAndNeverOpensAnExistingOne) {
    TempFolder folder;
    const std::wstring path = folder / L"new.txt";
    std::wstring error;
    {
        CFileHandle file;
        ASSERT_TRUE(OpenFileForWriting(file, path, error));
        DWORD written = 99;
        EXPECT_TRUE(WriteBufferToFile(file, "AB", 2, written, error));
        EXPECT_EQ(written, 2u);
        EXPECT_TRUE(WriteBufferToFile(file, "", 0, written, error));
        EXPECT_EQ(written, 0u);
    }
    EXPECT_TRUE(error.empty());
    CFileHandle again;
    EXPECT_FALSE(OpenFileForWriting(again, folder / L"NEW.TXT", error));
    std::wstring expected;
    GetSystemErrorText(ERROR_FILE_EXISTS, expected);
    EXPECT_EQ(error, expected);
    EXPECT_EQ(ReadTextFile(path), "AB");
}

TEST(OpenFileForWriting, AllowsNoOtherOpenWhileItHoldsTheFile) {
    TempFolder folder;
    const std::wstring path = folder / L"locked.bin";
    std::wstring error;
    CFileHandle first;
    ASSERT_TRUE(OpenFileForWriting(first, path, error));

    const CFileHandle reader(CreateFileW(path.c_str(), GENERIC_READ,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                         0, nullptr));
    EXPECT_FALSE(reader.IsValid()) << "reading was allowed";
}

TEST(OpenFileForWriting, FailsInAMissingFolderWithTheSystemsText) {
    TempFolder folder;
    std::wstring error = L"previous";
    CFileHandle file;
    EXPECT_FALSE(OpenFileForWriting(file, folder / L"missing\\file.txt", error));
    EXPECT_EQ(file.Get(), INVALID_HANDLE_VALUE);
    std::wstring expected;
    GetSystemErrorText(ERROR_PATH_NOT_FOUND, expected);
    EXPECT_EQ(error, expected);
}

TEST(CheckFileHandle, OnlyInvalidHandleValueFails) {
    std::wstring error = L"untouched";
    EXPECT_TRUE(CheckFileHandle(nullptr, error));
    EXPECT_EQ(error, L"untouched");
    SetLastError(ERROR_ACCESS_DENIED);
    EXPECT_FALSE(CheckFileHandle(INVALID_HANDLE_VALUE, error));
    EXPECT_NE(error, L"untouched");
}

TEST(Handle, KnowsWhichValueIsInvalid) {
    CFileHandle file;
    EXPECT_EQ(file.Get(), INVALID_HANDLE_VALUE);
    EXPECT_FALSE(file.IsValid());
    CObjectHandle object;
    EXPECT_EQ(object.Get(), nullptr);
    EXPECT_FALSE(object.IsValid());

    CObjectHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(event.IsValid());
    const HANDLE raw = event.Get();
    CObjectHandle moved(std::move(event));
    EXPECT_FALSE(event.IsValid());
    EXPECT_EQ(moved.Get(), raw);
    moved.Reset();
    DWORD flags = 0;
    EXPECT_FALSE(GetHandleInformation(raw, &flags)) << "the handle was not closed";
}

TEST(ToExtendedLengthPath, LeavesShortPathsAndPrefixesLongOnes) {
    EXPECT_EQ(ToExtendedLengthPath(L"C:\\App\\a.dll"), L"C:\\App\\a.dll");
    EXPECT_EQ(ToExtendedLengthPath(L""), L"");

    std::wstring deep = L"C:\\App";
    while (deep.size() < 300) {
        deep += L"\\sub";
    }
    EXPECT_EQ(ToExtendedLengthPath(deep + L"\\a.dll"), L"\\\\?\\" + deep + L"\\a.dll");
    std::wstring slashed = deep + L"/x/../a.dll";
    EXPECT_EQ(ToExtendedLengthPath(slashed), L"\\\\?\\" + deep + L"\\a.dll");
    EXPECT_EQ(ToExtendedLengthPath(L"\\\\?\\" + deep), L"\\\\?\\" + deep);
    EXPECT_EQ(ToExtendedLengthPath(L"\\\\server\\share" + deep.substr(2)),
              L"\\\\?\\UNC\\server\\share" + deep.substr(2));
}

// The logon entry takes the short forms; a run started with them must know its directory again.
TEST(PathForms, SpellTheSamePathShortAndLongAtAnyLength) {
    TempFolder folder;
    std::wstring path = folder.Path().wstring();
    for (const std::size_t length : {100, 300}) {
        while (path.size() < length) {
            path += L"\\a folder of many characters";
            ASSERT_TRUE(CreateDirectoryW(ToExtendedLengthPath(path).c_str(), nullptr));
        }
        const std::wstring shortForm = GetShortPathForm(path);
        EXPECT_LT(shortForm.size(), path.size());
        EXPECT_FALSE(shortForm.starts_with(L"\\\\?\\")) << shortForm;
        EXPECT_TRUE(PathExists(shortForm)) << shortForm;
        EXPECT_EQ(GetLongPathForm(shortForm), path);
        EXPECT_EQ(GetLongPathForm(path), path);
    }
    const std::wstring missing = folder / L"NOTTHERE\\ORVAND~1";
    EXPECT_EQ(GetLongPathForm(missing), missing);
    EXPECT_EQ(GetShortPathForm(missing), missing);
}

TEST(ToExtendedLengthPath, ReachesFilesBeyondMaxPath) {
    TempFolder folder;
    std::wstring deep = folder.Path().wstring();
    while (deep.size() < 400) {
        deep += L"\\a-folder-name-of-some-length";
        ASSERT_TRUE(CreateDirectoryW(ToExtendedLengthPath(deep).c_str(), nullptr));
    }
    const std::wstring path = deep + L"\\file.txt";
    std::wstring error;
    {
        CFileHandle file;
        ASSERT_TRUE(OpenFileForWriting(file, path, error)) << error.c_str();
    }
    EXPECT_TRUE(PathExists(path));
    EXPECT_FALSE(PathExists(deep + L"\\other.txt"));
}

namespace {

struct TSecurityCall {
    std::wstring path;
    SE_OBJECT_TYPE type = SE_UNKNOWN_OBJECT_TYPE;
    SECURITY_INFORMATION what = 0;
    bool setsOwnerOrGroupOrSacl = true;
    int daclEntries = -1;
    bool daclIsValid = false;
};

TSecurityCall recordedCall;

DWORD WINAPI RecordSecurityCall(LPWSTR path, SE_OBJECT_TYPE type, SECURITY_INFORMATION what,
                                PSID owner, PSID group, PACL dacl, PACL sacl) {
    recordedCall = {path,
                    type,
                    what,
                    owner || group || sacl,
                    dacl ? dacl->AceCount : -1,
                    dacl && IsValidAcl(dacl)};
    return ERROR_ACCESS_DENIED;
}

} // namespace

// Wine keeps no access rights on its files, so only the request itself can be checked here.
TEST(InheritFolderAccess, DropsTheFilesOwnEntriesForThoseItsFolderPassesOn) {
    const std::wstring path = L"C:\\Program Files\\Orvandel\\plugins\\a.dll";

    InheritFolderAccess(path, RecordSecurityCall);

    EXPECT_EQ(recordedCall.path, path);
    EXPECT_EQ(recordedCall.type, SE_FILE_OBJECT);
    EXPECT_EQ(recordedCall.what, DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION);
    EXPECT_FALSE(recordedCall.setsOwnerOrGroupOrSacl);
    EXPECT_EQ(recordedCall.daclEntries, 0);
    EXPECT_TRUE(recordedCall.daclIsValid);
}

namespace {

struct TAccessEntry {
    BYTE flags;
    DWORD rights;
    WELL_KNOWN_SID_TYPE who;
};

std::vector<BYTE> MakeAcl(const std::vector<TAccessEntry>& entries) {
    std::vector<BYTE> acl(1024);
    const auto list = reinterpret_cast<PACL>(acl.data());
    EXPECT_TRUE(InitializeAcl(list, static_cast<DWORD>(acl.size()), ACL_REVISION));
    for (const TAccessEntry& entry : entries) {
        BYTE sid[SECURITY_MAX_SID_SIZE] = {};
        DWORD size = sizeof sid;
        EXPECT_TRUE(CreateWellKnownSid(entry.who, nullptr, sid, &size));
        EXPECT_TRUE(AddAccessAllowedAceEx(list, ACL_REVISION, entry.flags, entry.rights, sid));
    }
    return acl;
}

} // namespace

TEST(PassSameAccessToFiles, ComparesTheEntriesThatFilesInheritInTheirOrder) {
    constexpr BYTE Both = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    const TAccessEntry system{Both, FILE_ALL_ACCESS, WinLocalSystemSid};
    const TAccessEntry inheritedSystem{Both | INHERITED_ACE, FILE_ALL_ACCESS, WinLocalSystemSid};
    const TAccessEntry users{Both, FILE_GENERIC_READ, WinBuiltinUsersSid};
    const TAccessEntry writingUsers{Both, FILE_GENERIC_WRITE, WinBuiltinUsersSid};
    const TAccessEntry foldersOnly{CONTAINER_INHERIT_ACE, FILE_ALL_ACCESS, WinWorldSid};
    const struct {
        const char* what;
        std::vector<TAccessEntry> first;
        std::vector<TAccessEntry> second;
        bool same;
    } cases[] = {
        {"the same entries", {system, users}, {system, users}, true},
        {"inherited by one folder, its own in the other",
         {inheritedSystem, users},
         {system, users},
         true},
        {"an entry only subfolders inherit", {system, users, foldersOnly}, {system, users}, true},
        {"one more entry for files", {system, users}, {system}, false},
        {"other rights", {system, users}, {system, writingUsers}, false},
        {"another order", {system, users}, {users, system}, false},
    };
    for (const auto& test : cases) {
        const std::vector<BYTE> first = MakeAcl(test.first);
        const std::vector<BYTE> second = MakeAcl(test.second);
        EXPECT_EQ(PassSameAccessToFiles(reinterpret_cast<const ACL*>(first.data()),
                                        reinterpret_cast<const ACL*>(second.data())),
                  test.same)
            << test.what;
    }
    const std::vector<BYTE> some = MakeAcl({system});
    EXPECT_FALSE(PassSameAccessToFiles(nullptr, reinterpret_cast<const ACL*>(some.data())));

    TempFolder folder;
    CreateDirectoryW((folder / L"one").c_str(), nullptr);
    CreateDirectoryW((folder / L"two").c_str(), nullptr);
    EXPECT_TRUE(FoldersPassSameAccessToFiles(folder / L"one", folder / L"two"));
    EXPECT_FALSE(FoldersPassSameAccessToFiles(folder / L"one", folder / L"missing"));
}

TEST(MoveFileIn, ReplacesOnlyWhenAskedAndFlushesTheFolders) {
    TempFolder folder;
    const std::wstring from = folder / L"from.txt";
    const std::wstring to = folder / L"App\\to.txt";
    WriteTextFile(from, "new");
    WriteTextFile(to, "a copy cut short");

    EXPECT_EQ(MoveFileInAndGetError(from, to, false), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(MoveFileInAndGetError(from, to, true), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(ReadTextFile(to), "new");
    EXPECT_FALSE(PathExists(from));
    EXPECT_EQ(FlushFolderAndGetError(folder / L"App"), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(FlushFolderAndGetError(folder / L"Missing"),
              static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}
