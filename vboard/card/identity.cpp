// The card identity "MAKER,DEVICE,ID3[,EXT]": parsing and printing.
#include <cstdio>

#include "card/card.h"
#include "card/quoted.h"

namespace vboard::card {
namespace {

constexpr const char* kFieldNames[] = {"MAKER", "DEVICE", "ID3", "EXT"};

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

// One field: hex digits with an optional 0x prefix, value at most 0xff.
bool parse_byte(std::string_view text, std::string_view field, size_t index, uint8_t& out,
                std::string& error) {
    const std::string prefix = "card " + quoted(text) + ": " + kFieldNames[index] + " ";
    std::string_view digits = trim(field);
    if (digits.size() >= 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
        digits.remove_prefix(2);
    if (digits.empty()) {
        error = prefix + "is empty";
        return false;
    }
    unsigned value = 0;
    for (char c : digits) {
        const int d = hex_digit(c);
        if (d < 0) {
            error = prefix + quoted(trim(field)) + " is not hex";
            return false;
        }
        value = value * 16 + unsigned(d);
        if (value > 0xFF) {
            error = prefix + quoted(trim(field)) + " is above ff";
            return false;
        }
    }
    out = uint8_t(value);
    return true;
}

}  // namespace

std::string quoted(std::string_view s) {
    std::string out = "'";
    for (char c : s) {
        if (c >= 0x20 && c < 0x7F) {
            out += c;
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", unsigned(uint8_t(c)));
            out += hex;
        }
    }
    return out + "'";
}

std::optional<CardIdentity> parse_card_identity(std::string_view text, std::string& error) {
    std::vector<std::string_view> fields;
    size_t start = 0;
    for (;;) {
        const size_t comma = text.find(',', start);
        fields.push_back(text.substr(start, comma == std::string_view::npos ? comma : comma - start));
        if (comma == std::string_view::npos) break;
        start = comma + 1;
    }
    if (fields.size() < 3 || fields.size() > 4) {
        error = "card " + quoted(text) + ": expected MAKER,DEVICE,ID3[,EXT] in hex, got " +
                std::to_string(fields.size()) + (fields.size() == 1 ? " field" : " fields");
        return std::nullopt;
    }
    uint8_t bytes[4] = {};
    for (size_t i = 0; i < fields.size(); ++i)
        if (!parse_byte(text, fields[i], i, bytes[i], error)) return std::nullopt;

    CardIdentity id;
    id.maker = bytes[0];
    id.device = bytes[1];
    id.id3 = bytes[2];
    if (fields.size() == 4) id.ext = bytes[3];
    return id;
}

std::string format_card_identity(const CardIdentity& id) {
    char text[16];
    if (id.ext)
        std::snprintf(text, sizeof text, "%02x,%02x,%02x,%02x", id.maker, id.device, id.id3, *id.ext);
    else
        std::snprintf(text, sizeof text, "%02x,%02x,%02x", id.maker, id.device, id.id3);
    return text;
}

}  // namespace vboard::card
