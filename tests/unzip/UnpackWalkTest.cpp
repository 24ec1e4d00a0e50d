#include "unzip/UnpackWalk.h"

#include "common/Errors.h"
#include "common/FileHelpers.h"
#include "common/Handle.h"
#include "core/NameScreen.h"
#include "unzip/Unzipper.h"

#include "FakeStorage.h"
#include "UnpackTestSupport.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>

namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t Chunk = ChunkSizeLimit;

// The bytes a fake stream delivers, compared with what landed on disk.
bool HoldsFakeBytes(const fs::path& path, std::uint64_t size) {
    if (fs::file_size(path) != size) {
        return false;
    }
    std::ifstream file(path, std::ios::binary);
    std::vector<char> block(1 << 20);
    std::uint64_t offset = 0;
    while (file.read(block.data(), static_cast<std::streamsize>(block.size())) ||
           file.gcount() > 0) {
        for (std::streamsize i = 0; i < file.gcount(); ++i, ++offset) {
            if (static_cast<unsigned char>(block[i]) != FakeByte(offset)) {
                return false;
            }
        }
    }
    return offset == size;
}

std::vector<ULONG> RequestsFor(const FakeLedger& ledger, const std::wstring& name) {
    std::vector<ULONG> sizes;
    for (const auto& [stream, size] : ledger.readRequests) {
        if (stream == name) {
            sizes.push_back(size);
        }
    }
    return sizes;
}

// The cause, where given, is the one the log is to show.
void ExpectUnzipError(const std::function<void()>& action,
                      const std::optional<std::wstring>& cause = std::nullopt) {
    try {
        action();
        ADD_FAILURE() << "no failure";
    } catch (const COrvException& e) {
        EXPECT_EQ(e.GetText(), L"Cannot unzip the downloaded archive.");
        EXPECT_EQ(e.GetCode(), 0);
        if (cause) {
            EXPECT_EQ(e.GetCause(), *cause);
        }
    }
}

// The cause that the log shows for a name the walk refuses, in the name screen's words.
std::wstring RefusalText(const std::wstring& name, TNameFault fault) {
    const std::string_view reason = DescribeNameFault(fault);
    return name + L": " + std::wstring(reason.begin(), reason.end());
}

} // namespace

class UnpackWalk : public ::testing::Test {
protected:
    void SetUp() override {
        m_folder = m_temp / L"dest";
        fs::create_directory(m_folder);
        m_root.Set(m_folder, false);
    }

    // Extracts the tree as the walk does below an archive's root, the storage released after.
    void Extract(const FakeElement& tree) {
        const CComPointer<IStorage> storage = MakeFakeStorage(tree, m_ledger);
        ExtractStorage(storage.Get(), m_folder, &m_root, *m_unzipper, m_tally);
    }

    std::wstring At(const std::wstring& relative) const { return m_folder + L"\\" + relative; }

    FakeLedger m_ledger;
    TempFolder m_temp;
    std::wstring m_folder;
    CFileSystemItem m_root{L"", false};
    // Only a progress sink here: never started, so its destruction touches nothing.
    std::unique_ptr<CUnzipper> m_unzipper = std::make_unique<CUnzipper>();
    TProgressTally m_tally;
};

