#pragma once

// Turning one received document into item values for the user-interface
// thread: the same for the REST and the streaming worker.
#include <windows.h>

#include <cstddef>
#include <cstdint>

class CThread;

// For every item linked on worker's topic, in list order: looks the value up
// in document ("-" when absent), shifts an ISO timestamp by the worker's
// timeAdjustMin, converts it from UTF-8 to the ANSI code page, and leaves
// the values in the worker's mailbox for its window. Items appended while
// this runs are published in the same pass. Returns the number of items.
int PublishDocument(CThread& worker, const char* document);

// The value of itemName in document as the cell is to show it: the steps of
// PublishDocument for one item, into value (valueSize bytes with the NUL).
// A valueSize of 0 writes nothing.
void MakeItemValue(char* value, size_t valueSize, const char* itemName, const char* document, int timeAdjustMin);

// Accepts text when it has the separators of YYYY-MM-DDThh:mm:ss.fff in
// place; the digits themselves are not checked, and fraction digits past
// the third are ignored. Fills out (day of week 0) only when it accepts.
bool ParseIsoTime(SYSTEMTIME* out, const char* text);

// The time seconds after time, reckoned in UTC whatever the host's zone.
// False when either end lies outside 1970-01-01 to 3000-12-31, the range
// the Windows runtime converts.
bool AddSeconds(const SYSTEMTIME& time, int64_t seconds, SYSTEMTIME* out);

// "2018/3/18  21:34:56.789": two blanks, no zero padding.
void FormatDateTime(char* out, size_t outSize, const SYSTEMTIME& time);

// Converts the NUL-terminated UTF-8 text in its buffer of size bytes to the
// ANSI code page, in place; characters the code page lacks become its
// default character. A text that cannot be converted stays as it was, and
// a size of 0 is no text.
void Utf8ToAnsi(char* text, size_t size);
