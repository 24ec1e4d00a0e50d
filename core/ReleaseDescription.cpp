#include "core/ReleaseDescription.h"

#include "core/CaseFolding.h"
#include "core/Hex.h"
#include "core/NameDecoding.h"
#include "core/NameScreen.h"
#include "core/TextLines.h"

#include <charconv>
#include <unordered_map>
#include <unordered_set>

namespace {

constexpr std::string_view FormatKey = "orvandel-release";
constexpr std::string_view FormatLine = "orvandel-release 1";
// The format of a description with patch lines.
constexpr std::string_view PatchFormatLine = "orvandel-release 2";
constexpr std::string_view VersionKey = "version";
constexpr std::string_view BaseKey = "base";
constexpr std::string_view FileKey = "file";
constexpr std::string_view PatchKey = "patch";
constexpr std::size_t LargestPart = 65535;
constexpr std::size_t MostParts = 4;

using ::Quoted;

std::string Quoted(std::u16string_view path) {
    return Quoted(EncodeUtf8(path));
}

// What the lines have given so far; each key may only follow the one before it.
enum class TReached { Format, Version, Base, Files, Patches };

class CDescriptionParser : public CLineParser {
public:
    TReleaseParse Parse(std::string_view text) {
        if (text.size() > LargestReleaseDescription) {
            return Fault(DescribeOversizedDescription());
        }
        if (!TakeLines(text)) {
            return Fault(GetFault());
        }
        if (m_reached == TReached::Format) {
            return Fault(GetLineNumber() == 0 ? "empty" : "no version line");
        }
        if (m_reached != TReached::Files && m_reached != TReached::Patches) {
            return Fault("lists no file");
        }
        return {std::move(m_description), {}};
    }

private:
    TReleaseParse Fault(const std::string& what) { return {std::nullopt, what}; }

    bool TakeLine(std::string_view line) override {
        if (GetLineNumber() == 1) {
            if (line == FormatLine) {
                return true;
            }
            if (line == PatchFormatLine) {
                m_takesPatches = true;
                return true;
            }
            return RefuseFormatLine(line, FormatKey, "a release description");
        }
        const std::size_t blank = line.find(' ');
        if (blank == std::string_view::npos) {
            return Refuse("no blank between key and value");
        }
        const std::string_view key = line.substr(0, blank);
        const std::string_view value = line.substr(blank + 1);
        if (key == VersionKey) {
            return m_reached == TReached::Format
                       ? TakeVersion(value, m_description.version) && Reach(TReached::Version)
                       : Refuse("a second version");
        }
        if (key == BaseKey) {
            if (m_reached != TReached::Version) {
                return Refuse(m_reached == TReached::Format ? "base before the version"
                                                            : "base must follow the version");
            }
            m_description.base.emplace();
            return TakeVersion(value, *m_description.base) && TakeBase(*m_description.base) &&
                   Reach(TReached::Base);
        }
        if (key == FileKey) {
            if (m_reached == TReached::Patches) {
                return Refuse("file after the patch lines");
            }
            return m_reached == TReached::Format ? Refuse("file before the version")
                                                 : TakeFile(value) && Reach(TReached::Files);
        }
        if (key == PatchKey && m_takesPatches) {
            return TakePatch(value) && Reach(TReached::Patches);
        }
        return Refuse("unknown key " + Quoted(key));
    }

    bool Reach(TReached reached) {
        m_reached = reached;
        return true;
    }

    // No installed version can be both the base and above the version that replaces it.
    bool TakeBase(const TReleaseVersion& base) {
        if (m_description.version < base) {
            return Refuse("version " + FormatReleaseVersion(m_description.version) +
                          " is below its base " + FormatReleaseVersion(base) +
                          ", so no installed version can take it");
        }
        return true;
    }

