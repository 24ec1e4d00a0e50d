#include "core/ZipArchive.h"
#include "core/ZipEntryReader.h"
#include "core/ZipFault.h"

#include "support/TestZipWriter.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <initializer_list>

namespace {

std::shared_ptr<const CZipArchive> OpenZip(const std::string& bytes) {
    return std::make_shared<const CZipArchive>(std::make_unique<CMemoryByteSource>(
        std::vector<unsigned char>(bytes.begin(), bytes.end())));
}

std::shared_ptr<const CZipArchive> OpenZip(const TTestArchive& archive) {
    return OpenZip(BuildZip(archive));
}

// The fault that opening the bytes raises; none is a test failure.
ZipFault FaultOfOpening(const std::string& bytes) {
    try {
        OpenZip(bytes);
    } catch (const CZipException& fault) {
        return fault.GetFault();
    }
    ADD_FAILURE() << "archive accepted";
    return ZipFault::ReadFailed;
}

std::string ReasonOfOpening(const std::string& bytes) {
    try {
        OpenZip(bytes);
    } catch (const CZipException& fault) {
        return fault.GetReason();
    }
    return "accepted";
}

std::size_t Find(const CZipArchive& archive, std::initializer_list<std::u16string> path) {
    std::size_t item = CZipArchive::RootFolder;
    for (const std::u16string& name : path) {
        const auto child = archive.FindChild(item, name);
        EXPECT_TRUE(child) << std::string(name.begin(), name.end());
        item = child.value_or(CZipArchive::RootFolder);
    }
    return item;
}

std::vector<std::u16string> ChildNames(const CZipArchive& archive, std::size_t folder) {
    std::vector<std::u16string> names;
    for (const std::size_t child : archive.GetItem(folder).children) {
        names.push_back(archive.GetItem(child).name);
    }
    return names;
}

std::string ReadAll(const std::shared_ptr<const CZipArchive>& archive, std::size_t item,
                    std::size_t piece) {
    CZipEntryReader reader(archive, item);
    std::string content;
    std::string buffer(piece, '\0');
    while (!reader.IsFinished()) {
        content.append(buffer.data(), reader.Read(buffer.data(), piece));
    }
    return content;
}

// The first entry of the archive read to its end; the fault it meets, if any.
std::optional<ZipFault> FaultOfReading(const TTestEntry& entry) {
    try {
        const auto archive = OpenZip(TTestArchive{{entry}});
        ReadAll(archive, archive->GetItem(CZipArchive::RootFolder).children.at(0), 1000);
    } catch (const CZipException& fault) {
        return fault.GetFault();
    }
    return std::nullopt;
}

const std::string Text = "Orvandel update payload, repeated to be worth deflating. ";

// The Unicode path field: version 1, the CRC-32 of the stored name, then the UTF-8 name.
std::string UnicodePathField(const std::string& stored, const std::string& utf8) {
    const uLong storedCrc =
        crc32(0, reinterpret_cast<const Bytef*>(stored.data()), static_cast<uInt>(stored.size()));
    std::string field = {'u', 'p', static_cast<char>(5 + utf8.size()), 0, 1};
    for (int i = 0; i < 4; ++i) {
        field.push_back(static_cast<char>((storedCrc >> (8 * i)) & 0xFF));
    }
    return field + utf8;
}

} // namespace

TEST(ZipArchive, BuildsTheFolderTreeInDirectoryOrder) {
    const auto archive = OpenZip(TTestArchive{{{"setup.exe", "exe"},
                                               {"bin/", ""},
                                               {"docs/readme/a.txt", "a"},
                                               {"bin/app.dll", "dll"},
                                               {"docs/", ""},
                                               {"BIN/x.dll", "x"}}});
    EXPECT_EQ(ChildNames(*archive, CZipArchive::RootFolder),
              (std::vector<std::u16string>{u"setup.exe", u"bin", u"docs"}));
    const std::size_t bin = Find(*archive, {u"Bin"});
    EXPECT_TRUE(archive->GetItem(bin).isFolder);
    EXPECT_EQ(ChildNames(*archive, bin), (std::vector<std::u16string>{u"app.dll", u"x.dll"}));
    const std::size_t text = Find(*archive, {u"docs", u"README", u"a.txt"});
    EXPECT_FALSE(archive->GetItem(text).isFolder);
    EXPECT_EQ(archive->GetItem(text).size, 1u);
    EXPECT_EQ(archive->GetItem(Find(*archive, {u"SETUP.exe"})).size, 3u);
    EXPECT_FALSE(archive->FindChild(CZipArchive::RootFolder, u"app.dll"));
}

