// Small ASCII string helpers shared by argument checking, binding and the
// connection-string reader. Header-only and free of Napi.
#ifndef ZELK_TEXT_UTILS_H
#define ZELK_TEXT_UTILS_H

#include <ctype.h>
#include <string.h>
#include <strings.h>

#include <string>

// Upper-cases a zero-terminated string in place; null is left alone.
inline void toUpper(char* text) {
    if (text == nullptr) {
        return;
    }
    for (; *text != '\0'; text++) {
        *text = static_cast<char>(toupper(static_cast<unsigned char>(*text)));
    }
}

inline bool compareString(const std::string& a, const char* b, bool caseSensitive) {
    if (b == nullptr) {
        return false;
    }
    return caseSensitive ? a.compare(b) == 0 : (a.size() == strlen(b) && strcasecmp(a.c_str(), b) == 0);
}

inline bool compareString(const std::string& a, const std::string& b, bool caseSensitive) {
    if (a.size() != b.size()) {
        return false;
    }
    return caseSensitive ? a == b : strncasecmp(a.data(), b.data(), a.size()) == 0;
}

#endif
