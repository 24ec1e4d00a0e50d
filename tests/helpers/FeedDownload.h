#pragma once

#include <optional>
#include <string>
#include <vector>

// The application's download step, as a vendor's application would take it: read the feed,
// choose with the installed release description, download the archive, and check its size and
// SHA-256 against the feed before anything starts the updater. A folder stands in for the
// download server.
//
// update.feed beside the program, four lines: the server folder (holding releases.txt and the
// archives), the updater, the application's mutex, the folder to download into. Every decision
// is appended to download.log beside the program.
//
// An update that fails leaves the application at its old version, and the updater starts it
// again: update.tried remembers the feed line of the archive last handed over, so that a
// partial update that failed is followed by the full one, once, and a full one that failed is
// not offered again.

// The five fields of the updater's request for the archive downloaded and checked, or nothing
// when there is nothing to install or the download is refused.
std::optional<std::vector<std::wstring>> DownloadUpdate(const std::wstring& programFolder,
                                                        const std::vector<std::wstring>& settings);