TEST_F(UnpackWalk, PostsOneRecordPerReadAndOnePerFileInExtractionOrder) {
    FakeElement chunky = FakeStream(L"b.bin", 25);
    chunky.mostPerRead = 10;
    const FakeElement tree = FakeFolder(
        L"", {FakeStream(L"a.txt", 3), FakeFolder(L"sub", {FakeStream(L"empty.txt", 0), chunky}),
              FakeStream(L"c.txt", 4)});
    m_tally.fileCount = 4;
    m_tally.bytesTotal = 32;

    Extract(tree);

    const std::vector<TRecord> expected = {{0, 4, 3, 32},  {0, 4, 3, 32},  {1, 4, 3, 32},
                                           {2, 4, 3, 32},  {2, 4, 13, 32}, {2, 4, 23, 32},
                                           {2, 4, 28, 32}, {3, 4, 28, 32}, {3, 4, 32, 32},
                                           {3, 4, 32, 32}, {4, 4, 32, 32}};
    EXPECT_EQ(ProgressRecords(*m_unzipper), expected);
    EXPECT_EQ(RequestsFor(m_ledger, L"a.txt"), (std::vector<ULONG>{3, 3}));
    EXPECT_EQ(RequestsFor(m_ledger, L"b.bin"), (std::vector<ULONG>{25, 25, 25}));
    EXPECT_TRUE(RequestsFor(m_ledger, L"empty.txt").empty()) << "an empty stream was read";

    EXPECT_TRUE(HoldsFakeBytes(At(L"a.txt"), 3));
    EXPECT_TRUE(HoldsFakeBytes(At(L"sub\\b.bin"), 25));
    EXPECT_TRUE(HoldsFakeBytes(At(L"sub\\empty.txt"), 0));
    ASSERT_EQ(m_root.GetChildCount(), 3);
    EXPECT_EQ(m_root.GetChild(0)->GetPath(), At(L"a.txt"));
    EXPECT_TRUE(m_root.GetChild(0)->IsFile());
    const CFileSystemItem* sub = m_root.GetChild(1);
    EXPECT_EQ(sub->GetPath(), At(L"sub"));
    EXPECT_FALSE(sub->IsFile());
    ASSERT_EQ(sub->GetChildCount(), 2);
    EXPECT_EQ(sub->GetChild(0)->GetPath(), At(L"sub\\empty.txt"));
    EXPECT_EQ(sub->GetChild(1)->GetPath(), At(L"sub\\b.bin"));
    EXPECT_EQ(m_root.GetChild(2)->GetPath(), At(L"c.txt"));
    EXPECT_EQ(m_ledger.liveReferences, 0);
}

TEST_F(UnpackWalk, CopiesStreamsOfFourGiBInChunksWithSixtyFourBitTotals) {
    // The stream claims more than 4 GiB and ends early, so the copy stays small on disk.
    FakeElement huge = FakeStream(L"huge.bin", 0x100000005ull);
    huge.deliveredSize = 2 * Chunk + 100;
    const FakeElement tree = FakeFolder(L"", {huge});
    const std::uint64_t before = 0xFFFFFF00ull;
    m_tally = {7, 8, before, before + 0x100000005ull};

    Extract(tree);

    const std::uint64_t total = m_tally.bytesTotal;
    const std::vector<TRecord> expected = {{7, 8, before + Chunk, total},
                                           {7, 8, before + 2 * Chunk, total},
                                           {7, 8, before + 2 * Chunk + 100, total},
                                           {8, 8, before + 2 * Chunk + 100, total}};
    EXPECT_EQ(ProgressRecords(*m_unzipper), expected);
    EXPECT_EQ(RequestsFor(m_ledger, L"huge.bin"), (std::vector<ULONG>{Chunk, Chunk, Chunk}));
    EXPECT_TRUE(HoldsFakeBytes(At(L"huge.bin"), 2 * Chunk + 100));

    int files = 0;
    std::uint64_t bytes = 0;
    FakeElement big = FakeStream(L"x", 3ull << 30);
    FakeElement odd = FakeStream(L"odd", 0);
    odd.type = STGTY_LOCKBYTES;
    const FakeElement counted = FakeFolder(L"", {big, FakeFolder(L"sub", {big}), odd});
    CountElements(MakeFakeStorage(counted, m_ledger).Get(), files, bytes);
    EXPECT_EQ(files, 2);
    EXPECT_EQ(bytes, 6ull << 30);
    EXPECT_EQ(m_ledger.liveReferences, 0);
}

TEST_F(UnpackWalk, SizesTheBufferToTheStreamUpToTenMiB) {
    const auto declared = [](const std::wstring& name, std::uint64_t size) {
        FakeElement element = FakeStream(name, size);
        element.deliveredSize = 5;
        return element;
    };
    Extract(FakeFolder(L"", {declared(L"under", Chunk - 1), declared(L"exact", Chunk),
                             declared(L"over", Chunk + 1), declared(L"high", 1ull << 32)}));
    EXPECT_EQ(RequestsFor(m_ledger, L"under"), (std::vector<ULONG>{Chunk - 1}));
    EXPECT_EQ(RequestsFor(m_ledger, L"exact"), (std::vector<ULONG>{Chunk}));
    EXPECT_EQ(RequestsFor(m_ledger, L"over"), (std::vector<ULONG>{Chunk}));
    EXPECT_EQ(RequestsFor(m_ledger, L"high"), (std::vector<ULONG>{Chunk}));
    EXPECT_TRUE(HoldsFakeBytes(At(L"over"), 5)) << "the copy follows the stream, not its size";
}

