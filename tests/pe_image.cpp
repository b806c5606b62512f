// pe_image.cpp - reads a PE file's machine, import table and export table.
// Every offset is checked against the file, so a damaged file reads as
// invalid or as fewer entries, never as a crash of the test.
#include "pe_image.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <iterator>

namespace {

class Reader {
public:
    explicit Reader(std::string image) : image_(std::move(image)) {}

    template <typename T>
    bool Get(size_t offset, T* out) const
    {
        if (offset > image_.size() || image_.size() - offset < sizeof(T)) {
            return false;
        }
        memcpy(out, image_.data() + offset, sizeof(T));
        return true;
    }

    // A zero-terminated string at a file offset; empty when it runs off the file.
    std::string String(size_t offset) const
    {
        if (offset >= image_.size()) {
            return "";
        }
        size_t end = image_.find('\0', offset);
        return end == std::string::npos ? "" : image_.substr(offset, end - offset);
    }

    // The file offset of a relative virtual address, through the section that holds it.
    bool Offset(DWORD rva, size_t* offset) const
    {
        for (const IMAGE_SECTION_HEADER& s : sections_) {
            DWORD size = std::max(s.Misc.VirtualSize, s.SizeOfRawData);
            if (rva >= s.VirtualAddress && rva - s.VirtualAddress < size) {
                *offset = (size_t)(rva - s.VirtualAddress) + s.PointerToRawData;
                return true;
            }
        }
        return false;
    }

    std::string StringAt(DWORD rva) const
    {
        size_t offset;
        return Offset(rva, &offset) ? String(offset) : "";
    }

    std::vector<IMAGE_SECTION_HEADER> sections_;

private:
    std::string image_;
};

void ReadImports(const Reader& r, const IMAGE_DATA_DIRECTORY& dir, bool pe32plus, PeImage* pe)
{
    size_t offset;
    if (dir.VirtualAddress == 0 || !r.Offset(dir.VirtualAddress, &offset)) {
        return;
    }
    const size_t thunkSize = pe32plus ? 8 : 4;
    const ULONGLONG ordinalFlag = pe32plus ? IMAGE_ORDINAL_FLAG64 : IMAGE_ORDINAL_FLAG32;
    IMAGE_IMPORT_DESCRIPTOR d;
    for (; r.Get(offset, &d) && d.Name != 0; offset += sizeof(d)) {
        std::string module = r.StringAt(d.Name);
        std::transform(module.begin(), module.end(), module.begin(),
                       [](unsigned char c) { return (char)tolower(c); });
        std::set<std::string>& names = pe->imports[module];
        size_t thunks;
        if (!r.Offset(d.OriginalFirstThunk ? d.OriginalFirstThunk : d.FirstThunk, &thunks)) {
            continue;
        }
        for (;; thunks += thunkSize) {
            ULONGLONG thunk = 0;
            if (!r.Get(thunks, &thunk)) {
                break;
            }
            if (!pe32plus) {
                thunk &= 0xFFFFFFFFull;
            }
            if (thunk == 0) {
                break;
            }
            if (thunk & ordinalFlag) {
                names.insert("#" + std::to_string(thunk & 0xFFFF));
            } else {
                names.insert(r.StringAt((DWORD)thunk + 2));  // past the hint
            }
        }
    }
}

void ReadExports(const Reader& r, const IMAGE_DATA_DIRECTORY& dir, PeImage* pe)
{
    size_t offset;
    IMAGE_EXPORT_DIRECTORY e;
    if (dir.VirtualAddress == 0 || !r.Offset(dir.VirtualAddress, &offset) || !r.Get(offset, &e)) {
        return;
    }
    std::map<DWORD, std::string> names;  // index in the address table -> name
    size_t nameTable, ordinalTable;
    if (e.NumberOfNames != 0 && r.Offset(e.AddressOfNames, &nameTable) &&
        r.Offset(e.AddressOfNameOrdinals, &ordinalTable)) {
        for (DWORD i = 0; i < e.NumberOfNames; i++) {
            DWORD nameRva;
            WORD index;
            if (r.Get(nameTable + 4 * i, &nameRva) && r.Get(ordinalTable + 2 * i, &index)) {
                names[index] = r.StringAt(nameRva);
            }
        }
    }
    size_t functions;
    if (!r.Offset(e.AddressOfFunctions, &functions)) {
        return;
    }
    for (DWORD i = 0; i < e.NumberOfFunctions; i++) {
        DWORD rva;
        if (!r.Get(functions + 4 * i, &rva) || rva == 0) {
            continue;  // a gap in the ordinals
        }
        PeExport x{e.Base + i, names.count(i) ? names[i] : "", ""};
        // An address inside the export directory is a forwarder's "module.name".
        if (rva >= dir.VirtualAddress && rva - dir.VirtualAddress < dir.Size) {
            x.forwarder = r.StringAt(rva);
        }
        pe->exports.push_back(x);
    }
}

}  // namespace

PeImage ReadPeImage(const std::wstring& path)
{
    PeImage pe;
    std::ifstream in(path.c_str(), std::ios::binary);
    Reader r(std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()));
    IMAGE_DOS_HEADER dos;
    DWORD signature;
    IMAGE_FILE_HEADER file;
    WORD magic;
    if (!r.Get(0, &dos) || dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew < 0 ||
        !r.Get(dos.e_lfanew, &signature) || signature != IMAGE_NT_SIGNATURE ||
        !r.Get(dos.e_lfanew + 4, &file)) {
        return pe;
    }
    size_t optional = dos.e_lfanew + 4 + sizeof(IMAGE_FILE_HEADER);
    if (!r.Get(optional, &magic)) {
        return pe;
    }
    IMAGE_DATA_DIRECTORY imports, exports;
    if (magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
        IMAGE_OPTIONAL_HEADER64 h;
        if (!r.Get(optional, &h)) {
            return pe;
        }
        imports = h.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        exports = h.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
        pe.pe32plus = true;
    } else if (magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC) {
        IMAGE_OPTIONAL_HEADER32 h;
        if (!r.Get(optional, &h)) {
            return pe;
        }
        imports = h.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        exports = h.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    } else {
        return pe;
    }
    size_t sections = optional + file.SizeOfOptionalHeader;
    for (WORD i = 0; i < file.NumberOfSections; i++) {
        IMAGE_SECTION_HEADER s;
        if (!r.Get(sections + i * sizeof(s), &s)) {
            return pe;
        }
        r.sections_.push_back(s);
    }
    pe.machine = file.Machine;
    ReadImports(r, imports, pe.pe32plus, &pe);
    ReadExports(r, exports, &pe);
    pe.valid = true;
    return pe;
}
