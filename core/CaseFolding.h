#pragma once

#include <string>
#include <string_view>

// The form under which Windows file systems see two names as one: letters of the Latin, Greek
// and Cyrillic alphabets compared without case. Other characters stay as they are, so two
// names that differ there are kept apart, as the file system keeps them.
std::u16string FoldCase(std::u16string_view name);