// Otherwise part of the update would pass for all of it.
TEST_F(UnpackWalk, AFailingNextIsADamagedArchiveInEveryPass) {
    FakeElement sub = FakeFolder(L"sub", {FakeStream(L"c.txt", 1), FakeStream(L"d.txt", 1)});
    sub.failingNext = 1;
    const FakeElement tree =
        FakeFolder(L"", {FakeStream(L"a.txt", 2), sub, FakeStream(L"e.txt", 1)});

    ExpectUnzipError([&] {
        int files = 0;
        std::uint64_t bytes = 0;
        CountElements(MakeFakeStorage(tree, m_ledger).Get(), files, bytes);
    });
    ExpectUnzipError([&] { Extract(tree); });
    EXPECT_TRUE(fs::exists(At(L"sub\\c.txt")));
    EXPECT_FALSE(fs::exists(At(L"sub\\d.txt")));

    FakeElement gate = FakeFolder(L"", {FakeStream(L"readme.txt", 1), FakeStream(L"setup.exe", 1)});
    gate.failingNext = 1;
    ExpectUnzipError([&] { HasInstaller(MakeFakeEnumerator(gate, m_ledger).Get()); });
    EXPECT_EQ(m_ledger.liveReferences, 0);
}

TEST_F(UnpackWalk, FoldersDeeperThanAnArchiveMayNestAreDamage) {
    const auto nested = [](std::size_t levels) {
        FakeElement element = FakeStream(L"x.txt", 1);
        for (std::size_t level = 0; level < levels; ++level) {
            element = FakeFolder(L"d", {element});
        }
        return FakeFolder(L"", {element});
    };
    int files = 0;
    std::uint64_t bytes = 0;
    CountElements(MakeFakeStorage(nested(DeepestFolderLevel), m_ledger).Get(), files, bytes);
    EXPECT_EQ(files, 1);
    Extract(nested(DeepestFolderLevel));

    const std::wstring tooDeep = RefusalText(L"d", TNameFault::TooDeep);
    ExpectUnzipError(
        [&] {
            CountElements(MakeFakeStorage(nested(DeepestFolderLevel + 1), m_ledger).Get(), files,
                          bytes);
        },
        tooDeep);
    RemoveFolderTree(m_folder + L"\\d");
    ExpectUnzipError([&] { Extract(nested(DeepestFolderLevel + 1)); }, tooDeep);
    EXPECT_EQ(m_ledger.liveReferences, 0);
}

TEST_F(UnpackWalk, ANullSubStorageFailsAfterItsFolderIsRecorded) {
    FakeElement broken = FakeFolder(L"sub", {FakeStream(L"never.txt", 1)});
    broken.opensAsNull = true;
    const FakeElement tree = FakeFolder(L"", {FakeStream(L"a.txt", 2), broken});

    ExpectUnzipError([&] { Extract(tree); });
    EXPECT_TRUE(fs::exists(At(L"a.txt")));
    EXPECT_TRUE(fs::is_directory(At(L"sub")));
    EXPECT_EQ(RecordedPaths(m_root), (std::set<std::wstring>{At(L"a.txt"), At(L"sub")}));

    ExpectUnzipError([&] {
        int files = 0;
        std::uint64_t bytes = 0;
        CountElements(MakeFakeStorage(tree, m_ledger).Get(), files, bytes);
    });
    EXPECT_EQ(m_ledger.liveReferences, 0);
}

TEST_F(UnpackWalk, AnElementWithoutANameFailsEveryPass) {
    FakeElement element = FakeStream(L"setup.exe", 1);
    element.nameless = true;
    const FakeElement tree = FakeFolder(L"", {FakeStream(L"a.txt", 1), element});

    const std::wstring nameless = L"an element without a name";
    ExpectUnzipError([&] { HasInstaller(MakeFakeEnumerator(tree, m_ledger).Get()); }, nameless);
    ExpectUnzipError(
        [&] {
            int files = 0;
            std::uint64_t bytes = 0;
            CountElements(MakeFakeStorage(tree, m_ledger).Get(), files, bytes);
        },
        nameless);
    ExpectUnzipError([&] { Extract(tree); }, nameless);
    EXPECT_EQ(RecordedPaths(m_root), (std::set<std::wstring>{At(L"a.txt")}));
    EXPECT_EQ(m_ledger.liveReferences, 0);
}

