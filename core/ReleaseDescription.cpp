#include "core/ReleaseDescription.h"

#include "core/CaseFolding.h"
#include "core/NameDecoding.h"
#include "core/NameScreen.h"
#include "core/TextLines.h"

#include <charconv>
#include <unordered_map>
#include <unordered_set>

namespace {

constexpr std::string_view FormatLine = "orvandel-release 1";
constexpr std::string_view FormatKey = "orvandel-release";
constexpr std::string_view VersionKey = "version";
constexpr std::string_view BaseKey = "base";
constexpr std::string_view FileKey = "file";
constexpr std::size_t LargestPart = 65535;
constexpr std::size_t MostParts = 4;

using ::Quoted;

std::string Quoted(std::u16string_view path) {
    return Quoted(EncodeUtf8(path));
}

// What the lines have given so far; each key may only follow the one before it.
enum class TReached { Format, Version, Base, Files };

class CDescriptionParser {
public:
    TReleaseParse Parse(std::string_view text) {
        if (text.size() > LargestReleaseDescription) {
            return Fault(DescribeOversizedDescription());
        }
        CTextLines lines(text);
        for (std::string_view line; lines.Next(line);) {
            m_line = lines.GetNumber();
            if (!TakeLine(line)) {
                return {std::nullopt, m_fault};
            }
        }
        if (m_reached == TReached::Format) {
            return Fault(m_line == 0 ? "empty" : "no version line");
        }
        if (m_reached != TReached::Files) {
            return Fault("lists no file");
        }
        return {std::move(m_description), {}};
    }

private:
    TReleaseParse Fault(const std::string& what) { return {std::nullopt, what}; }

    bool Refuse(const std::string& what) {
        m_fault = "line " + std::to_string(m_line) + ": " + what;
        return false;
    }

    bool TakeLine(std::string_view line) {
        if (line.empty()) {
            return Refuse("empty");
        }
        if (m_line == 1) {
            if (line == FormatLine) {
                return true;
            }
            return Refuse(line.starts_with(std::string(FormatKey) + ' ')
                              ? "a format this updater does not know"
                              : "not a release description");
        }
        const std::size_t blank = line.find(' ');
        if (blank == std::string_view::npos) {
            return Refuse("no blank between key and value");
        }
        const std::string_view key = line.substr(0, blank);
        const std::string_view value = line.substr(blank + 1);
        if (key == VersionKey) {
            return m_reached == TReached::Format ? TakeVersion(value, m_description.version)
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
            return m_reached == TReached::Format ? Refuse("file before the version")
                                                 : TakeFile(value) && Reach(TReached::Files);
        }
        return Refuse("unknown key " + Quoted(key));
    }

    bool Reach(TReached reached) {
        m_reached = reached;
        return true;
    }

    bool TakeVersion(std::string_view text, TReleaseVersion& version) {
        const std::optional<TReleaseVersion> parsed = ParseReleaseVersion(text);
        if (!parsed) {
            return Refuse(Quoted(text) +
                          " is no version: one to four parts of 0 to 65535, such as 2.1");
        }
        version = *parsed;
        if (m_reached == TReached::Format) {
            m_reached = TReached::Version;
        }
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

    bool TakeFile(std::string_view text) {
        const std::optional<std::u16string> name = DecodeUtf8(text);
        if (!name) {
            return Refuse("the name is not valid UTF-8");
        }
        TScreenedPath screened = ScreenEntryName(*name);
        if (screened.fault != TNameFault::None) {
            return Refuse(Quoted(*name) +
                          " is a name the updater refuses: " + DescribeRefusal(screened, *name));
        }
        std::u16string& path = screened.path;
        if (path.empty() || path.back() == u'/') {
            return Refuse(Quoted(*name) + " names no file");
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

    TReleaseDescription m_description;
    TReached m_reached = TReached::Format;
    std::size_t m_line = 0;
    std::string m_fault;
    // Each listed name, folded, with the name as listed.
    std::unordered_map<std::u16string, std::u16string> m_folded;
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
    std::string text = std::string(FormatLine) + '\n';
    text += std::string(VersionKey) + ' ' + FormatReleaseVersion(description.version) + '\n';
    if (description.base) {
        text += std::string(BaseKey) + ' ' + FormatReleaseVersion(*description.base) + '\n';
    }
    for (const std::u16string& file : description.files) {
        text += std::string(FileKey) + ' ' + EncodeUtf8(file) + '\n';
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
