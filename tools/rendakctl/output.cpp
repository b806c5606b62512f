// output.cpp - text helpers for the tool's output, plain and JSON.
#include "rendakctl.h"

#include <stdio.h>

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

std::string JsonString(const std::string& text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += (char)c;
        } else if (c < 0x20) {
            char esc[8];
            snprintf(esc, sizeof(esc), "\\u%04x", c);
            out += esc;
        } else {
            out += (char)c;
        }
    }
    return out + "\"";
}

std::string JsonNumberOrNull(const std::optional<DWORD>& value)
{
    return value ? std::to_string(*value) : std::string("null");
}

std::string Hex(DWORD value, int digits)
{
    char text[16];
    snprintf(text, sizeof(text), "0x%0*lX", digits, (unsigned long)value);
    return text;
}