TEST_F(UnpackWalk, EveryPassSkipsElementsThatAreNeitherFolderNorFile) {
    FakeElement lockBytes = FakeStream(L"setup.exe", 10);
    lockBytes.type = STGTY_LOCKBYTES;
    FakeElement property = FakeFolder(L"tools.msi", {FakeStream(L"x", 1)});
    property.type = STGTY_PROPERTY;
    const FakeElement tree = FakeFolder(L"", {lockBytes, property, FakeStream(L"a.txt", 2)});

    EXPECT_FALSE(HasInstaller(MakeFakeEnumerator(tree, m_ledger).Get()));
    int files = 0;
    std::uint64_t bytes = 0;
    CountElements(MakeFakeStorage(tree, m_ledger).Get(), files, bytes);
    EXPECT_EQ(files, 1);
    EXPECT_EQ(bytes, 2u);
    m_tally = {0, 1, 0, 2};
    Extract(tree);
    EXPECT_EQ(DescribeTree(m_folder).size(), 1u);
    EXPECT_EQ(RecordedPaths(m_root), std::set<std::wstring>{At(L"a.txt")});
    EXPECT_EQ(ProgressRecords(*m_unzipper).back(), (TRecord{1, 1, 2, 2}));
    EXPECT_EQ(m_ledger.liveReferences, 0);
}

