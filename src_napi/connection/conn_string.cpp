#include "conn_string.h"

#include <limits.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "text_utils.h"

void removeLeadingBlanks(char* text) {
    if (text == nullptr || *text == '\0') {
        return;
    }
    size_t skip = strspn(text, " ");
    if (skip > 0) {
        memmove(text, text + skip, strlen(text + skip) + 1);
    }
}

void removeTrailingBlanks(char* text) {
    if (text == nullptr || *text == '\0') {
        return;
    }
    size_t length = strlen(text);
    while (length > 0 && text[length - 1] == ' ') {
        length--;
    }
    text[length] = '\0';
}

void removeCurlyBrackets(char* text) {
    if (text == nullptr || *text == '\0') {
        return;
    }
    size_t length = strlen(text);
    if (text[0] != '{' || length < 2 || text[length - 1] != '}') {
        return;
    }
    memmove(text, text + 1, length - 2);
    text[length - 2] = '\0';
}

namespace {

const char* skipBlanks(const char* p) {
    while (*p == ' ') {
        p++;
    }
    return p;
}

// Trims [begin, end) with the in-place editors; braces are removed only when
// asked, since names never carry them.
std::string trimmedText(const char* begin, const char* end, bool dropBraces) {
    std::vector<char> buffer(begin, end);
    buffer.push_back('\0');
    removeLeadingBlanks(buffer.data());
    removeTrailingBlanks(buffer.data());
    if (dropBraces && buffer[0] == '{') {
        removeCurlyBrackets(buffer.data());
    }
    return std::string(buffer.data());
}

// After a closing quote or brace only blanks may come before ";" or the end.
// Returns where the next pair starts, or null when other text follows.
const char* endOfEnclosedValue(const char* afterClose) {
    const char* p = skipBlanks(afterClose);
    if (*p == ';') {
        return p + 1;
    }
    return *p == '\0' ? p : nullptr;
}

bool readQuotedValue(const char* text, const char* open, size_t& consumed, std::string& value) {
    const char* close = strchr(open + 1, *open);
    if (close == nullptr) {
        return false;
    }
    const char* next = endOfEnclosedValue(close + 1);
    if (next == nullptr) {
        return false;
    }
    value.assign(open + 1, close);
    consumed = static_cast<size_t>(next - text);
    return true;
}

bool readPlainValue(const char* text, const char* start, size_t& consumed, std::string& value) {
    const char* semicolon = strchr(start, ';');
    if (semicolon == nullptr) {
        value = trimmedText(start, start + strlen(start), true);
        consumed = strlen(text);
        return true;
    }
    const char* brace = static_cast<const char*>(memchr(start, '{', static_cast<size_t>(semicolon - start)));
    if (brace == nullptr) {
        value = trimmedText(start, semicolon, true);
        consumed = static_cast<size_t>(semicolon + 1 - text);
        return true;
    }
    const char* close = strchr(brace, '}');
    if (close == nullptr) {
        return false;
    }
    const char* next = endOfEnclosedValue(close + 1);
    if (next == nullptr) {
        return false;
    }
    value = trimmedText(start, close + 1, true);
    consumed = static_cast<size_t>(next - text);
    return true;
}

}  // namespace

bool searchAttribute(const char* text, size_t& consumed, std::string& name, std::string& value) {
    if (text == nullptr || *text == '\0') {
        return false;
    }
    const char* equals = strchr(text, '=');
    if (equals == nullptr) {
        return false;
    }
    const char* start = skipBlanks(equals + 1);
    if (*start == '\0') {
        return false;
    }
    std::string readName = trimmedText(text, equals, false);
    std::string readValue;
    bool ok = (*start == '"' || *start == '\'') ? readQuotedValue(text, start, consumed, readValue)
                                                : readPlainValue(text, start, consumed, readValue);
    if (ok) {
        name.swap(readName);
        value.swap(readValue);
    }
    return ok;
}

