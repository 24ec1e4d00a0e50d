#include "install/InstallJournal.h"

#include "common/Errors.h"
#include "common/FileHelpers.h"
#include "common/TextHelpers.h"

#include <array>
#include <optional>

namespace {

constexpr std::string_view Header = "Orvandel Updater journal";
constexpr std::string_view LineBreak = "\r\n";
constexpr char FieldSeparator = '\t';

constexpr std::string_view ApplicationKeyword = "application";
constexpr std::string_view ExtractionKeyword = "extraction";
constexpr std::string_view StageKeyword = "stage";

constexpr std::array<std::pair<TJournalStage, std::string_view>, 4> StageNames = {{
    {TJournalStage::Unpacking, "unpacking"},
    {TJournalStage::Installing, "installing"},
    {TJournalStage::RemovingBackups, "removing backups"},
    {TJournalStage::RollingBack, "rolling back"},
}};

constexpr std::array<std::pair<TJournalStep, std::string_view>, 5> StepNames = {{
    {TJournalStep::Folder, "folder"},
    {TJournalStep::Backup, "backup"},
    {TJournalStep::Aside, "aside"},
    {TJournalStep::Replace, "replace"},
    {TJournalStep::Add, "add"},
}};

template <class Key, std::size_t Count>
std::string_view NameOf(const std::array<std::pair<Key, std::string_view>, Count>& names, Key key) {
    for (const auto& [candidate, name] : names) {
        if (candidate == key) {
            return name;
        }
    }
    return {};
}

template <class Key, std::size_t Count>
std::optional<Key> KeyOf(const std::array<std::pair<Key, std::string_view>, Count>& names,
                         std::string_view name) {
    for (const auto& [key, candidate] : names) {
        if (candidate == name) {
            return key;
        }
    }
    return std::nullopt;
}

std::optional<TJournalLine> ParseLine(std::string_view line) {
    const std::size_t blank = line.find(' ');
    if (blank == std::string_view::npos) {
        return std::nullopt;
    }
    const std::string_view keyword = line.substr(0, blank);
    const std::string_view rest = line.substr(blank + 1);
    TJournalLine parsed;
    if (keyword == StageKeyword) {
        const std::optional<TJournalStage> stage = KeyOf(StageNames, rest);
        if (!stage) {
            return std::nullopt;
        }
        parsed.kind = TJournalLine::TKind::Stage;
        parsed.stage = *stage;
        return parsed;
    }
    if (keyword == ApplicationKeyword || keyword == ExtractionKeyword) {
        parsed.kind = keyword == ApplicationKeyword ? TJournalLine::TKind::Application
                                                    : TJournalLine::TKind::Extraction;
        parsed.path = FromUtf8(rest);
        return parsed;
    }
    const std::optional<TJournalStep> step = KeyOf(StepNames, keyword);
    if (!step) {
        return std::nullopt;
    }
    parsed.step = *step;
    const std::size_t separator = rest.find(FieldSeparator);
    parsed.path = FromUtf8(rest.substr(0, separator));
    if (*step == TJournalStep::Aside) {
        if (separator == std::string_view::npos) {
            return std::nullopt;
        }
        parsed.aside = FromUtf8(rest.substr(separator + 1));
    }
    return parsed;
}

} // namespace

std::string_view GetStageName(TJournalStage stage) {
    return NameOf(StageNames, stage);
}

CInstallJournal::CInstallJournal(const std::wstring& path, DWORD disposition) : m_path(path) {
    const DWORD access = disposition == CREATE_NEW ? GENERIC_WRITE : FILE_APPEND_DATA;
    m_file.Reset(CreateFileW(ToExtendedLengthPath(path).c_str(), access, FILE_SHARE_READ, nullptr,
                             disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!m_file.IsValid()) {
        ThrowWriteError();
    }
}

CInstallJournal CInstallJournal::Start(const std::wstring& path,
                                       const std::wstring& applicationDirectory,
                                       const std::wstring& extractionFolder) {
    CInstallJournal journal(path, CREATE_NEW);
    journal.Append(Header);
    journal.Append(ApplicationKeyword, ToUtf8(applicationDirectory));
    journal.Append(ExtractionKeyword, ToUtf8(extractionFolder));
    // Only this one folder is left to remove if the run dies while unpacking; losing the line
    // to a power cut would leave it in the temporary directory for good.
    if (!FlushFileBuffers(journal.m_file.Get())) {
        journal.ThrowWriteError();
    }
    return journal;
}

CInstallJournal CInstallJournal::Continue(const std::wstring& path) {
    return CInstallJournal(path, OPEN_EXISTING);
}

void CInstallJournal::RecordStage(TJournalStage stage) {
    Append(StageKeyword, GetStageName(stage));
    if (!FlushFileBuffers(m_file.Get())) {
        ThrowWriteError();
    }
}

void CInstallJournal::RecordStep(TJournalStep step, const std::wstring& path) {
    Append(NameOf(StepNames, step), ToUtf8(path));
}

void CInstallJournal::RecordAside(const std::wstring& bak, const std::wstring& aside) {
    Append(NameOf(StepNames, TJournalStep::Aside), ToUtf8(bak), ToUtf8(aside));
}

// One WriteFile per line: a line handed to the system whole is never seen half by a reader after
// a kill, and nothing waits in a buffer of ours.
void CInstallJournal::Append(std::string_view keyword, std::string_view first,
                             std::string_view second) {
    std::string line(keyword);
    if (!first.empty()) {
        line += ' ';
        line += first;
    }
    if (!second.empty()) {
        line += FieldSeparator;
        line += second;
    }
    line += LineBreak;
    DWORD written = 0;
    if (!WriteFile(m_file.Get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr) ||
        written != line.size()) {
        ThrowWriteError();
    }
}

void CInstallJournal::ThrowWriteError() const {
    throw COrvException(L"Can not write the journal: " + m_path, 0);
}

DWORD ForEachJournalLine(const std::wstring& path,
                         const std::function<void(const TJournalLine&)>& handle) {
    const std::wstring target = ToExtendedLengthPath(path);
    const CFileHandle file(CreateFileW(target.c_str(), GENERIC_READ,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsValid()) {
        return GetLastError();
    }
    std::string pending;
    std::array<char, 65536> chunk;
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file.Get(), chunk.data(), static_cast<DWORD>(chunk.size()), &read, nullptr)) {
            return GetLastError();
        }
        if (read == 0) {
            return ERROR_SUCCESS;
        }
        pending.append(chunk.data(), read);
        std::size_t start = 0;
        for (std::size_t end = pending.find(LineBreak); end != std::string::npos;
             end = pending.find(LineBreak, start)) {
            if (const std::optional<TJournalLine> line =
                    ParseLine(std::string_view(pending).substr(start, end - start))) {
                handle(*line);
            }
            start = end + LineBreak.size();
        }
        pending.erase(0, start);
    }
}
