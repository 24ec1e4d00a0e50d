#include "release/ArchiveNames.h"

namespace {

constexpr std::string_view Prefix = "orvandel-";
constexpr std::string_view Suffix = ".zip";
constexpr std::string_view BaseMark = "-from-";

} // namespace

std::string FormatArchiveName(const TArchiveName& name) {
    std::string text(Prefix);
    text += FormatReleaseVersion(name.version);
    if (name.base) {
        text += BaseMark;
        text += FormatReleaseVersion(*name.base);
    }
    text += Suffix;
    return text;
}

bool IsPublishedArchiveName(std::string_view name) {
    return name.size() > Prefix.size() + Suffix.size() && name.starts_with(Prefix) &&
           name.ends_with(Suffix);
}

std::optional<TArchiveName> ParseArchiveName(std::string_view name) {
    if (!IsPublishedArchiveName(name)) {
        return std::nullopt;
    }
    std::string_view versions =
        name.substr(Prefix.size(), name.size() - Prefix.size() - Suffix.size());
    const std::size_t mark = versions.find(BaseMark);
    TArchiveName parsed;
    const std::optional<TReleaseVersion> version = ParseReleaseVersion(versions.substr(0, mark));
    if (!version) {
        return std::nullopt;
    }
    parsed.version = *version;
    if (mark != std::string_view::npos) {
        parsed.base = ParseReleaseVersion(versions.substr(mark + BaseMark.size()));
        if (!parsed.base) {
            return std::nullopt;
        }
    }
    return parsed;
}
