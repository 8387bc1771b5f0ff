// The --json output: one JSON document built in memory and written to
// standard output at the end, so a script never sees half a document. Values
// go into the innermost open object or array; `key` is the member name inside
// an object and nullptr inside an array.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct JsonWriter {
    std::string text;
    std::vector<bool> needs_comma;  // one entry per open object or array
};

void json_begin_object(JsonWriter& json, const char* key = nullptr);
void json_end_object(JsonWriter& json);
void json_begin_array(JsonWriter& json, const char* key = nullptr);
void json_end_array(JsonWriter& json);

void json_string(JsonWriter& json, const char* key, const std::string& value);
void json_number(JsonWriter& json, const char* key, int64_t value);
void json_bool(JsonWriter& json, const char* key, bool value);
void json_null(JsonWriter& json, const char* key);
// `value`, or null when it is empty.
void json_string_or_null(JsonWriter& json, const char* key, const std::string& value);

// Writes the document and a newline to standard output: 0, or -1.
int json_print(const JsonWriter& json);
