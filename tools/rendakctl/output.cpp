// output.cpp - the JSON value the documents are built of, and text helpers.
#include "rendakctl.h"

#include <stdio.h>

JsonValue JsonValue::MakeArray()
{
    JsonValue v;
    v.kind_ = Array;
    return v;
}

JsonValue JsonValue::MakeObject()
{
    JsonValue v;
    v.kind_ = Object;
    return v;
}

JsonValue JsonValue::MakeObject(std::initializer_list<std::pair<const char*, JsonValue>> fields)
{
    JsonValue v = MakeObject();
    for (const auto& field : fields) {
        v.Set(field.first, field.second);
    }
    return v;
}

JsonValue& JsonValue::Add(JsonValue v)
{
    items_.push_back(std::move(v));
    return *this;
}

JsonValue& JsonValue::Set(const std::string& key, JsonValue v)
{
    for (auto& f : fields_) {
        if (f.first == key) {
            f.second = std::move(v);
            return *this;
        }
    }
    fields_.emplace_back(key, std::move(v));
    return *this;
}

const JsonValue* JsonValue::Find(const std::string& key) const
{
    for (const auto& f : fields_) {
        if (f.first == key) {
            return &f.second;
        }
    }
    return nullptr;
}

void JsonValue::Merge(const JsonValue& object)
{
    for (const auto& f : object.fields_) {
        Set(f.first, f.second);
    }
}

std::string JsonQuote(const std::string& text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += (char)c;
        } else if (c < 0x20 || c == 0x7F) {
            char esc[8];
            snprintf(esc, sizeof(esc), "\\u%04x", c);
            out += esc;
        } else {
            out += (char)c;
        }
    }
    return out + "\"";
}

std::string JsonValue::Dump() const
{
    switch (kind_) {
    case Null:
        return "null";
    case Bool:
        return bool_ ? "true" : "false";
    case Number:
        return std::to_string(number_);
    case String:
        return JsonQuote(text_);
    case Array: {
        std::string out = "[";
        for (size_t i = 0; i < items_.size(); i++) {
            out += (i ? "," : "") + items_[i].Dump();
        }
        return out + "]";
    }
    case Object: {
        std::string out = "{";
        for (size_t i = 0; i < fields_.size(); i++) {
            out += (i ? "," : "") + JsonQuote(fields_[i].first) + ":" + fields_[i].second.Dump();
        }
        return out + "}";
    }
    }
    return "null";
}

JsonValue JsonStrings(const std::vector<std::string>& items)
{
    JsonValue a = JsonValue::MakeArray();
    for (const std::string& s : items) {
        a.Add(s);
    }
    return a;
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

std::string Hex(DWORD value, int digits)
{
    char text[16];
    snprintf(text, sizeof(text), "0x%0*lX", digits, (unsigned long)value);
    return text;
}
