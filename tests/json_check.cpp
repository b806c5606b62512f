// json_check.cpp - the JSON reader and the schema validator of json_check.h.
#include "json_check.h"

#include <ctype.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>

const Json& Json::operator[](const std::string& key) const
{
    static const Json null;
    auto it = fields.find(key);
    return it == fields.end() ? null : it->second;
}

namespace {

struct Reader {
    const std::string& text;
    size_t at = 0;
    bool ok = true;

    void Space()
    {
        while (at < text.size() && strchr(" \t\r\n", text[at])) {
            at++;
        }
    }
    bool Eat(char c)
    {
        Space();
        if (at < text.size() && text[at] == c) {
            at++;
            return true;
        }
        return false;
    }
    bool Word(const char* w)
    {
        size_t n = strlen(w);
        if (text.compare(at, n, w) == 0) {
            at += n;
            return true;
        }
        return false;
    }
    void AppendUtf8(unsigned code, std::string& out)
    {
        if (code < 0x80) {
            out += (char)code;
        } else if (code < 0x800) {
            out += (char)(0xC0 | (code >> 6));
            out += (char)(0x80 | (code & 0x3F));
        } else {
            out += (char)(0xE0 | (code >> 12));
            out += (char)(0x80 | ((code >> 6) & 0x3F));
            out += (char)(0x80 | (code & 0x3F));
        }
    }
    std::string Str()
    {
        std::string out;
        if (!Eat('"')) {
            ok = false;
            return out;
        }
        while (at < text.size() && text[at] != '"') {
            unsigned char c = (unsigned char)text[at];
            if (c < 0x20) {
                ok = false;  // control characters must be escaped
            }
            if (c == '\\' && at + 1 < text.size()) {
                char e = text[++at];
                static const char kFrom[] = "\"\\/bfnrt", kTo[] = "\"\\/\b\f\n\r\t";
                const char* p = strchr(kFrom, e);
                if (e == 'u' && at + 4 < text.size()) {
                    AppendUtf8((unsigned)strtoul(text.substr(at + 1, 4).c_str(), NULL, 16), out);
                    at += 4;
                } else if (p && e) {
                    out += kTo[p - kFrom];
                } else {
                    ok = false;
                }
            } else {
                out += (char)c;
            }
            at++;
        }
        ok = ok && at < text.size();
        at++;
        return out;
    }
    Json Value(int depth)
    {
        Json v;
        Space();
        if (at >= text.size() || depth > 64) {
            ok = false;
        } else if (text[at] == '{') {
            v.kind = Json::Object;
            at++;
            if (!Eat('}')) {
                do {
                    Space();
                    std::string key = Str();
                    ok = ok && Eat(':') && !v.Has(key);  // a key twice is not one document
                    v.fields[key] = Value(depth + 1);
                } while (ok && Eat(','));
                ok = ok && Eat('}');
            }
        } else if (text[at] == '[') {
            v.kind = Json::Array;
            at++;
            if (!Eat(']')) {
                do {
                    v.items.push_back(Value(depth + 1));
                } while (ok && Eat(','));
                ok = ok && Eat(']');
            }
        } else if (text[at] == '"') {
            v.kind = Json::String;
            v.s = Str();
        } else if (Word("true")) {
            v.kind = Json::Bool;
            v.b = true;
        } else if (Word("false")) {
            v.kind = Json::Bool;
        } else if (Word("null")) {
            v.kind = Json::Null;
        } else {
            size_t start = at;
            if (at < text.size() && text[at] == '-') {
                at++;
            }
            while (at < text.size() && isdigit((unsigned char)text[at])) {
                at++;
            }
            v.integer = at > start && text[at - 1] != '-';
            while (at < text.size() && strchr(".eE+-0123456789", text[at])) {
                v.integer = false;
                at++;
            }
            char* end = NULL;
            v.kind = Json::Number;
            v.n = strtod(text.substr(start, at - start).c_str(), &end);
            ok = ok && at > start && end && *end == '\0';
        }
        return v;
    }
};

bool Equal(const Json& a, const Json& b)
{
    if (a.kind != b.kind) {
        return false;
    }
    switch (a.kind) {
    case Json::Null:
        return true;
    case Json::Bool:
        return a.b == b.b;
    case Json::Number:
        return a.n == b.n;
    case Json::String:
        return a.s == b.s;
    case Json::Array:
        if (a.items.size() != b.items.size()) {
            return false;
        }
        for (size_t i = 0; i < a.items.size(); i++) {
            if (!Equal(a.items[i], b.items[i])) {
                return false;
            }
        }
        return true;
    case Json::Object:
        if (a.fields.size() != b.fields.size()) {
            return false;
        }
        for (const auto& f : a.fields) {
            if (!b.Has(f.first) || !Equal(f.second, b[f.first])) {
                return false;
            }
        }
        return true;
    }
    return false;
}

bool HasType(const Json& v, const std::string& type)
{
    return (type == "null" && v.kind == Json::Null) ||
           (type == "boolean" && v.kind == Json::Bool) ||
           (type == "number" && v.kind == Json::Number) ||
           (type == "integer" && v.kind == Json::Number && v.integer) ||
           (type == "string" && v.kind == Json::String) ||
           (type == "array" && v.kind == Json::Array) ||
           (type == "object" && v.kind == Json::Object);
}

size_t Utf8Length(const std::string& s)
{
    size_t n = 0;
    for (unsigned char c : s) {
        n += (c & 0xC0) != 0x80;
    }
    return n;
}

class Validator {
public:
    explicit Validator(const Json& root) : root_(root) {}

