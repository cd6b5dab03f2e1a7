#pragma once

#include <cstddef>

// Copies the value that itemName selects in the JSON text document into out
// (outSize characters with the NUL). Returns false, leaving out untouched,
// when the path leads nowhere. Not a parser: forward substring searches
// steered by the item name, fixed buffers, no allocation.
//
// item    := segment ("." segment)*      only the first 8 segments count
// segment := digits  -> index n          (quotes ignored; empty means 0)
//          | "_"     -> anonymous array  (the array of arrays after a key)
//          | other   -> key, matched as the quoted string "other"
bool LookupItemValue(char* out, size_t outSize, const char* itemName, const char* document);
