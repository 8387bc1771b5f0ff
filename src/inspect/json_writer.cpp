#include "inspect/json_writer.h"

#include <cstdio>

namespace {

void append_escaped_code_point(std::string& out, unsigned value) {
    char escaped[8];
    snprintf(escaped, sizeof escaped, "\\u%04x", value);
    out += escaped;
}

// The bytes of the UTF-8 sequence at `text`: its length when `valid`, else
// the length of its longest well-formed start (at least 1), which becomes
// one U+FFFD, as Unicode recommends. Overlong forms, surrogates and code
// points above U+10FFFF are not well formed.
size_t utf8_sequence(const unsigned char* text, size_t left, bool& valid) {
    const unsigned lead = text[0];
    size_t length;
    unsigned low = 0x80, high = 0xBF;  // range of the second byte
    valid = false;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 1;
    }
    for (size_t i = 1; i < length; ++i) {
        if (i >= left) return i;
        const unsigned c = text[i];
        if (c < (i == 1 ? low : 0x80) || c > (i == 1 ? high : 0xBF)) return i;
    }
    valid = true;
    return length;
}

// File names and messages may hold any bytes; JSON text must be UTF-8, so
// what is not well formed becomes U+FFFD.
void append_string(std::string& out, const std::string& value) {
    out += '"';
    const unsigned char* text = reinterpret_cast<const unsigned char*>(value.data());
    const size_t size = value.size();
    for (size_t i = 0; i < size;) {
        const unsigned char c = text[i];
        if (c >= 0x80) {
            bool valid;
            const size_t length = utf8_sequence(text + i, size - i, valid);
            if (valid)
                out.append(value, i, length);
            else
                append_escaped_code_point(out, 0xFFFD);
            i += length;
            continue;
        }
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            default:
                if (c < 0x20 || c == 0x7F)
                    append_escaped_code_point(out, c);
                else
                    out += static_cast<char>(c);
        }
        ++i;
    }
    out += '"';
}

void begin_value(JsonWriter& json, const char* key) {
    if (!json.needs_comma.empty()) {
        if (json.needs_comma.back()) json.text += ',';
        json.needs_comma.back() = true;
    }
    if (key) {
        append_string(json.text, key);
        json.text += ':';
    }
}

}  // namespace

void json_begin_object(JsonWriter& json, const char* key) {
    begin_value(json, key);
    json.text += '{';
    json.needs_comma.push_back(false);
}

void json_end_object(JsonWriter& json) {
    json.needs_comma.pop_back();
    json.text += '}';
}

void json_begin_array(JsonWriter& json, const char* key) {
    begin_value(json, key);
    json.text += '[';
    json.needs_comma.push_back(false);
}

void json_end_array(JsonWriter& json) {
    json.needs_comma.pop_back();
    json.text += ']';
}

void json_string(JsonWriter& json, const char* key, const std::string& value) {
    begin_value(json, key);
    append_string(json.text, value);
}

void json_number(JsonWriter& json, const char* key, int64_t value) {
    begin_value(json, key);
    json.text += std::to_string(value);
}

void json_bool(JsonWriter& json, const char* key, bool value) {
    begin_value(json, key);
    json.text += value ? "true" : "false";
}

void json_null(JsonWriter& json, const char* key) {
    begin_value(json, key);
    json.text += "null";
}

void json_string_or_null(JsonWriter& json, const char* key, const std::string& value) {
    if (value.empty())
        json_null(json, key);
    else
        json_string(json, key, value);
}

int json_print(const JsonWriter& json) {
    if (fwrite(json.text.data(), 1, json.text.size(), stdout) != json.text.size() ||
        fputc('\n', stdout) == EOF)
        return -1;
    return fflush(stdout) == 0 ? 0 : -1;
}
