#pragma once

#include "core/ReleaseDescription.h"

#include <optional>
#include <string>
#include <string_view>

// The names that publish gives the archives of a release folder: orvandel-V.zip for the full
// update of version V, orvandel-V-from-U.zip for its partial update made for version U.
struct TArchiveName {
    TReleaseVersion version;
    std::optional<TReleaseVersion> base;
};

std::string FormatArchiveName(const TArchiveName& name);

// A file name that publish takes for one of its own, whether or not it is one: orvandel-*.zip.
bool IsPublishedArchiveName(std::string_view name);

// The versions the name says, only where it is spelt exactly as FormatArchiveName spells them.
std::optional<TArchiveName> ParseArchiveName(std::string_view name);