TEST(ZipArchive, RefusesDuplicatePathsWithoutCase) {
    const std::vector<std::vector<std::string>> duplicates = {{"a.txt", "A.TXT"},
                                                              {"dir/", "DIR/"},
                                                              {"x", "x/y"},
                                                              {"x/y", "X"},
                                                              {"d/f", "D/F"},
                                                              {"x", "X/"},
                                                              {"\xc3\x89.txt", "\xc3\xa9.TXT"},
                                                              {"a/b.txt", "./a\\b.txt"},
                                                              // The updater's own backup name.
                                                              {"a.dll", "a.dll.bak"},
                                                              {"d/A.DLL.BAK", "d/a.dll"}};
    for (const auto& names : duplicates) {
        TTestArchive archive;
        for (const std::string& name : names) {
            archive.entries.push_back({name, "", 0, 1u << 11});
        }
        EXPECT_EQ(FaultOfOpening(BuildZip(archive)), ZipFault::Damaged) << names[1];
    }
}

TEST(ZipArchive, RefusesUnsafeNames) {
    for (const std::string name : {"../evil.exe", "a/../../b",
                                   "/abs.exe",    "C:/x.exe",
                                   "C:x",         "a\\..\\b",
                                   "a//b",        "",
                                   "/",           "con",
                                   "dir/aux.txt", "LPT1/x",
                                   "name.",       "dir /x",
                                   "tab\tname",   "setup.exe:ads",
                                   "a?b/c.txt",   "lib/ORVA~X0K.DLL",
                                   "./../x",      "\\abs.exe"}) {
        EXPECT_EQ(FaultOfOpening(BuildZip({{{name, "x"}}})), ZipFault::Damaged) << name;
    }
    // A legal 40 KB name 20,000 folders deep, which would exhaust the stack of any recursive
    // walk that met it.
    std::string deep;
    for (int level = 0; level < 20000; ++level) {
        deep += "d/";
    }
    EXPECT_EQ(FaultOfOpening(BuildZip({{{"setup.exe", "x"}, {deep + "x.txt", "x"}}})),
              ZipFault::Damaged);
}

TEST(ZipArchive, DecodesNamesAsTheirWritersMeantThem) {
    constexpr std::uint8_t Unix = 3;
    constexpr std::uint8_t MacOs = 19;
    constexpr std::uint16_t Utf8 = 1u << 11;
    const std::string resume = "r\xc3\xa9sum\xc3\xa9.txt";
    const auto entry = [](std::string name, std::uint16_t flags, std::uint8_t host,
                          std::string extra = {}) {
        return TTestEntry{std::move(name), "", 0, flags, false, {}, {}, {}, std::move(extra), host};
    };
    const auto archive = OpenZip(TTestArchive{{
        entry("caf\x82.txt", 0, 0),
        entry("utf8-" + resume, Utf8, 0),
        // Info-ZIP's zip on Unix and macOS: UTF-8 without bit 11, unless the bytes cannot be.
        entry("unix-" + resume, 0, Unix),
        entry("mac-\xe6\x97\xa5.txt", 0, MacOs),
        entry("unix-caf\x82.txt", 0, Unix),
        entry("dos-\xc3\xa9.txt", 0, 0),
        // A matching Unicode path field wins over the stored name, whatever bit 11 says.
        entry("plain.txt", 0, 0, UnicodePathField("plain.txt", "field-" + resume)),
        entry("r?sum?.txt", Utf8, 0, UnicodePathField("r?sum?.txt", "flagged-" + resume)),
        entry("bad\xff.txt", Utf8, 0, UnicodePathField("bad\xff.txt", "repaired.txt")),
        entry("kept.txt", 0, 0, UnicodePathField("stale.txt", "other.txt")),
    }});
    EXPECT_EQ(ChildNames(*archive, CZipArchive::RootFolder),
              (std::vector<std::u16string>{
                  u"caf\u00e9.txt", u"utf8-r\u00e9sum\u00e9.txt", u"unix-r\u00e9sum\u00e9.txt",
                  u"mac-\u65e5.txt", u"unix-caf\u00e9.txt", u"dos-\u251c\u2310.txt",
                  u"field-r\u00e9sum\u00e9.txt", u"flagged-r\u00e9sum\u00e9.txt", u"repaired.txt",
                  u"kept.txt"}));
    EXPECT_EQ(FaultOfOpening(BuildZip({{entry("bad\xc3(.txt", Utf8, 0)}})), ZipFault::Damaged);
    EXPECT_EQ(FaultOfOpening(BuildZip({{entry(
                  "r?sum?.txt", 0, 0, UnicodePathField("resume.txt", "r\xc3\xa9sum\xc3\xa9"))}})),
              ZipFault::Damaged);
}

