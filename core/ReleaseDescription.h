#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// An update may describe the release it brings in a text file at the top of its archive. The
// file is installed like any other, so the application directory always holds the description
// of the version it has. This is the format's only definition: the updater reads it here, and
// the release tool reads and writes it here.
//
//   orvandel-release 1
//   version 2.1
//   base 2.0
//   file Orvandel.exe
//   file plugins/en/strings.txt
//
// UTF-8, a BOM at the start skipped. Lines end in LF (a CR before it is dropped), the last may
// lack it, and no line is empty. Key and value are separated by one blank. The format line, the
// version, an optional base (the update is partial, made for that version only), then one file
// line for every file of the version that the update brings, in a partial update the unchanged
// ones too, and never the description itself.
//
// Format 2 adds, after the file lines of a partial update, one line for each file that the
// archive holds as a patch against the base version's file rather than whole:
//
//   orvandel-release 2
//   ...
//   patch Orvandel.exe FROM TO SIZE
//
// FROM and TO the SHA-256, in lower-case hex, of the base's file and of the file the patch makes,
// SIZE the made file's size in decimal bytes. A name may hold blanks, so the three values are
// the line's last three fields. A description without patch lines is written as format 1, which
// every updater reads; format 2 without them is read too, as the same description.

// Its name at the top of an archive and in the application directory, compared without case.
constexpr std::u16string_view ReleaseDescriptionName = u"orvandel-release.txt";
constexpr std::size_t LargestReleaseDescription = 16 * 1024 * 1024;
// What every reader says of a description over that size: "larger than 16 MiB".
std::string DescribeOversizedDescription();

// One to four decimal parts of 0 to 65535. Versions compare part by part with missing parts as
// 0, so 2.1 equals 2.1.0.0; the parts written are kept only to print the version as written.
struct TReleaseVersion {
    std::array<std::uint16_t, 4> parts{};
    std::size_t written = 1;

    friend std::strong_ordering operator<=>(const TReleaseVersion& left,
                                            const TReleaseVersion& right) {
        return left.parts <=> right.parts;
    }
    friend bool operator==(const TReleaseVersion& left, const TReleaseVersion& right) {
        return left.parts == right.parts;
    }
};

// How a version is written, for the fault that names one that is not.
constexpr std::string_view VersionSpelling = "one to four parts of 0 to 65535, such as 2.1";

// No sign, no blank, no leading zero but a lone 0.
std::optional<TReleaseVersion> ParseReleaseVersion(std::string_view text);
std::string FormatReleaseVersion(const TReleaseVersion& version);

using TSha256 = std::array<std::uint8_t, 32>;

// A listed file that the archive holds as a patch against the base version's file of the name.
struct TFilePatch {
    std::u16string name;
    TSha256 from{}; // the base version's file
    TSha256 to{};   // the file the patch makes
    std::uint64_t size = 0;

    bool operator==(const TFilePatch&) const = default;
};

struct TReleaseDescription {
    TReleaseVersion version;
    std::optional<TReleaseVersion> base; // present: a partial update
    // Every file of the version, in the order listed: paths as the archive's names are
    // screened, with '/' between components.
    std::vector<std::u16string> files;
    // Only in a partial update: the listed files that come as patches, in the order listed.
    std::vector<TFilePatch> patches;

    bool operator==(const TReleaseDescription&) const = default;
};

// The description, or the first fault that makes it none, naming its line.
struct TReleaseParse {
    std::optional<TReleaseDescription> description;
    std::string fault;
};

TReleaseParse ParseReleaseDescription(std::string_view text);
// What ParseReleaseDescription reads back as the same description, LF line ends, no BOM.
std::string FormatReleaseDescription(const TReleaseDescription& description);

// A path of the archive's top level that names the description.
bool IsReleaseDescriptionName(std::u16string_view path);

// An archive's files against its description, which must list each of them but itself; a full
// update must also hold every file it lists, since nothing else can bring it, and any update
// every file it has a patch for. Names compare without case, as Windows compares them.
class CReleaseListing {
public:
    // The description outlives the listing.
    explicit CReleaseListing(const TReleaseDescription& description);
    CReleaseListing(const CReleaseListing&) = delete;
    CReleaseListing& operator=(const CReleaseListing&) = delete;
    virtual ~CReleaseListing() = default;

    // A file of the archive, at its screened path.
    void Claim(std::u16string_view path);
    // Once every file is claimed: the first fault, or nothing.
    std::optional<std::string> GetFault() const;
    // The patch that the archive's file at the path is, or nothing where it is the file whole.
    const TFilePatch* FindPatch(std::u16string_view path) const;

private:
    const TReleaseDescription& m_description;
    // Each listed name, folded, with its place in the list.
    std::unordered_map<std::u16string, std::size_t> m_places;
    // Each patched name, folded, with its place among the patches.
    std::unordered_map<std::u16string, std::size_t> m_patches;
    std::vector<bool> m_claimed;
    std::optional<std::u16string> m_unlisted;
};

// The files that the installed version lists and the update's does not, compared without case,
// in the installed description's order: the files that installing the update removes.
std::vector<std::u16string> ListDroppedFiles(const TReleaseDescription& installed,
                                             const TReleaseDescription& update);
