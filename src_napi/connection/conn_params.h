// Connection parameters given as a JavaScript object, and the connection
// properties applied with the module's real scheduling switches. JavaScript
// thread only.
#ifndef ZELK_CONN_PARAMS_H
#define ZELK_CONN_PARAMS_H

#include <napi.h>

#include <string>
#include <vector>

#include "conn_string.h"
#include "error_info.h"

// Builds connStr from the keys of params and appends one name/value pair per
// property to the lists (which own their strings). The lists are not
// cleared first: a caller replacing earlier parameters clears them with
// clearConnProps. Fails with an argument error naming the first key whose
// value is of the wrong type or that nothing reads.
bool getConnectionString(Napi::Env env, const Napi::Object& params, std::string& connStr,
                         std::vector<std::string*>& propNames, std::vector<std::string*>& propValues,
                         ErrorInfo& error);

// Fails with an error naming the first property of connStr that neither
// the module nor the client library reads, or the text that is no pair.
bool checkConnectionStringNames(const std::string& connStr, ErrorInfo& error);

// Writes "host:port,host:port" for a "hosts" array into out and returns the
// number of hosts written; a value that is not an array writes nothing.
int getHostsString(const Napi::Value& hosts, std::string& out);

// checkProperty and getConnectionProperties of conn_string.h, with
// OLDTHREADPOOL, PREVENTDEADLOCK and DLCHECKINTERVAL acting on the worker
// pool.
bool checkProperty(ConnectionSettings& settings, const char* name, char* value);
std::string getConnectionProperties(ConnectionSettings& settings, const std::string& connStr);
void getConnectionProperties(ConnectionSettings& settings, std::vector<std::string*>& propNames,
                             std::vector<std::string*>& propValues);

#endif