PropertyList parseConnectionString(const std::string& text, std::string& unread) {
    PropertyList pairs;
    const char* p = text.c_str();
    size_t consumed = 0;
    std::string name;
    std::string value;
    while (searchAttribute(p, consumed, name, value)) {
        pairs.emplace_back(name, value);
        p += consumed;
    }
    unread = p;
    return pairs;
}

PropertyList parseConnectionString(const std::string& text) {
    std::string unread;
    return parseConnectionString(text, unread);
}

namespace {

bool needsEnclosing(const std::string& value, bool isLast) {
    if (value.empty()) {
        return isLast;
    }
    return value.find_first_of(";{") != std::string::npos || value[0] == '"' || value[0] == '\'' ||
           value[0] == ' ' || value[value.size() - 1] == ' ';
}

// Braces cannot hold "}", quotes not their own character; a value holding
// all three cannot come from the reader and is written as it is.
std::string enclosedValue(const std::string& value, bool isLast) {
    if (!needsEnclosing(value, isLast)) {
        return value;
    }
    if (value.find('}') == std::string::npos) {
        return "{" + value + "}";
    }
    if (value.find('"') == std::string::npos) {
        return "\"" + value + "\"";
    }
    if (value.find('\'') == std::string::npos) {
        return "'" + value + "'";
    }
    return value;
}

}  // namespace

std::string buildConnectionString(const PropertyList& pairs) {
    std::string result;
    for (size_t i = 0; i < pairs.size(); i++) {
        if (i > 0) {
            result += ";";
        }
        result += pairs[i].first;
        result += "=";
        result += enclosedValue(pairs[i].second, i + 1 == pairs.size());
    }
    return result;
}

bool getBoolPropertyValue(char* value, bool& valid) {
    valid = false;
    if (value == nullptr) {
        return false;
    }
    toUpper(value);
    if (strcmp(value, "TRUE") == 0 || strcmp(value, "YES") == 0) {
        valid = true;
        return true;
    }
    if (strcmp(value, "FALSE") == 0 || strcmp(value, "NO") == 0) {
        valid = true;
    }
    return false;
}

namespace {

// Base-10 value as strtol reads it, kept inside int.
int toInt(const char* value) {
    long number = strtol(value, nullptr, 10);
    if (number > INT_MAX) {
        return INT_MAX;
    }
    return number < INT_MIN ? INT_MIN : static_cast<int>(number);
}

int isolationLevelOf(char* value) {
    toUpper(value);
    if (strcmp(value, "READ UNCOMMITTED") == 0) return 0;
    if (strcmp(value, "READ COMMITTED") == 0) return 1;
    if (strcmp(value, "REPEATABLE READ") == 0) return 2;
    if (strcmp(value, "SERIALIZABLE") == 0) return 3;
    return toInt(value);
}

int resultSetLimitOf(const char* megabytes) {
    int64_t bytes = static_cast<int64_t>(toInt(megabytes)) * 1048576;
    if (bytes > INT_MAX) {
        return INT_MAX;
    }
    return bytes < INT_MIN ? INT_MIN : static_cast<int>(bytes);
}

// Sets flag only when value is one of the four boolean words.
void readBool(char* value, bool& flag) {
    bool valid = false;
    bool on = getBoolPropertyValue(value, valid);
    if (valid) {
        flag = on;
    }
}

// A boolean that can only be switched on, never off, by a property.
void readSwitchOn(char* value, bool& flag) {
    bool valid = false;
    if (getBoolPropertyValue(value, valid)) {
        flag = true;
    }
}

void readSchedulingSwitch(char* value, void (*apply)(bool)) {
    bool valid = false;
    bool on = getBoolPropertyValue(value, valid);
    if (valid && apply != nullptr) {
        apply(on);
    }
}

bool is(const char* name, const char* expected) { return compareString(std::string(name), expected, false); }

}  // namespace

