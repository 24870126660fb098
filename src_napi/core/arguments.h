// Argument checking shared by every script-facing method, and the
// conversions of single JavaScript values it relies on. JavaScript thread
// only.
#ifndef ZELK_ARGUMENTS_H
#define ZELK_ARGUMENTS_H

#include <napi.h>

#include <string>
#include <vector>

#include "dbcapi/dbcapi.h"
#include "text_utils.h"

// Checks the first count arguments against masks (JS_* bits); optional and
// present have count entries, and callbackIndex, optional and present may be
// null. callbackIndex receives the position of the first function argument
// or -1. On a mismatch the error is reported (to that callback when there is
// one, else thrown) and false returned.
bool checkParameters(const Napi::CallbackInfo& info, const char* signature, int count, unsigned* masks,
                     int* callbackIndex, bool* optional, bool* present);

// The common case of a method whose only argument is an optional callback.
bool checkCallbackOnly(const Napi::CallbackInfo& info, const char* signature, int& callbackIndex);

// For "([params][, callback])" methods: params may be an array, object,
// function, null or undefined; the callback follows it.
bool checkExecParametersGeneric(const Napi::CallbackInfo& info, const char* signature, bool& hasParams,
                                int& callbackIndex);
// Fails with "No binding parameter(s)" when the statement has input
// parameters and none were given.
bool checkExecParametersDescribed(const Napi::CallbackInfo& info, bool hasParams,
                                  const std::vector<dbcapi_bind_param_info>& descriptions, int callbackIndex);

// An index, size, offset or time-out: an integral number within [min, max].
// NaN, infinities, fractions and numbers past the range (which the 32-bit
// conversions would wrap) are refused.
bool integerInRange(const Napi::Value& value, double min, double max, int64_t& out);

// Booleans, and the strings "true"/"on"/"1" and "false"/"off"/"0" in any
// case; false when value is neither.
bool convertToBool(const Napi::Value& value, bool& out);
// Text of a string, number or boolean; the empty string for anything else.
void convertToString(const Napi::Value& value, std::string& out);
// A string or Buffer gives its text and 1; an array its string and Buffer
// elements joined with "\n" and their number; anything else 0, leaving out
// unchanged.
int getString(const Napi::Value& value, std::string& out);

#endif
