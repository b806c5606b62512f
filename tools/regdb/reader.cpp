// reader.cpp - reads regulatory.db. The file is big-endian: a header (magic
// "RGDB", format version 20), a list of countries (two characters and a
// 16-bit pointer to a rule collection) ended by an entry whose pointer is 0,
// then WMM rules, rules and collections. Pointers count 4-byte words from the
// start of the file. A collection is its length, its number of rules and its
// DFS region, padded to an even length and followed by 16-bit rule pointers;
// a rule is its length, flags, power limit (mBm, 16 bits) and start, end and
// largest bandwidth (kHz, 32 bits each), then optional fields that we skip.
#include "regdb.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <utility>

namespace regdb {

namespace {

constexpr uint32_t kMagic = 0x52474442;  // "RGDB"
constexpr uint32_t kFormatVersion = 20;
constexpr size_t kHeaderSize = 8;
constexpr size_t kCountryEntrySize = 4;
constexpr size_t kCollectionMinSize = 3;  // length, rule count, DFS region
constexpr size_t kRuleMinSize = 16;
constexpr size_t kRuleWithWmmSize = 20;  // up to the WMM pointer
constexpr size_t kWmmRuleSize = 32;      // 4 access classes, client and AP, 4 bytes each
// The largest offset a 16-bit word pointer reaches is under 256 KiB; anything
// far beyond that is not this format.
constexpr size_t kLargestFile = 4 * 1024 * 1024;

// True when [offset, offset + length) lies inside the image.
bool Within(size_t size, size_t offset, size_t length)
{
    return offset <= size && length <= size - offset;
}

uint16_t Be16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

uint32_t Be32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

std::string Format(const char* format, ...) __attribute__((format(gnu_printf, 1, 2)));

std::string Format(const char* format, ...)
{
    char text[256];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    return text;
}

bool IsCodeChar(uint8_t c)
{
    return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool ParseRule(const uint8_t* data, size_t size, size_t listEnd, uint16_t pointer, Rule& rule,
               std::string& error)
{
    size_t at = static_cast<size_t>(pointer) << 2;
    if (at < listEnd || !Within(size, at, 1)) {
        error = Format("lies outside the rules (offset 0x%zx)", at);
        return false;
    }
    size_t length = data[at];
    if (length < kRuleMinSize) {
        error = Format("is %zu bytes long, fewer than %zu", length, kRuleMinSize);
        return false;
    }
    if (!Within(size, at, length)) {
        error = Format("runs past the end of the file (offset 0x%zx, %zu bytes)", at, length);
        return false;
    }
    if (length >= kRuleWithWmmSize) {
        size_t wmm = static_cast<size_t>(Be16(data + at + 18)) << 2;
        if (!Within(size, wmm, kWmmRuleSize)) {
            error = Format("points to WMM parameters outside the file (offset 0x%zx)", wmm);
            return false;
        }
    }
    rule.flags = data[at + 1];
    rule.eirpMbm = Be16(data + at + 2);
    rule.startKhz = Be32(data + at + 4);
    rule.endKhz = Be32(data + at + 8);
    rule.maxBandwidthKhz = Be32(data + at + 12);
    if (rule.startKhz >= rule.endKhz) {
        error = Format("has an empty range, %u to %u kHz", rule.startKhz, rule.endKhz);
        return false;
    }
    if (rule.maxBandwidthKhz > rule.endKhz - rule.startKhz) {
        error = Format("allows %u kHz of bandwidth in a range of %u kHz", rule.maxBandwidthKhz,
                       rule.endKhz - rule.startKhz);
        return false;
    }
    return true;
}

bool ParseCollection(const uint8_t* data, size_t size, size_t listEnd, uint16_t pointer,
                     Country& country, std::string& error)
{
    size_t at = static_cast<size_t>(pointer) << 2;
    if (at < listEnd || !Within(size, at, kCollectionMinSize)) {
        error = Format("its rules lie outside the file (offset 0x%zx)", at);
        return false;
    }
    size_t length = data[at];
    size_t count = data[at + 1];
    if (length < kCollectionMinSize) {
        error = Format("its rule collection has a %zu-byte header, fewer than %zu", length,
                       kCollectionMinSize);
        return false;
    }
    size_t pointers = at + ((length + 1) & ~static_cast<size_t>(1));
    if (!Within(size, pointers, 2 * count)) {
        error = Format("its %zu rule pointers run past the end of the file", count);
        return false;
    }
    country.dfsRegion = data[at + 2];
    for (size_t i = 0; i < count; i++) {
        Rule rule;
        if (!ParseRule(data, size, listEnd, Be16(data + pointers + 2 * i), rule, error)) {
            error = Format("rule %zu ", i + 1) + error;
            return false;
        }
        country.rules.push_back(rule);
    }
    return true;
}

}  // namespace

bool ParseDatabase(const uint8_t* data, size_t size, Database& db, std::string& error)
{
    db.countries.clear();
    if (size < kHeaderSize) {
        error = Format("%zu bytes is too short for a regulatory database", size);
        return false;
    }
    if (Be32(data) != kMagic) {
        error =
            Format("not a regulatory database: it starts with 0x%08x, not \"RGDB\"", Be32(data));
        return false;
    }
    if (Be32(data + 4) != kFormatVersion) {
        error = Format("format version %u; this reader knows version %u", Be32(data + 4),
                       kFormatVersion);
        return false;
    }

    // The whole list first: what it points to must lie beyond it.
    size_t listEnd = kHeaderSize;
    for (;; listEnd += kCountryEntrySize) {
        if (!Within(size, listEnd, kCountryEntrySize)) {
            error = "the country list runs past the end of the file without its end mark";
            return false;
        }
        if (Be16(data + listEnd + 2) == 0) {
            break;
        }
    }
    size_t end = listEnd;
    listEnd += kCountryEntrySize;

    Database read;  // handed over only when the whole file is good
    std::set<std::string> seen;
    for (size_t entry = kHeaderSize; entry < end; entry += kCountryEntrySize) {
        const uint8_t* p = data + entry;
        if (!IsCodeChar(p[0]) || !IsCodeChar(p[1])) {
            error = Format(
                "country entry %zu has the code 0x%02x 0x%02x, not two capital letters "
                "or digits",
                (entry - kHeaderSize) / kCountryEntrySize + 1, p[0], p[1]);
            return false;
        }
        Country country;
        country.code.assign(reinterpret_cast<const char*>(p), 2);
        if (!seen.insert(country.code).second) {
            error = "country " + country.code + " appears twice";
            return false;
        }
        if (!ParseCollection(data, size, listEnd, Be16(p + 2), country, error)) {
            error = "country " + country.code + ": " + error;
            return false;
        }
        read.countries.push_back(country);
    }
    if (read.countries.empty()) {
        error = "the database holds no countries";
        return false;
    }
    db = std::move(read);
    return true;
}

bool ReadDatabaseFile(const std::string& path, Database& db, std::string& error)
{
    db.countries.clear();
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    std::vector<uint8_t> image;
    char chunk[4096];
    while (file.read(chunk, sizeof(chunk)) || file.gcount() > 0) {
        image.insert(image.end(), chunk, chunk + file.gcount());
        if (image.size() > kLargestFile) {
            error = path + ": larger than " + std::to_string(kLargestFile) +
                    " bytes, too large for a regulatory database";
            return false;
        }
    }
    if (file.bad()) {
        error = path + ": read error";
        return false;
    }
    if (!ParseDatabase(image.data(), image.size(), db, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

}  // namespace regdb