TEST(ZipArchive, ReadsTarStyleAndBackslashPathsAsOneTree) {
    const auto archive = OpenZip(TTestArchive{{{"./", ""},
                                               {"./setup.exe", "exe"},
                                               {"./lib/", ""},
                                               {"./lib/./x.dll", "x"},
                                               {"lib\\x86\\", ""},
                                               {"lib\\x86\\core.dll", "core"}}});
    EXPECT_EQ(ChildNames(*archive, CZipArchive::RootFolder),
              (std::vector<std::u16string>{u"setup.exe", u"lib"}));
    EXPECT_EQ(ChildNames(*archive, Find(*archive, {u"lib"})),
              (std::vector<std::u16string>{u"x.dll", u"x86"}));
    EXPECT_TRUE(archive->GetItem(Find(*archive, {u"lib", u"x86"})).hasEntry);
    EXPECT_EQ(ReadAll(archive, Find(*archive, {u"lib", u"x86", u"core.dll"}), 100), "core");
}

TEST(ZipArchive, ReadsZip64FieldsAndEndRecord) {
    TTestArchive zip64;
    zip64.entries = {{"first.bin", Text, 8, 0, true}, {"second.bin", Text + Text, 0, 0, true}};
    zip64.zip64End = true;
    const auto archive = OpenZip(zip64);
    const std::size_t second = Find(*archive, {u"second.bin"});
    EXPECT_EQ(archive->GetItem(second).size, 2 * Text.size());
    EXPECT_GT(archive->GetItem(second).localHeaderOffset, 0u);
    EXPECT_EQ(ReadAll(archive, second, 7), Text + Text);
    EXPECT_EQ(ReadAll(archive, Find(*archive, {u"first.bin"}), 4096), Text);

    // A saturated field without its Zip64 value cannot be read.
    std::string missing = BuildZip(zip64);
    const std::size_t field =
        missing.find(std::string("\x01\x00\x18\x00", 4), missing.find("PK\x01\x02"));
    missing[field] = '\x09';
    EXPECT_EQ(FaultOfOpening(missing), ZipFault::Damaged);
}

TEST(ZipArchive, FindsTheEndRecordAndRefusesABrokenDirectory) {
    TTestArchive commented{{{"a.txt", "a"}}};
    commented.comment = "PK\x05\x06 looks like an end record but lies in the comment";
    EXPECT_EQ(ChildNames(*OpenZip(commented), CZipArchive::RootFolder),
              std::vector<std::u16string>{u"a.txt"});
    EXPECT_TRUE(OpenZip(TTestArchive{})->GetItem(CZipArchive::RootFolder).children.empty());

    const std::string good = BuildZip({{{"a.txt", "a"}, {"b.txt", "b"}}});
    const std::size_t end = good.rfind("PK\x05\x06");
    EXPECT_EQ(FaultOfOpening(good.substr(0, good.size() - 1)), ZipFault::Damaged);
    EXPECT_EQ(FaultOfOpening("PK\x03\x04 not an archive at all"), ZipFault::Damaged);
    std::string wrongCount = good;
    wrongCount[end + 10] = 3;
    wrongCount[end + 8] = 3;
    EXPECT_EQ(FaultOfOpening(wrongCount), ZipFault::Damaged);
    std::string pastTheEnd = good;
    pastTheEnd[end + 18] = 1;
    EXPECT_EQ(FaultOfOpening(pastTheEnd), ZipFault::Damaged);
    std::string otherDisk = good;
    otherDisk[end + 4] = 1;
    EXPECT_EQ(FaultOfOpening(otherDisk), ZipFault::Damaged);
    std::string runsIntoDirectory = good;
    runsIntoDirectory[good.rfind("PK\x01\x02") + 21] = 1; // compressed size + 256
    EXPECT_EQ(FaultOfOpening(runsIntoDirectory), ZipFault::Damaged);
}

TEST(ZipArchive, CountsEntriesPastTheSixteenBitField) {
    TTestArchive many;
    for (int i = 0; i < 65537; ++i) {
        many.entries.push_back({std::to_string(i), ""});
    }
    const auto archive = OpenZip(many);
    EXPECT_EQ(archive->GetItem(CZipArchive::RootFolder).children.size(), 65537u);
    EXPECT_EQ(archive->GetItem(Find(*archive, {u"65536"})).name, u"65536");
}

