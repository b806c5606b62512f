// regdata.h - the channel data the build generates from the installed
// regulatory database (regdb-generate writes its definitions), and which
// database it came from.
#pragma once

#include "regdb.h"

namespace regdb {

struct DatabaseOrigin {
    const char* file;     // the database file the build read
    const char* package;  // "wireless-regdb 2026.09.03-1~deb12u1", or "" when no package owns it
    const char* sha256;   // of the file's content, as sha256sum prints it
};

extern const DatabaseOrigin g_dbOrigin;
// Every country of the database by its two-letter code, in code order; the
// world entry "00" is left out.
extern const CountryTable g_generatedCountries;

}  // namespace regdb