    // A file's name as an archive's would be screened; false, refused, for one that names none.
    bool TakeName(std::string_view text, std::u16string& path) {
        const std::optional<std::u16string> name = DecodeUtf8(text);
        if (!name) {
            return Refuse("the name is not valid UTF-8");
        }
        TScreenedPath screened = ScreenEntryName(*name);
        if (screened.fault != TNameFault::None) {
            return Refuse(Quoted(*name) +
                          " is a name the updater refuses: " + DescribeRefusal(screened, *name));
        }
        path = std::move(screened.path);
        if (path.empty() || path.back() == u'/') {
            return Refuse(Quoted(*name) + " names no file");
        }
        return true;
    }

    bool TakeFile(std::string_view text) {
        std::u16string path;
        if (!TakeName(text, path)) {
            return false;
        }
        if (IsReleaseDescriptionName(path)) {
            return Refuse("lists the description itself");
        }
        if (const auto [earlier, isNew] = m_folded.try_emplace(FoldCase(path), path); !isNew) {
            return Refuse(Quoted(path) + " is listed twice" +
                          (earlier->second == path ? std::string()
                                                   : ": " + Quoted(earlier->second) +
                                                         " before it is the same name to Windows"));
        }
        m_description.files.push_back(std::move(path));
        return true;
    }

    bool TakePatch(std::string_view text) {
        if (m_reached != TReached::Files && m_reached != TReached::Patches) {
            return Refuse("patch before the file lines");
        }
        if (!m_description.base) {
            return Refuse("a patch line in a full update, which has no base to patch");
        }
        // The name may hold blanks; the three values cannot.
        std::array<std::string_view, 3> values;
        for (std::size_t at = values.size(); at-- > 0;) {
            const std::size_t blank = text.rfind(' ');
            if (blank == std::string_view::npos) {
                return Refuse("a patch line is \"patch NAME FROM TO SIZE\"");
            }
            values[at] = text.substr(blank + 1);
            text = text.substr(0, blank);
        }
        TFilePatch patch;
        if (!TakeName(text, patch.name)) {
            return false;
        }
        const std::u16string folded = FoldCase(patch.name);
        const auto listed = m_folded.find(folded);
        if (listed == m_folded.end()) {
            return Refuse("a patch for " + Quoted(patch.name) + ", which is not listed");
        }
        if (!m_patched.insert(folded).second) {
            return Refuse(Quoted(patch.name) + " has a second patch line");
        }
        // One spelling of the name, the file line's.
        patch.name = listed->second;
        if (!TakeSha256(values[0], patch.from) || !TakeSha256(values[1], patch.to)) {
            return false;
        }
        const std::string_view size = values[2];
        const std::optional<std::uint64_t> parsed = ParseDecimalSize(size);
        if (!parsed) {
            return Refuse(Quoted(size) + " is no size: decimal bytes, such as 1534976");
        }
        patch.size = *parsed;
        m_description.patches.push_back(std::move(patch));
        return true;
    }

    TReleaseDescription m_description;
    TReached m_reached = TReached::Format;
    bool m_takesPatches = false; // format 2
    // Each listed name, folded, with the name as listed.
    std::unordered_map<std::u16string, std::u16string> m_folded;
    // Each name with a patch line, folded.
    std::unordered_set<std::u16string> m_patched;
};

} // namespace

std::optional<TReleaseVersion> ParseReleaseVersion(std::string_view text) {
    TReleaseVersion version;
    version.written = 0;
    for (;;) {
        const std::size_t dot = text.find('.');
        const std::string_view part = text.substr(0, dot);
        // from_chars alone would take a sign or a run of leading zeros.
        if (part.empty() || part.size() > 5 || (part.size() > 1 && part[0] == '0') ||
            part.find_first_not_of("0123456789") != std::string_view::npos ||
            version.written == MostParts) {
            return std::nullopt;
        }
        std::size_t value = 0;
        std::from_chars(part.data(), part.data() + part.size(), value);
        if (value > LargestPart) {
            return std::nullopt;
        }
        version.parts[version.written++] = static_cast<std::uint16_t>(value);
        if (dot == std::string_view::npos) {
            return version;
        }
        text.remove_prefix(dot + 1);
    }
}

std::string FormatReleaseVersion(const TReleaseVersion& version) {
    std::string text;
    for (std::size_t at = 0; at < version.written; ++at) {
        if (at != 0) {
            text += '.';
        }
        text += std::to_string(version.parts[at]);
    }
    return text;
}