bool checkProperty(ConnectionSettings& settings, const SchedulingSwitches& switches, const char* name, char* value) {
    if (name == nullptr || value == nullptr) {
        return true;
    }
    if (is(name, "POOLING")) {
        readSwitchOn(value, settings.pooling);
    } else if (is(name, "MAXPOOLSIZE")) {
        settings.maxPoolSize = toInt(value);
    } else if (is(name, "CONNECTIONLIFETIME")) {
        settings.connectionLifetime = toInt(value);
    } else if (is(name, "ISOLATIONLEVEL")) {
        settings.isolationLevel = isolationLevelOf(value);
    } else if (is(name, "CURRENTSCHEMA")) {
        settings.currentSchema = value;
    } else if (is(name, "LOCALE")) {
        settings.locale = value;
    } else if (is(name, "CLIENT")) {
        settings.client = value;
    } else if (is(name, "OLDTHREADPOOL")) {
        readSchedulingSwitch(value, switches.useUvThreadpool);
    } else if (is(name, "PREVENTDEADLOCK")) {
        readSchedulingSwitch(value, switches.preventDeadlock);
    } else if (is(name, "DLCHECKINTERVAL")) {
        if (switches.setInterval != nullptr) {
            switches.setInterval(toInt(value));
        }
    } else if (is(name, "POOLINGCHECK")) {
        readSwitchOn(value, settings.poolingCheck);
    } else if (is(name, "resultSetArrayLimitMB")) {
        settings.resultSetArrayLimit = resultSetLimitOf(value);
    } else if (is(name, "fastInternalRows")) {
        readBool(value, settings.fastInternalRows);
    } else if (is(name, "_resultSetCanBind")) {
        readBool(value, settings.resultSetCanBind);
    }
    return true;
}

namespace {

// checkProperty edits the value in place, so it gets a writable copy.
void applyProperty(ConnectionSettings& settings, const SchedulingSwitches& switches, const std::string& name,
                   std::string& value) {
    std::vector<char> buffer(value.begin(), value.end());
    buffer.push_back('\0');
    if (checkProperty(settings, switches, name.c_str(), buffer.data())) {
        value.assign(buffer.data(), value.size());
    }
}

}  // namespace

std::string getConnectionProperties(ConnectionSettings& settings, const SchedulingSwitches& switches,
                                    const std::string& connStr) {
    PropertyList pairs = parseConnectionString(connStr);
    for (auto& pair : pairs) {
        applyProperty(settings, switches, pair.first, pair.second);
    }
    return buildConnectionString(pairs);
}

void getConnectionProperties(ConnectionSettings& settings, const SchedulingSwitches& switches,
                             std::vector<std::string*>& propNames, std::vector<std::string*>& propValues) {
    size_t count = propNames.size() < propValues.size() ? propNames.size() : propValues.size();
    for (size_t i = 0; i < count; i++) {
        applyProperty(settings, switches, *propNames[i], *propValues[i]);
    }
}

bool isModuleProperty(const std::string& name) {
    static const char* const kNames[] = {
        "POOLING",     "MAXPOOLSIZE",     "CONNECTIONLIFETIME", "POOLINGCHECK",          "ISOLATIONLEVEL",
        "CURRENTSCHEMA", "LOCALE",        "CLIENT",             "OLDTHREADPOOL",         "PREVENTDEADLOCK",
        "DLCHECKINTERVAL", "resultSetArrayLimitMB", "fastInternalRows", "_resultSetCanBind", "DATATRUNCATIONERROR",
        "CHARSET",     "SCROLLABLERESULT",
    };
    for (const char* known : kNames) {
        if (compareString(name, known, false)) {
            return true;
        }
    }
    return false;
}

void clearConnProps(std::vector<std::string*>& propNames, std::vector<std::string*>& propValues) {
    for (std::string* name : propNames) {
        delete name;
    }
    for (std::string* value : propValues) {
        delete value;
    }
    propNames.clear();
    propValues.clear();
}
