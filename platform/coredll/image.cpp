// image.cpp - the device's committed state: a snapshot of its host key (its
// HKLM, settings and kernel record, and its stamp) in one file,
// registry.img in the device folder.
//
// A commit has the host save the device's key into a new file (one request;
// the file is in the host registry's own text format), adds a checksum line,
// flushes it to disk and renames it over the old one, so a power cut at any
// instant finds either the old image or the new one, never a mix. A restore
// loads the image as a key of its own and copies it over the device's key.
// The stamp (incarnation and generation) is two values of the device's key,
// so it is in the image too.
#include "image.h"

#include <shlwapi.h>
#include <stdio.h>

#include <atomic>
#include <string>

namespace {

const char kFirstLine[] = "WINE REGISTRY Version 2";
const char kChecksumLine[] = ";; image crc32 ";  // a comment line to the host's reader
const DWORD kMaxImageBytes = 16 * 1024 * 1024;   // far beyond any device; bounds a bad file

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

// Saving and loading keys are the backup and restore privileges' to do.
void EnablePrivileges()
{
    static std::atomic<bool> s_enabled{false};
    if (s_enabled.exchange(true)) {
        return;
    }
    HANDLE hToken;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &hToken)) {
        return;
    }
    for (const wchar_t* name : {L"SeBackupPrivilege", L"SeRestorePrivilege"}) {
        TOKEN_PRIVILEGES tp = {};
        tp.PrivilegeCount = 1;
        tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        if (LookupPrivilegeValueW(NULL, name, &tp.Privileges[0].Luid)) {
            AdjustTokenPrivileges(hToken, FALSE, &tp, 0, NULL, NULL);
        }
    }
    CloseHandle(hToken);
}

bool ReadWholeFile(HANDLE h, std::string* pText)
{
    LARGE_INTEGER size;
    if (!GetFileSizeEx(h, &size) || size.QuadPart > kMaxImageBytes) {
        return false;
    }
    pText->assign((size_t)size.QuadPart, '\0');
    DWORD read = 0;
    return size.QuadPart == 0 || (ReadFile(h, &(*pText)[0], (DWORD)size.QuadPart, &read, NULL) &&
                                  read == (DWORD)size.QuadPart);
}

bool ReadWholeFile(const std::wstring& path, std::string* pText)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, NULL,
                           OPEN_EXISTING, 0, NULL);
    if (h == INVALID_HANDLE_VALUE) {
        return false;
    }
    bool ok = ReadWholeFile(h, pText);
    CloseHandle(h);
    return ok;
}

// The image's text without its checksum line, when the file is a whole image.
bool CheckedText(const std::wstring& path, std::string* pText)
{
    std::string text;
    if (!ReadWholeFile(path, &text) || text.compare(0, sizeof(kFirstLine) - 1, kFirstLine) != 0) {
        return false;
    }
    size_t at = text.rfind(kChecksumLine);
    if (at == std::string::npos || (at > 0 && text[at - 1] != '\n')) {
        return false;
    }
    unsigned long stored = strtoul(text.c_str() + at + sizeof(kChecksumLine) - 1, NULL, 16);
    text.resize(at);
    if (Crc32(text) != (DWORD)stored) {
        return false;
    }
    *pText = text;
    return true;
}

// A QWORD value of the saved key's own section ("[]"), as the host writes it:
// "Name"=hex(b):01,02,... (little-endian bytes).
ULONGLONG RootQword(const std::string& text, const char* name)
{
    size_t root = text.find("\n[] ");
    if (root == std::string::npos) {
        return 0;
    }
    size_t end = text.find("\n[", root + 4);
    std::string key = std::string("\n\"") + name + "\"=hex(b):";
    size_t at = text.find(key, root);
    if (at == std::string::npos || (end != std::string::npos && at > end)) {
        return 0;
    }
    ULONGLONG value = 0;
    const char* p = text.c_str() + at + key.size();
    for (int i = 0; i < 8; i++) {
        unsigned int byte = 0;
        if (sscanf(p, "%2x", &byte) != 1) {
            return 0;
        }
        value |= (ULONGLONG)byte << (8 * i);
        p += 2;
        if (i < 7 && *p++ != ',') {
            return 0;
        }
    }
    return value;
}

}  // namespace

std::wstring ImagePath(const std::wstring& folder)
{
    return folder + L"\\registry.img";
}

// The new image a commit writes before it takes the old one's place.
static std::wstring UnfinishedImagePath(const std::wstring& folder, const std::wstring& writer)
{
    return ImagePath(folder) + L"." + writer + L".new";
}

bool ImageWrite(const std::wstring& folder, HKEY hDevice)
{
    EnablePrivileges();
    std::wstring target = ImagePath(folder);
    std::wstring temp = UnfinishedImagePath(folder, std::to_wstring(GetCurrentProcessId()));
    DeleteFileW(temp.c_str());
    if (RegSaveKeyW(hDevice, temp.c_str(), NULL) != ERROR_SUCCESS) {
        DeleteFileW(temp.c_str());
        return false;
    }
    HANDLE h = CreateFileW(temp.c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, NULL);
    bool ok = h != INVALID_HANDLE_VALUE;
    if (ok) {
        std::string text;
        char line[48];
        DWORD written = 0;
        ok = ReadWholeFile(h, &text);
        snprintf(line, sizeof(line), "%s%08lX\n", kChecksumLine, (unsigned long)Crc32(text));
        ok = ok && WriteFile(h, line, (DWORD)strlen(line), &written, NULL) &&
             written == strlen(line) && FlushFileBuffers(h);
        CloseHandle(h);
    }
    ok = ok && MoveFileExW(temp.c_str(), target.c_str(),
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
    if (!ok) {
        DeleteFileW(temp.c_str());
    }
    return ok;
}

void ImageRemoveUnfinished(const std::wstring& folder)
{
    WIN32_FIND_DATAW fd;
    HANDLE hFind = FindFirstFileW(UnfinishedImagePath(folder, L"*").c_str(), &fd);
    if (hFind == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        DeleteFileW((folder + L"\\" + fd.cFileName).c_str());
    } while (FindNextFileW(hFind, &fd));
    FindClose(hFind);
}

ImageStamp ImageStampOf(const std::wstring& folder)
{
    ImageStamp stamp;
    std::string text;
    if (CheckedText(ImagePath(folder), &text)) {
        stamp.incarnation = RootQword(text, "Incarnation");
        stamp.generation = RootQword(text, "Generation");
    }
    return stamp;
}

bool ImageRestore(const std::wstring& folder, HKEY hDevice)
{
    std::string text;
    if (!CheckedText(ImagePath(folder), &text)) {
        return false;
    }
    EnablePrivileges();
    static std::atomic<LONG> s_loads{0};
    wchar_t name[64];
    swprintf(name, 64, L"HandheldImage.%lu.%ld", (unsigned long)GetCurrentProcessId(),
             (long)++s_loads);
    if (RegLoadKeyW(HKEY_USERS, name, ImagePath(folder).c_str()) != ERROR_SUCCESS) {
        return false;
    }
    HKEY hImage;
    bool ok = RegOpenKeyExW(HKEY_USERS, name, 0, KEY_READ, &hImage) == ERROR_SUCCESS;
    if (ok) {
        for (const wchar_t* subtree : {L"HKLM", L"Settings", L"Kernel"}) {
            SHDeleteKeyW(hDevice, subtree);
        }
        ok = RegCopyTreeW(hImage, NULL, hDevice) == ERROR_SUCCESS;
        RegCloseKey(hImage);
    }
    RegUnLoadKeyW(HKEY_USERS, name);
    return ok;
}
