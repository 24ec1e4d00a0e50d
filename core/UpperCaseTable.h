#pragma once

// Unicode's simple uppercase mapping of one UTF-16 unit of the Basic Multilingual Plane: what an
// NTFS volume's upcase table holds, and so the letter case under which Windows takes two file
// names for one. A unit without a mapping, a surrogate among them, stays as it is. Generated
// from Unicode's character database by core/make_case_table.py.
char16_t GetSimpleUppercase(char16_t unit);
