// json_check.h - for tests of programs that print JSON: a reader that proves
// a text is one JSON value and lets a test look inside, and a validator for
// the JSON Schema keywords the project's schemas use. A keyword it does not
// know is an error, so a schema can never be checked only in part.
#pragma once

#include <map>
#include <string>
#include <vector>

struct Json {
    enum Kind { Null, Bool, Number, String, Array, Object } kind = Null;
    bool b = false;
    double n = 0;
    bool integer = false;  // a number written without fraction or exponent
    std::string s;
    std::vector<Json> items;
    std::map<std::string, Json> fields;
    bool Has(const std::string& key) const { return fields.count(key) > 0; }
    // A missing key reads as null, so a test fails on the value, not by crashing.
    const Json& operator[](const std::string& key) const;
    bool IsNull() const { return kind == Null; }
};

// Parses text that must be exactly one JSON value (surrounding white space
// allowed); *pOk tells whether it was.
Json ParseJsonText(const std::string& text, bool* pOk);

// Every way `value` breaks `schema` (empty when it conforms), each as
// "PATH: what". $ref resolves within `root`.
std::vector<std::string> SchemaErrors(const Json& schema, const Json& value, const Json& root);
