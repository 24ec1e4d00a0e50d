#pragma once

// Windows' upper case of one UTF-16 unit of the Basic Multilingual Plane, as an NTFS volume's
// upcase table holds it: Unicode's simple uppercase mapping wherever the upper case's own simple
// lowercase mapping leads back to the unit (Windows keeps its two tables inverse, so the final
// sigma, the dotless i, the long s and the like stay as they are). A unit without a mapping, a
// surrogate among them, stays as it is. Generated from Unicode's character database by
// core/make_case_table.py.
char16_t GetSimpleUppercase(char16_t unit);