// Through one buffer and, for a stream of more than one chunk, through the two of the writes
// beside the reads.
TEST_F(UnpackWalk, AFailedReadLeavesTheFileClosedPartlyWrittenAndRecorded) {
    std::set<std::wstring> recorded;
    for (const std::uint64_t declared : {std::uint64_t{30}, Chunk + 1}) {
        SCOPED_TRACE(declared);
        const std::wstring folder = declared == 30 ? L"one" : L"two";
        FakeElement failing = FakeStream(L"big.bin", declared);
        failing.deliveredSize = 30;
        failing.mostPerRead = 10;
        failing.failingRead = 2;
        const FakeElement tree = FakeFolder(L"", {FakeFolder(folder, {failing})});

        ExpectUnzipError([&] { Extract(tree); });
        const std::wstring file = At(folder + L"\\big.bin");
        EXPECT_TRUE(HoldsFakeBytes(file, 20));
        recorded.insert({At(folder), file});
        EXPECT_EQ(RecordedPaths(m_root), recorded);
        const CFileHandle exclusive(
            CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        EXPECT_TRUE(exclusive.IsValid()) << "the walk kept the file open";
        EXPECT_EQ(m_ledger.liveReferences, 0);
    }
}

TEST_F(UnpackWalk, AReadOfZeroBytesEndsTheCopy) {
    FakeElement stalling = FakeStream(L"stall.bin", 10);
    stalling.deliveredSize = 4;
    stalling.emptyReadsAtEnd = true;
    m_tally = {0, 1, 0, 10};

    EXPECT_NO_THROW(Extract(FakeFolder(L"", {stalling})));
    EXPECT_EQ(RequestsFor(m_ledger, L"stall.bin").size(), 2u);
    const std::vector<TRecord> expected = {{0, 1, 4, 10}, {0, 1, 4, 10}, {1, 1, 4, 10}};
    EXPECT_EQ(ProgressRecords(*m_unzipper), expected);
    EXPECT_TRUE(HoldsFakeBytes(At(L"stall.bin"), 4));
}

TEST_F(UnpackWalk, RefusesNamesThatCouldLeaveTheFolderOrNameADevice) {
    const std::vector<std::pair<std::wstring, TNameFault>> names = {
        {L"..", TNameFault::DotName},
        {L".", TNameFault::DotName},
        {L"", TNameFault::Empty},
        {L"..\\escape.txt", TNameFault::ForbiddenCharacter},
        {L"sub/escape.txt", TNameFault::ForbiddenCharacter},
        {L"C:escape.txt", TNameFault::ForbiddenCharacter},
        {L"setup.exe:stream", TNameFault::ForbiddenCharacter},
        {L"CON", TNameFault::DeviceName},
        {L"nul.txt", TNameFault::DeviceName},
        {L"com1", TNameFault::DeviceName},
        {L"escape.", TNameFault::TrailingDotOrBlank},
        {L"escape ", TNameFault::TrailingDotOrBlank},
        {L"a\tb", TNameFault::ControlCharacter},
        {L"PROGRA~1", TNameFault::ShortNameAlias}};
    for (const auto& [name, fault] : names) {
        for (const DWORD type : {DWORD{STGTY_STREAM}, DWORD{STGTY_STORAGE}}) {
            SCOPED_TRACE(testing::Message()
                         << "name '" << fs::path(name).string() << "' type " << type);
            FakeElement element = FakeStream(name, 3);
            element.type = type;
            ExpectUnzipError([&] { Extract(FakeFolder(L"", {element})); },
                             RefusalText(name, fault));
            EXPECT_TRUE(fs::is_empty(m_folder));
        }
    }
    EXPECT_EQ(DescribeTree(m_temp.Path()).size(), 1u) << "something was written beside dest";
    EXPECT_EQ(m_root.GetChildCount(), 0);
    EXPECT_EQ(m_ledger.liveReferences, 0);
}

// The extraction folder starts empty: whatever is there already came in under another name that
// the file system takes for the same (a letter case, a short name, a folding the archive's own
// duplicate check does not know), and must not be overwritten or merged into.
TEST_F(UnpackWalk, AFileOrFolderThatIsThereAlreadyIsRefused) {
    WriteTextFile(At(L"a.txt"), "written under another name");
    ExpectUnzipError([&] { Extract(FakeFolder(L"", {FakeStream(L"a.txt", 3)})); });
    EXPECT_EQ(ReadTextFile(At(L"a.txt")), "written under another name");

    fs::create_directories(At(L"sub"));
    ExpectUnzipError(
        [&] { Extract(FakeFolder(L"", {FakeFolder(L"sub", {FakeStream(L"b", 2)})})); });
    EXPECT_FALSE(fs::exists(At(L"sub\\b")));
    EXPECT_TRUE(RecordedPaths(m_root).empty());
}

TEST_F(UnpackWalk, WorksInFoldersBeyondMaxPath) {
    while (m_folder.size() < 400) {
        m_folder += L"\\a-rather-long-folder-name";
        CreateFolderIfMissing(m_folder);
    }
    m_root.Set(m_folder, false);
    Extract(FakeFolder(L"", {FakeFolder(L"sub", {FakeStream(L"deep.bin", 1000)})}));
    EXPECT_TRUE(HoldsFakeBytes(At(L"sub\\deep.bin"), 1000));
}

TEST(InstallerGate, WantsATopLevelFileEndingInExeOrMsi) {
    struct TCase {
        std::vector<FakeElement> elements;
        bool passes;
    };
    const std::vector<TCase> cases = {
        {{FakeStream(L"readme.txt", 1), FakeStream(L"setup.exe", 1)}, true},
        {{FakeStream(L"PACKAGE.Msi", 1)}, true},
        {{FakeStream(L"SETUP.EXE", 0)}, true},
        {{FakeStream(L".msi", 1)}, true},
        {{FakeStream(L"setup.exe.txt", 1), FakeStream(L"EXE", 1), FakeStream(L"x.exes", 1),
          FakeStream(L"setup.ex", 1)},
         false},
        {{FakeFolder(L"tools.exe", {}), FakeFolder(L"bin", {FakeStream(L"setup.exe", 1)})}, false},
        {{}, false},
    };
    FakeLedger ledger;
    for (const TCase& test : cases) {
        const FakeElement top = FakeFolder(L"", test.elements);
        SCOPED_TRACE(testing::Message()
                     << "first element "
                     << (top.children.empty() ? std::string("(none)")
                                              : fs::path(top.children[0].name).string()));
        EXPECT_EQ(HasInstaller(MakeFakeEnumerator(top, ledger).Get()), test.passes);
    }
    EXPECT_EQ(ledger.liveReferences, 0);
}