TEST(ZipEntryReader, ReadsStoredAndDeflatedDataInAnyPieces) {
    std::string large;
    for (int i = 0; large.size() < 3 * 1024 * 1024; ++i) {
        large += Text + std::to_string(i * 7919);
    }
    const auto archive = OpenZip(TTestArchive{{{"stored.txt", Text},
                                               {"deflated.txt", large, 8},
                                               {"descriptor.txt", Text, 8, 8},
                                               {"empty.txt", "", 8},
                                               {"stored-descriptor.txt", Text, 0, 8}}});
    for (const std::size_t piece :
         {std::size_t(1), std::size_t(3), std::size_t(65536), std::size_t(10 * 1024 * 1024)}) {
        EXPECT_EQ(ReadAll(archive, Find(*archive, {u"stored.txt"}), piece), Text);
        EXPECT_EQ(ReadAll(archive, Find(*archive, {u"descriptor.txt"}), piece), Text);
        EXPECT_EQ(ReadAll(archive, Find(*archive, {u"stored-descriptor.txt"}), piece), Text);
        EXPECT_EQ(ReadAll(archive, Find(*archive, {u"empty.txt"}), piece), "");
    }
    EXPECT_EQ(ReadAll(archive, Find(*archive, {u"deflated.txt"}), 10 * 1024 * 1024), large);
    EXPECT_EQ(ReadAll(archive, Find(*archive, {u"deflated.txt"}), 4093), large);
}

TEST(ZipEntryReader, FailsTheReadThatMeetsDamagedData) {
    const std::string deflated = Deflate(Text + Text);
    const std::uint32_t prefixCrc = static_cast<std::uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(Text.data()), static_cast<uInt>(Text.size() - 1)));
    EXPECT_FALSE(FaultOfReading({"ok", Text, 8}));
    const std::vector<TTestEntry> damaged = {
        {"crc", Text, 8, 0, false, 0x12345678},
        {"crc-stored", Text, 0, 0, false, 0x12345678},
        // Declared size and CRC-32 describe a prefix; only the surplus betrays the entry.
        {"longer-than-declared", Text, 8, 0, false, prefixCrc, Text.size() - 1},
        {"shorter-than-declared", Text, 8, 0, false, {}, Text.size() + 1},
        {"cut-short", Text + Text, 8, 0, false, {}, {}, deflated.substr(0, deflated.size() / 2)},
        {"garbage", Text, 8, 0, false, {}, {}, std::string(40, '\xff')},
        {"stored-sizes-differ", Text, 0, 0, false, {}, Text.size() + 1}};
    for (const TTestEntry& entry : damaged) {
        EXPECT_EQ(FaultOfReading(entry), ZipFault::Damaged) << entry.name;
    }
}

TEST(ZipEntryReader, RefusesEncryptedAndUnknownEntriesAtOpen) {
    EXPECT_EQ(FaultOfReading({"encrypted", Text, 8, 1}), ZipFault::Unsupported);
    EXPECT_EQ(FaultOfReading({"bzip2", Text, 12}), ZipFault::Unsupported);
}

namespace {

// Offsets of the central directory's entries, in its order.
std::vector<std::size_t> CentralEntries(const std::string& zip) {
    std::vector<std::size_t> entries;
    for (std::size_t at = zip.find("PK\x01\x02"); at != std::string::npos;
         at = zip.find("PK\x01\x02", at + 1)) {
        entries.push_back(at);
    }
    return entries;
}

void PatchLocalHeaderOffset(std::string& zip, std::size_t centralEntry, std::uint32_t offset) {
    for (int i = 0; i < 4; ++i) {
        zip[centralEntry + 42 + i] = static_cast<char>((offset >> (8 * i)) & 0xFF);
    }
}

} // namespace

