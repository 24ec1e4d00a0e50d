#pragma once

#include "common/Handle.h"

#include <cstdint>
#include <string>
#include <string_view>

// The account of each run, for whoever has to find out why an update failed: the updater shows
// one fixed sentence and has no window. One UTF-8 line per event, each with its local time, all
// appended to one file. When the file has passed its size limit, the next run starts a new one
// and keeps the previous under the same name with ".1" appended. The log never fails or holds
// up an update: a log that cannot be opened or written stays silent.
class CRunLog {
public:
    static constexpr std::uint64_t SizeLimit = 1024 * 1024;

    explicit CRunLog(const std::wstring& path, std::uint64_t sizeLimit = SizeLimit) noexcept;
    CRunLog(const CRunLog&) = delete;
    CRunLog& operator=(const CRunLog&) = delete;
    virtual ~CRunLog() = default;

    // "Orvandel Updater.log" in the user's temporary folder; empty when there is none.
    static std::wstring GetDefaultPath() noexcept;

    void Write(std::wstring_view text) noexcept;

    // Writes the line that compose makes; if making it throws, as for want of memory, nothing.
    template <class Compose> void WriteComposed(Compose&& compose) noexcept {
        try {
            Write(std::wstring_view(compose()));
        } catch (...) {
        }
    }

private:
    CFileHandle m_file;
};
