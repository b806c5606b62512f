// pe_image.h - what a built program or DLL holds in its headers, read from the
// file: its machine, its imports and its exports. Reads both the 32-bit (PE32)
// and the 64-bit (PE32+) format, whichever the file is.
#pragma once

#include <windows.h>

#include <map>
#include <set>
#include <string>
#include <vector>

struct PeExport {
    DWORD ordinal;
    std::string name;       // empty for an export by ordinal only
    std::string forwarder;  // "module.name" when the export forwards there
};

struct PeImage {
    bool valid = false;  // false when the file is missing or not a PE image
    WORD machine = 0;    // IMAGE_FILE_MACHINE_I386 or IMAGE_FILE_MACHINE_AMD64
    bool pe32plus = false;
    // Module name in lower case -> the names imported from it ("#N" for ordinals).
    std::map<std::string, std::set<std::string>> imports;
    std::vector<PeExport> exports;  // in ordinal order
};

PeImage ReadPeImage(const std::wstring& path);
