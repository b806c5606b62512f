// image.cpp - the device's committed state: a snapshot of its host keys
// (HKLM, Settings, Kernel) in one file, registry.img in the device folder.
//
// A commit writes the whole snapshot to a new file, flushes it to disk and
// renames it over the old one, so a power cut at any instant finds either the
// old image or the new one, never a mix. The file is text, one line a key or
// value, with a generation number and a checksum:
//
//   handheld registry image 1
//   incarnation 5F3A9C0E12B47D61
//   generation 7
//   key HKLM\Comm\TRXD385L1\Parms
//   value 4 BusType 08000000
//   end 1A2B3C4D
//
// Names are percent-escaped UTF-8 (anything outside '!'..'~', and '%'); data is
// hexadecimal. The checksum (CRC-32) covers every line before "end".
#include "image.h"

#include <shlwapi.h>
#include <stdio.h>

#include <algorithm>
#include <vector>

namespace {

const char kHeader[] = "handheld registry image 1";
const DWORD kMaxImageBytes = 16 * 1024 * 1024;  // far beyond any device; bounds a bad file
const wchar_t* const kSubtrees[] = {L"HKLM", L"Settings", L"Kernel"};

DWORD Crc32(const std::string& text)
{
    DWORD crc = 0xFFFFFFFF;
    for (unsigned char c : text) {
        crc ^= c;
        for (int k = 0; k < 8; k++) {
            crc = (crc >> 1) ^ (0xEDB88320 & (0 - (crc & 1)));
        }
    }
    return ~crc;
}

std::string Utf8(const std::wstring& text)
{
    if (text.empty()) {
        return std::string();
    }
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), NULL, 0, NULL, NULL);
    std::string out((size_t)n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), &out[0], n, NULL, NULL);
    return out;
}

std::wstring Wide(const std::string& text)
{
    if (text.empty()) {
        return std::wstring();
    }
    int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), (int)text.size(), NULL, 0);
    std::wstring out((size_t)n, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), (int)text.size(), &out[0], n);
    return out;
}

const char kHexDigits[] = "0123456789ABCDEF";

std::string Escape(const std::wstring& name)
{
    std::string out;
    for (unsigned char c : Utf8(name)) {
        if (c > ' ' && c <= '~' && c != '%') {
            out += (char)c;
        } else {
            out += '%';
            out += kHexDigits[c >> 4];
            out += kHexDigits[c & 15];
        }
    }
    return out;
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

bool Unescape(const std::string& text, std::wstring* pName)
{
    std::string bytes;
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] != '%') {
            bytes += text[i];
            continue;
        }
        if (i + 2 >= text.size() || HexValue(text[i + 1]) < 0 || HexValue(text[i + 2]) < 0) {
            return false;
        }
        bytes += (char)(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
        i += 2;
    }
    *pName = Wide(bytes);
    return true;
}

std::string Hex(const std::vector<BYTE>& data)
{
    std::string out;
    for (BYTE b : data) {
        out += kHexDigits[b >> 4];
        out += kHexDigits[b & 15];
    }
    return out;
}

bool Unhex(const std::string& text, std::vector<BYTE>* pData)
{
    if (text.size() % 2) {
        return false;
    }
    pData->clear();
    for (size_t i = 0; i < text.size(); i += 2) {
        int hi = HexValue(text[i]), lo = HexValue(text[i + 1]);
        if (hi < 0 || lo < 0) {
            return false;
        }
        pData->push_back((BYTE)(hi * 16 + lo));
    }
    return true;
}

// Appends the key at path (below the device key) and everything under it.
// One call learns the key's sizes, so each value and subkey is one more.
void SnapshotKey(HKEY hKey, const std::wstring& path, std::string* pOut)
{
    *pOut += "key " + Escape(path) + "\n";
    DWORD subkeys = 0, maxSubkey = 0, values = 0, maxName = 0, maxData = 0;
    if (RegQueryInfoKeyW(hKey, NULL, NULL, NULL, &subkeys, &maxSubkey, NULL, &values, &maxName,
                         &maxData, NULL, NULL) != ERROR_SUCCESS) {
        return;
    }
    std::vector<wchar_t> name(std::max(maxName, maxSubkey) + 2);
    std::vector<BYTE> data(maxData + 1);
    for (DWORD i = 0; i < values; i++) {
        DWORD cchName = (DWORD)name.size(), type = 0, cb = (DWORD)data.size();
        if (RegEnumValueW(hKey, i, name.data(), &cchName, NULL, &type, data.data(), &cb) !=
            ERROR_SUCCESS) {
            continue;  // changed under us: an uncommitted write, left to the next commit
        }
        *pOut += "value " + std::to_string(type) + " " +
                 Escape(std::wstring(name.data(), cchName)) + " " +
                 Hex(std::vector<BYTE>(data.begin(), data.begin() + cb)) + "\n";
    }
    for (DWORD i = 0; i < subkeys; i++) {
        DWORD cchName = (DWORD)name.size();
        if (RegEnumKeyExW(hKey, i, name.data(), &cchName, NULL, NULL, NULL, NULL) !=
            ERROR_SUCCESS) {
            continue;
        }
        std::wstring sub(name.data(), cchName);
        HKEY hSub;
        if (RegOpenKeyExW(hKey, sub.c_str(), 0, KEY_READ, &hSub) == ERROR_SUCCESS) {
            SnapshotKey(hSub, path + L"\\" + sub, pOut);
            RegCloseKey(hSub);
        }
    }
}

