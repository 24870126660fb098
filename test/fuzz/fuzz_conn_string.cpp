// Connection-string reader and rewriting: no input may crash them, and a
// string rewritten by the module must read back as the pairs it was made
// from, so no value can smuggle in another property.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "conn_string.h"

namespace {

void useThreadpool(bool) {}
void setInterval(int) {}

void checkRoundTrip(const PropertyList& pairs) {
    PropertyList again = parseConnectionString(buildConnectionString(pairs));
    if (again != pairs) {
        abort();
    }
}

// Runs the in-place editors on a writable copy.
void editInPlace(const std::string& text) {
    std::vector<char> buffer(text.begin(), text.end());
    buffer.push_back('\0');
    removeLeadingBlanks(buffer.data());
    removeTrailingBlanks(buffer.data());
    removeCurlyBrackets(buffer.data());
    bool valid = false;
    getBoolPropertyValue(buffer.data(), valid);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Strings reach the reader zero-terminated; an embedded zero ends them.
    std::string text(reinterpret_cast<const char*>(data), strnlen(reinterpret_cast<const char*>(data), size));
    editInPlace(text);
    // The module always appends its own pairs before reading a script's
    // string, so a script's value is never the last one. (A last value in
    // braces may hold "}", '"' and "'" together, which no form writes back.)
    text += ";CHARSET=UTF-8;SCROLLABLERESULT=0";

    PropertyList pairs = parseConnectionString(text);
    checkRoundTrip(pairs);

    ConnectionSettings settings;
    SchedulingSwitches switches = {useThreadpool, useThreadpool, setInterval};
    std::string rewritten = getConnectionProperties(settings, switches, text);
    PropertyList applied = parseConnectionString(rewritten);
    if (applied.size() != pairs.size()) {
        abort();
    }
    for (size_t i = 0; i < pairs.size(); i++) {
        char* value = strdup(pairs[i].second.c_str());
        checkProperty(settings, switches, pairs[i].first.c_str(), value);
        free(value);
    }
    return 0;
}
