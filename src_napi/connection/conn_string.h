// Reading and writing connection strings ("name=value;name=value") and the
// per-connection settings the module takes from connection properties.
// Free of Napi so that it can be tested without a JavaScript engine.
#ifndef ZELK_CONN_STRING_H
#define ZELK_CONN_STRING_H

#include <stddef.h>

#include <string>
#include <utility>
#include <vector>

typedef std::vector<std::pair<std::string, std::string>> PropertyList;

// In-place edits of a zero-terminated string; null or empty is left alone.
// Only the space character counts as blank.
void removeLeadingBlanks(char* text);
void removeTrailingBlanks(char* text);
// Drops a leading "{" and a trailing "}" when the text has both; a text that
// does not end with "}" was not enclosed and is kept whole.
void removeCurlyBrackets(char* text);

// Reads the pair that starts at text. consumed receives how many characters
// the pair took (its ";" included), so the next pair starts at
// text + consumed. Values in quotes are taken verbatim; other values lose
// their surrounding blanks and, when enclosed in braces, the braces.
bool searchAttribute(const char* text, size_t& consumed, std::string& name, std::string& value);

// All pairs searchAttribute can read from the start; text after the last
// readable pair is dropped, or left in unread.
PropertyList parseConnectionString(const std::string& text);
PropertyList parseConnectionString(const std::string& text, std::string& unread);
// Joins the pairs with ";", enclosing each value that would not read back
// as itself (one containing ";" or "{", starting with a quote, with
// surrounding blanks, or empty at the end) in braces or quotes.
std::string buildConnectionString(const PropertyList& pairs);

// Upper-cases value in place. "TRUE"/"YES" give true and "FALSE"/"NO" false
// with valid set; any other text leaves valid false.
bool getBoolPropertyValue(char* value, bool& valid);

// What a connection takes from its properties; the Connection starts it
// with its own defaults and keeps it across connects.
struct ConnectionSettings {
    bool pooling = false;
    int maxPoolSize = 0;
    int connectionLifetime = 0;
    bool poolingCheck = false;
    int isolationLevel = 1;
    std::string locale;
    std::string client;
    std::string currentSchema;
    int resultSetArrayLimit = 0;
    bool fastInternalRows = true;
    bool resultSetCanBind = false;
};

// The three process-wide scheduling switches, passed in so that this file
// stays independent of the worker pool.
struct SchedulingSwitches {
    void (*useUvThreadpool)(bool use);
    void (*preventDeadlock)(bool prevent);
    void (*setInterval)(int milliseconds);
};

// Applies one property; value may be upper-cased in place. Always true: every
// property is kept and passed on to the client library.
bool checkProperty(ConnectionSettings& settings, const SchedulingSwitches& switches, const char* name, char* value);

// String form: applies every readable pair and returns the rewritten string.
std::string getConnectionProperties(ConnectionSettings& settings, const SchedulingSwitches& switches,
                                    const std::string& connStr);
// Object form: applies every pair; values are updated in place (upper-cased
// booleans and isolation levels). The lists own their strings.
void getConnectionProperties(ConnectionSettings& settings, const SchedulingSwitches& switches,
                             std::vector<std::string*>& propNames, std::vector<std::string*>& propValues);

// True for a property name the module itself reads or adds (any case).
bool isModuleProperty(const std::string& name);

// Deletes the owned strings of both lists and empties them.
void clearConnProps(std::vector<std::string*>& propNames, std::vector<std::string*>& propValues);

#endif
