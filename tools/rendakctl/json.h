// json.h - a JSON value for the tool's documents: built in order, printed as
// one line. Only what the tool writes: null, booleans, whole numbers,
// strings (UTF-8), arrays and objects whose keys keep their order.
#pragma once

#include <initializer_list>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

class JsonValue {
public:
    enum Kind { Null, Bool, Number, String, Array, Object };

    JsonValue() = default;
    JsonValue(std::nullptr_t) {}
    JsonValue(bool b) : kind_(Bool), bool_(b) {}
    template <typename T,
              std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool>, int> = 0>
    JsonValue(T n) : kind_(Number), number_((long long)n)
    {
    }
    JsonValue(const char* s) : kind_(s ? String : Null), text_(s ? s : "") {}
    JsonValue(std::string s) : kind_(String), text_(std::move(s)) {}
    template <typename T>
    JsonValue(const std::optional<T>& v)
    {
        if (v) {
            *this = JsonValue(*v);
        }
    }

    static JsonValue MakeArray();
    static JsonValue MakeObject();
    // An object of these fields, in this order.
    static JsonValue MakeObject(std::initializer_list<std::pair<const char*, JsonValue>> fields);

    Kind kind() const { return kind_; }
    // Arrays: appends. Objects: sets a key, in place when it is there already.
    JsonValue& Add(JsonValue v);
    JsonValue& Set(const std::string& key, JsonValue v);
    const JsonValue* Find(const std::string& key) const;
    void Merge(const JsonValue& object);  // sets each of its keys here
    std::string Dump() const;

private:
    Kind kind_ = Null;
    bool bool_ = false;
    long long number_ = 0;
    std::string text_;
    std::vector<JsonValue> items_;
    std::vector<std::pair<std::string, JsonValue>> fields_;
};

std::string JsonQuote(const std::string& text);
JsonValue JsonStrings(const std::vector<std::string>& items);
