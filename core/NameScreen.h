#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// The longest path that an archive may name below the extraction folder, in UTF-16 units: its
// components joined by one separator each, without a trailing one. Windows takes no longer path
// at all, so a longer name could only fail half-way through the unpack.
constexpr std::size_t LongestArchivePath = 32767;

// The most folders an entry may lie or be in, counting every folder that its path names: a
// file at a/b/c.txt and the folder a/b/ are both two folders deep, a file at the top is none.
// Far more levels than any real application has, and few enough that every recursive walk of
// the updater over the tree stays within a few hundred KiB of stack.
constexpr std::size_t DeepestFolderLevel = 128;

// While an update is installed, the old content of each file it replaces waits under the file's
// name with this appended.
constexpr std::u16string_view BackupSuffix = u".bak";

// Why the screen refuses a name: the one list of reasons, so that the reader, the unpack walk,
// the recovery and the release tool all say the same of the same name.
enum class TNameFault {
    None,
    Empty,              // an empty component: the path starts with a separator or holds two
    DotName,            // "." or "..": the folder itself or its parent
    ForbiddenCharacter, // a separator, the drive and stream mark, or one of <>"|?*
    ControlCharacter,
    TrailingDotOrBlank, // which Windows drops, so that two names could meet in one file
    DeviceName,         // CON, PRN, AUX, NUL, COM0-9, LPT0-9, with or without an extension
    ShortNameAlias,     // in 8.3 form with a `~`: possibly another file's generated short name
    TooLong,            // more than LongestArchivePath units
    TooDeep,            // more than DeepestFolderLevel folders
};

// The reason in words, for a line that names the name before it; never null, static text.
const char* DescribeNameFault(TNameFault fault);

// None for a name that may be joined to a folder path as one component: it cannot climb out of
// the folder, name a drive, a stream or a device, hold a character that Windows refuses, or be
// silently changed by Windows (trailing dots and blanks are dropped there, which would let two
// names meet in one file). Nor may it look like a generated 8.3 short name, which could reach
// a file that the user knows under its long name.
TNameFault CheckNameComponent(std::u16string_view name);
TNameFault CheckNameComponent(std::wstring_view name);
bool IsSafeNameComponent(std::u16string_view name);
bool IsSafeNameComponent(std::wstring_view name);

// An archive is an update only when its top level holds a file whose name passes this: its
// extension, after the last dot, is EXE or MSI in any case of the ASCII letters. Only those
// letters fold, so the decision never depends on a locale.
bool IsInstallerName(std::u16string_view name);
bool IsInstallerName(std::wstring_view name);

// What the screen makes of an entry's decoded name: the path that it stands for below the
// extraction folder, or the fault and the component that has it (the whole name when the path
// as a whole is too long or too deep).
struct TScreenedPath {
    std::u16string path;
    TNameFault fault = TNameFault::None;
    std::u16string refused;
};

// Windows' own tools read `\` as a separator and tar-style writers put `./` in front of every
// name, so both are read that way: a `.` component names the folder it stands in and is dropped.
// Every other component must be safe, and the path within the limits above. The path joins the
// components with '/' and ends in '/' when the entry is a folder; it is empty for a name that
// only names the extraction folder itself, such as "./".
TScreenedPath ScreenEntryName(std::u16string_view name);
// Why the name is refused, for the line that names it: the reason, and the refused component
// where the name has more than that one.
std::string DescribeRefusal(const TScreenedPath& screened, std::u16string_view name);
// The same path, or nothing when the name is refused.
std::optional<std::u16string> ScreenEntryPath(std::u16string_view name);