bool ReadWholeFile(const std::wstring& path, std::string* pText)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, NULL,
                           OPEN_EXISTING, 0, NULL);
    if (h == INVALID_HANDLE_VALUE) {
        return false;
    }
    LARGE_INTEGER size;
    bool ok = GetFileSizeEx(h, &size) && size.QuadPart <= kMaxImageBytes;
    if (ok) {
        pText->assign((size_t)size.QuadPart, '\0');
        DWORD read = 0;
        ok = size.QuadPart == 0 || (ReadFile(h, &(*pText)[0], (DWORD)size.QuadPart, &read, NULL) &&
                                    read == (DWORD)size.QuadPart);
    }
    CloseHandle(h);
    return ok;
}

// Splits a checked image into its lines after the header; false when the
// file is not a whole image (wrong header, no end line, checksum differs).
bool CheckedLines(const std::string& text, std::vector<std::string>* pLines)
{
    size_t end = text.rfind("end ");
    if (end == std::string::npos || (end > 0 && text[end - 1] != '\n')) {
        return false;
    }
    unsigned long stored = strtoul(text.c_str() + end + 4, NULL, 16);
    if (Crc32(text.substr(0, end)) != (DWORD)stored) {
        return false;
    }
    pLines->clear();
    size_t start = 0;
    while (start < end) {
        size_t nl = text.find('\n', start);
        pLines->push_back(text.substr(start, nl - start));
        start = nl + 1;
    }
    return !pLines->empty() && (*pLines)[0] == kHeader;
}

}  // namespace

std::wstring ImagePath(const std::wstring& folder)
{
    return folder + L"\\registry.img";
}

bool ImageWrite(const std::wstring& folder, HKEY hDevice, const ImageStamp& stamp)
{
    char stampText[80];
    snprintf(stampText, sizeof(stampText), "\nincarnation %016llX\ngeneration %llu\n",
             (unsigned long long)stamp.incarnation, (unsigned long long)stamp.generation);
    std::string text = std::string(kHeader) + stampText;
    for (const wchar_t* subtree : kSubtrees) {
        HKEY hKey;
        if (RegOpenKeyExW(hDevice, subtree, 0, KEY_READ, &hKey) == ERROR_SUCCESS) {
            SnapshotKey(hKey, subtree, &text);
            RegCloseKey(hKey);
        }
    }
    char end[32];
    snprintf(end, sizeof(end), "end %08lX\n", (unsigned long)Crc32(text));
    text += end;

    std::wstring target = ImagePath(folder);
    std::wstring temp = target + L"." + std::to_wstring(GetCurrentProcessId()) + L".new";
    HANDLE h = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD written = 0;
    bool ok = WriteFile(h, text.data(), (DWORD)text.size(), &written, NULL) &&
              written == text.size() && FlushFileBuffers(h);
    CloseHandle(h);
    if (ok) {
        ok = MoveFileExW(temp.c_str(), target.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
    }
    if (!ok) {
        DeleteFileW(temp.c_str());
    }
    return ok;
}

ImageStamp ImageStampOf(const std::wstring& folder)
{
    ImageStamp stamp;
    std::string text;
    std::vector<std::string> lines;
    if (!ReadWholeFile(ImagePath(folder), &text) || !CheckedLines(text, &lines) ||
        lines.size() < 3 || lines[1].compare(0, 12, "incarnation ") != 0 ||
        lines[2].compare(0, 11, "generation ") != 0) {
        return stamp;
    }
    stamp.incarnation = _strtoui64(lines[1].c_str() + 12, NULL, 16);
    stamp.generation = _strtoui64(lines[2].c_str() + 11, NULL, 10);
    return stamp;
}

bool ImageRestore(const std::wstring& folder, HKEY hDevice)
{
    std::string text;
    std::vector<std::string> lines;
    if (!ReadWholeFile(ImagePath(folder), &text) || !CheckedLines(text, &lines)) {
        return false;
    }
    for (const wchar_t* subtree : kSubtrees) {
        SHDeleteKeyW(hDevice, subtree);
    }
    HKEY hKey = NULL;
    bool ok = true;
    for (size_t i = 3; i < lines.size(); i++) {
        const std::string& line = lines[i];
        if (line.compare(0, 4, "key ") == 0) {
            std::wstring path;
            if (hKey) {
                RegCloseKey(hKey);
                hKey = NULL;
            }
            ok = Unescape(line.substr(4), &path) &&
                 RegCreateKeyExW(hDevice, path.c_str(), 0, NULL, 0, KEY_ALL_ACCESS, NULL, &hKey,
                                 NULL) == ERROR_SUCCESS &&
                 ok;
        } else if (line.compare(0, 6, "value ") == 0 && hKey) {
            size_t nameAt = line.find(' ', 6), dataAt = line.find(' ', nameAt + 1);
            std::wstring name;
            std::vector<BYTE> data;
            if (nameAt == std::string::npos || dataAt == std::string::npos ||
                !Unescape(line.substr(nameAt + 1, dataAt - nameAt - 1), &name) ||
                !Unhex(line.substr(dataAt + 1), &data)) {
                ok = false;
                continue;
            }
            DWORD type = strtoul(line.c_str() + 6, NULL, 10);
            ok = RegSetValueExW(hKey, name.c_str(), 0, type, data.empty() ? NULL : data.data(),
                                (DWORD)data.size()) == ERROR_SUCCESS &&
                 ok;
        }
    }
    if (hKey) {
        RegCloseKey(hKey);
    }
    return ok;
}
