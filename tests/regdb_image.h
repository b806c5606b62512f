// regdb_image.h - regulatory databases made to measure, in the binary format
// of the installed regulatory.db, for the tests of its reader and of the
// tools that take one with --regdb.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct TestRule {
    double startMhz, endMhz, bandwidthMhz;
    int eirpMbm;
    uint8_t flags;
    bool withWmm;  // the rule carries the optional CAC time and WMM pointer
};

struct TestCountry {
    std::string code;
    std::vector<TestRule> rules;
    uint8_t dfsRegion;
};

struct Image {
    std::vector<uint8_t> bytes;
    size_t firstCollection;  // offsets, for tests that break what lies there
    size_t firstRule;
};

// Big-endian fields, as the format has them.
void Put16(std::vector<uint8_t>& b, size_t at, uint32_t v);
void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v);

// Header, country list and its end mark, one WMM block, the collections (with
// a header of collectionHeader bytes), then every rule: the last byte of the
// file belongs to a rule, so no shorter prefix is a whole database.
Image Write(const std::vector<TestCountry>& countries, size_t collectionHeader = 3);
