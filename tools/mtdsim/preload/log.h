// The request log, the violations file, and failing a request.
#pragma once

namespace mtdsim::preload {

// One "#index TEXT" line in MTDSIM_LOG, if there is one.
void log_line(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Appends `text` to the file at `path` (nothing when null).
void append_to(const char* path, const char* text);
// Something a real chip would not forgive: logged as VIOLATION and appended to MTDSIM_VIOLATIONS.
void violation(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Sets errno; returns -1.
int fail(int error);
// " EIO" and the like for a log line, "" for 0.
const char* error_name(int error);

}  // namespace mtdsim::preload