TEST(ZipArchive, RefusesEntriesThatShareBytesOrMisnameTheirLocalHeader) {
    // The non-recursive zip bomb: every entry inflates the one kernel.
    TTestArchive bomb{{{"setup.exe", "exe"}}};
    for (const char* name : {"b000.bin", "b001.bin", "b002.bin"}) {
        bomb.entries.push_back({name, std::string(100000, 'z'), 8});
    }
    std::string shared = BuildZip(bomb);
    const std::vector<std::size_t> central = CentralEntries(shared);
    const std::uint32_t kernel = static_cast<std::uint32_t>(shared.find("PK\x03\x04", 1));
    PatchLocalHeaderOffset(shared, central[2], kernel);
    PatchLocalHeaderOffset(shared, central[3], kernel);
    EXPECT_EQ(FaultOfOpening(shared), ZipFault::Damaged);

    // An entry whose genuine local header lies inside another entry's stored data: a file, an
    // empty file and a folder claim bytes too.
    for (const TTestEntry& inner :
         {TTestEntry{"b.txt", Text}, TTestEntry{"b.txt", ""}, TTestEntry{"b/", ""}}) {
        const std::string innerZip = BuildZip({{inner}});
        const std::string innerLocal = innerZip.substr(0, innerZip.find("PK\x01\x02"));
        std::string nested = BuildZip({{{"a.txt", Text + innerLocal + Text}, inner}});
        PatchLocalHeaderOffset(nested, CentralEntries(nested)[1],
                               static_cast<std::uint32_t>(30 + 5 + Text.size()));
        EXPECT_EQ(FaultOfOpening(nested), ZipFault::Damaged) << inner.name;
    }

    // A header that starts inside the one before and ends before it, with a shorter name: the
    // first is still read whole, and the second refused.
    std::string inside = BuildZip({{{"a/b/c.txt", Text}, {"d.txt", Text}}});
    PatchLocalHeaderOffset(inside, CentralEntries(inside)[1], 2);
    EXPECT_EQ(ReasonOfOpening(inside), "entries overlap");

    const std::string good = BuildZip({{{"a.txt", Text}}});
    const std::size_t directory = good.find("PK\x01\x02");
    const std::vector<std::pair<std::size_t, char>> patches = {
        {0, 'X'},                // local signature
        {26, 4},                 // local name length
        {30, 'b'},               // local name, one byte other, same length
        {29, '\x01'},            // the extra field pushes the data into the directory
        {directory + 20, 0x7F}}; // compressed size reaches into the directory
    for (const auto& [at, value] : patches) {
        std::string patched = good;
        patched[at] = value;
        EXPECT_EQ(FaultOfOpening(patched), ZipFault::Damaged) << at;
    }
}

namespace {

void ReadEveryFile(const std::shared_ptr<const CZipArchive>& archive, std::size_t folder) {
    for (const std::size_t child : archive->GetItem(folder).children) {
        if (archive->GetItem(child).isFolder) {
            ReadEveryFile(archive, child);
        } else {
            ReadAll(archive, child, 7);
        }
    }
}

} // namespace

// A refusal of one entry names it by its path in the archive, wherever the reader met it: in
// the directory, among the local headers or in the data; one of the archive as a whole names
// none.
TEST(ZipArchive, EachRefusalNamesItsEntry) {
    const std::string good = BuildZip({{{"setup.exe", "MZ"}, {"plugins/x.dll", Text}}});
    std::string cutDirectory = good;
    cutDirectory[cutDirectory.rfind("PK\x05\x06") + 12] -= 10; // the directory's size
    std::string misnamed = good;
    misnamed[misnamed.find("plugins/x.dll")] = 'P';
    std::string overlapping = BuildZip({{{"a/b/c.txt", Text}, {"d.txt", Text}}});
    PatchLocalHeaderOffset(overlapping, CentralEntries(overlapping)[1], 2);

    const struct {
        std::string zip;
        std::string expected;
    } cases[] = {
        {BuildZip({{{"plugins/x.dll", Text, 8, 0, false, 0x12345678}}}),
         "plugins/x.dll: CRC-32 mismatch"},
        {BuildZip({{{"data/b.bin", Text, 12}}}), "data/b.bin: unknown compression method"},
        {BuildZip({{{"a.txt", "1"}, {"A.TXT", "2"}}}),
         "A.TXT: the same name as a.txt, as Windows compares names (ignoring case)"},
        {BuildZip({{{"../evil.dll", "x"}}}),
         "../evil.dll: a name that stands for a folder itself or its parent (. or ..)"},
        {BuildZip({{{"\xff.txt", "x", 0, 0x800}}}), "\xc2\xa0.txt: name is not valid UTF-8"},
        {overlapping, "d.txt: entries overlap"},
        {misnamed, "plugins/x.dll: local header names another entry"},
        {cutDirectory, "central directory cut short"},
        {good.substr(0, good.size() / 2), "no end of central directory record"},
    };
    for (const auto& entry : cases) {
        std::string described = "accepted";
        try {
            ReadEveryFile(OpenZip(entry.zip), CZipArchive::RootFolder);
        } catch (const CZipException& fault) {
            described = fault.Describe();
        }
        EXPECT_EQ(described, entry.expected);
    }
}