std::string DescribeOversizedDescription() {
    // Appended piece by piece: GCC 12 takes a literal + std::string here for an overlapping copy.
    std::string text = "larger than ";
    text += std::to_string(LargestReleaseDescription / (1024 * 1024));
    text += " MiB";
    return text;
}

TReleaseParse ParseReleaseDescription(std::string_view text) {
    return CDescriptionParser().Parse(text);
}

std::string FormatReleaseDescription(const TReleaseDescription& description) {
    std::string text =
        std::string(description.patches.empty() ? FormatLine : PatchFormatLine) + '\n';
    text += std::string(VersionKey) + ' ' + FormatReleaseVersion(description.version) + '\n';
    if (description.base) {
        text += std::string(BaseKey) + ' ' + FormatReleaseVersion(*description.base) + '\n';
    }
    for (const std::u16string& file : description.files) {
        text += std::string(FileKey) + ' ' + EncodeUtf8(file) + '\n';
    }
    for (const TFilePatch& patch : description.patches) {
        text += std::string(PatchKey) + ' ' + EncodeUtf8(patch.name) + ' ' + FormatHex(patch.from) +
                ' ' + FormatHex(patch.to) + ' ' + std::to_string(patch.size) + '\n';
    }
    return text;
}

bool IsReleaseDescriptionName(std::u16string_view path) {
    return FoldCase(path) == FoldCase(ReleaseDescriptionName);
}

CReleaseListing::CReleaseListing(const TReleaseDescription& description)
    : m_description(description), m_claimed(description.files.size()) {
    m_places.reserve(description.files.size());
    for (std::size_t at = 0; at < description.files.size(); ++at) {
        m_places.emplace(FoldCase(description.files[at]), at);
    }
    m_patches.reserve(description.patches.size());
    for (std::size_t at = 0; at < description.patches.size(); ++at) {
        m_patches.emplace(FoldCase(description.patches[at].name), at);
    }
}

void CReleaseListing::Claim(std::u16string_view path) {
    if (IsReleaseDescriptionName(path)) {
        return;
    }
    if (const auto listed = m_places.find(FoldCase(path)); listed != m_places.end()) {
        m_claimed[listed->second] = true;
    } else if (!m_unlisted) {
        m_unlisted = std::u16string(path);
    }
}

std::optional<std::string> CReleaseListing::GetFault() const {
    if (m_unlisted) {
        return "the archive holds " + Quoted(*m_unlisted) + ", which the release description " +
               "does not list";
    }
    for (const TFilePatch& patch : m_description.patches) {
        const auto listed = m_places.find(FoldCase(patch.name));
        if (listed == m_places.end()) {
            return "the release description has a patch for " + Quoted(patch.name) +
                   ", which it does not list";
        }
        if (!m_claimed[listed->second]) {
            return "the release description has a patch for " + Quoted(patch.name) +
                   ", which the archive does not hold";
        }
    }
    if (m_description.base) {
        return std::nullopt;
    }
    for (std::size_t at = 0; at < m_claimed.size(); ++at) {
        if (!m_claimed[at]) {
            return "the release description lists " + Quoted(m_description.files[at]) +
                   ", which this full update does not hold";
        }
    }
    return std::nullopt;
}

const TFilePatch* CReleaseListing::FindPatch(std::u16string_view path) const {
    const auto patched = m_patches.find(FoldCase(path));
    return patched == m_patches.end() ? nullptr : &m_description.patches[patched->second];
}

std::vector<std::u16string> ListDroppedFiles(const TReleaseDescription& installed,
                                             const TReleaseDescription& update) {
    std::unordered_set<std::u16string> kept;
    kept.reserve(update.files.size());
    for (const std::u16string& file : update.files) {
        kept.insert(FoldCase(file));
    }
    std::vector<std::u16string> dropped;
    for (const std::u16string& file : installed.files) {
        if (!kept.contains(FoldCase(file))) {
            dropped.push_back(file);
        }
    }
    return dropped;
}
