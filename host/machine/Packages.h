// Package services of the boot environment: finding where a package's
// compressed data begins and reading the numbers of its header. Pure
// functions over the caller's memory; nothing is allocated or written.
#pragma once

namespace host {

// The byte after the first "DATASTART\n" line at or after `from`, provided
// it lies before `end`; nullptr otherwise. A line begins at `from` or right
// after a NUL or line feed byte. Nothing before `from` or at or past `end`
// is read.
const char *findDataStart(const char *from, const char *end);

// The decimal number at the start of a value line: an optional '-' and at
// least one digit, read up to the first other byte. -1 for a null pointer,
// a line that holds no number, or a number outside the signed 32-bit range.
long findLongValue(const char *value);

} // namespace host