    void Check(const Json& schema, const Json& v, const std::string& path,
               std::vector<std::string>& errors)
    {
        if (schema.kind == Json::Bool) {
            if (!schema.b) {
                errors.push_back(path + ": not allowed here");
            }
            return;
        }
        static const char* const kIgnored[] = {"$schema", "$id", "title", "description", "$defs"};
        for (const auto& kw : schema.fields) {
            const std::string& k = kw.first;
            const Json& s = kw.second;
            bool ignored = false;
            for (const char* i : kIgnored) {
                ignored = ignored || k == i;
            }
            if (ignored || k == "then" || k == "else") {
                continue;
            }
            if (k == "$ref") {
                Check(Resolve(s.s, errors), v, path, errors);
            } else if (k == "type") {
                bool any = false;
                if (s.kind == Json::String) {
                    any = HasType(v, s.s);
                }
                for (const Json& t : s.items) {
                    any = any || HasType(v, t.s);
                }
                if (!any) {
                    errors.push_back(path + ": wrong type");
                }
            } else if (k == "enum" || k == "const") {
                bool any = k == "const" && Equal(s, v);
                for (const Json& e : s.items) {
                    any = any || Equal(e, v);
                }
                if (!any) {
                    errors.push_back(path + ": not one of the values allowed (" + k + ")");
                }
            } else if (k == "properties") {
                for (const auto& p : s.fields) {
                    if (v.kind == Json::Object && v.Has(p.first)) {
                        Check(p.second, v[p.first], path + "." + p.first, errors);
                    }
                }
            } else if (k == "required") {
                for (const Json& r : s.items) {
                    if (v.kind == Json::Object && !v.Has(r.s)) {
                        errors.push_back(path + ": missing \"" + r.s + "\"");
                    }
                }
            } else if (k == "additionalProperties") {
                const Json& props = schema["properties"];
                for (const auto& f : v.fields) {
                    if (v.kind == Json::Object && !props.Has(f.first)) {
                        Check(s, f.second, path + "." + f.first, errors);
                    }
                }
            } else if (k == "items") {
                for (size_t i = 0; v.kind == Json::Array && i < v.items.size(); i++) {
                    Check(s, v.items[i], path + "[" + std::to_string(i) + "]", errors);
                }
            } else if (k == "minItems" || k == "maxItems") {
                if (v.kind == Json::Array &&
                    (k == "minItems" ? v.items.size() < s.n : v.items.size() > s.n)) {
                    errors.push_back(path + ": " + k + " " + std::to_string((int)s.n));
                }
            } else if (k == "minLength" || k == "maxLength") {
                if (v.kind == Json::String &&
                    (k == "minLength" ? Utf8Length(v.s) < s.n : Utf8Length(v.s) > s.n)) {
                    errors.push_back(path + ": " + k + " " + std::to_string((int)s.n));
                }
            } else if (k == "minimum" || k == "maximum") {
                if (v.kind == Json::Number && (k == "minimum" ? v.n < s.n : v.n > s.n)) {
                    errors.push_back(path + ": " + k + " " + std::to_string((long long)s.n));
                }
            } else if (k == "allOf" || k == "anyOf" || k == "oneOf") {
                size_t passed = 0;
                std::vector<std::string> all;
                for (const Json& sub : s.items) {
                    std::vector<std::string> e;
                    Check(sub, v, path, e);
                    passed += e.empty();
                    all.insert(all.end(), e.begin(), e.end());
                }
                bool good = k == "allOf"   ? passed == s.items.size()
                            : k == "anyOf" ? passed > 0
                                           : passed == 1;
                if (!good) {
                    errors.push_back(path + ": " + k + " matched " + std::to_string(passed) +
                                     " of " + std::to_string(s.items.size()));
                    if (k == "allOf" || passed == 0) {
                        errors.insert(errors.end(), all.begin(), all.end());
                    }
                }
            } else if (k == "if") {
                std::vector<std::string> e;
                Check(s, v, path, e);
                const Json& branch = e.empty() ? schema["then"] : schema["else"];
                if (!branch.IsNull()) {
                    Check(branch, v, path, errors);
                }
            } else {
                errors.push_back(path + ": the validator does not know the keyword \"" + k + "\"");
            }
        }
    }

private:
    const Json& Resolve(const std::string& ref, std::vector<std::string>& errors)
    {
        static const Json nothing;
        const std::string prefix = "#/$defs/";
        if (ref.compare(0, prefix.size(), prefix) != 0 ||
            !root_["$defs"].Has(ref.substr(prefix.size()))) {
            errors.push_back("cannot resolve " + ref);
            return nothing;
        }
        return root_["$defs"][ref.substr(prefix.size())];
    }
    const Json& root_;
};

}  // namespace

Json ParseJsonText(const std::string& text, bool* pOk)
{
    Reader r{text};
    Json v = r.Value(0);
    r.Space();
    *pOk = r.ok && r.at == text.size();
    return v;
}

std::vector<std::string> SchemaErrors(const Json& schema, const Json& value, const Json& root)
{
    std::vector<std::string> errors;
    Validator(root).Check(schema, value, "$", errors);
    return errors;
}
