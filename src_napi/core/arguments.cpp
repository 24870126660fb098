#include "arguments.h"

#include <math.h>

#include "js_errors.h"

namespace {

int firstFunctionIndex(const Napi::CallbackInfo& info) {
    for (size_t i = 0; i < info.Length(); i++) {
        if (info[i].IsFunction()) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

void reportMismatch(const Napi::CallbackInfo& info, int index, const char* signature, unsigned expected,
                    unsigned received, int callbackIndex) {
    std::string expectedText = getJSTypeName(expected);
    std::string receivedText = getJSTypeName(received);
    throwErrorIP(info, index, signature, expectedText.c_str(), receivedText.c_str(), callbackIndex);
}

bool isNullish(unsigned type) { return type == JS_UNDEFINED || type == JS_NULL; }

}  // namespace

bool checkParameters(const Napi::CallbackInfo& info, const char* signature, int count, unsigned* masks,
                     int* callbackIndex, bool* optional, bool* present) {
    // A caller without a place for the callback has none: its errors are
    // thrown, even when some argument happens to be a function.
    int callback = callbackIndex != nullptr ? firstFunctionIndex(info) : -1;
    if (callbackIndex != nullptr) {
        *callbackIndex = callback;
    }
    for (int i = 0; i < count; i++) {
        bool isOptional = optional != nullptr && optional[i];
        if (present != nullptr) {
            present[i] = false;
        }
        if (static_cast<size_t>(i) == info.Length() && !isOptional) {
            reportMismatch(info, i, signature, masks[i], JS_UNDEFINED, callback);
            return false;
        }
        Napi::Value argument = info[static_cast<size_t>(i)];
        unsigned type = getJSType(argument);
        bool flag = false;
        if ((type & masks[i]) != 0 || (masks[i] == JS_BOOLEAN && convertToBool(argument, flag))) {
            if (present != nullptr) {
                present[i] = true;
            }
        } else if (!(isNullish(type) && isOptional)) {
            reportMismatch(info, i, signature, masks[i], type, callback);
            return false;
        }
    }
    return true;
}

namespace {

const unsigned kParamsMask = JS_FUNCTION | JS_ARRAY | JS_OBJECT;
const unsigned kCallbackMask = JS_FUNCTION;

bool setsParams(unsigned type) { return (type & kParamsMask) != 0; }

}  // namespace

bool checkExecParametersGeneric(const Napi::CallbackInfo& info, const char* signature, bool& hasParams,
                                int& callbackIndex) {
    hasParams = false;
    callbackIndex = -1;
    size_t count = info.Length();
    if (count == 0) {
        return true;
    }
    unsigned first = getJSType(info[0]);
    int errorIndex = -1;
    if (count == 1) {
        callbackIndex = first == JS_FUNCTION ? 0 : -1;
    } else {
        unsigned second = getJSType(info[1]);
        if (second == JS_FUNCTION) {
            callbackIndex = 1;
        } else if (!isNullish(second)) {
            errorIndex = 1;
        }
        if (callbackIndex < 0 && count >= 3 && info[2].IsFunction()) {
            callbackIndex = 2;
        }
    }
    if (setsParams(first)) {
        hasParams = true;
    } else if (!isNullish(first)) {
        errorIndex = 0;
    }
    if (errorIndex < 0) {
        return true;
    }
    if (callbackIndex < 0) {
        callbackIndex = firstFunctionIndex(info);
    }
    unsigned expected = errorIndex == 0 ? kParamsMask : kCallbackMask;
    reportMismatch(info, errorIndex, signature, expected, getJSType(info[static_cast<size_t>(errorIndex)]),
                   callbackIndex);
    return false;
}

bool checkExecParametersDescribed(const Napi::CallbackInfo& info, bool hasParams,
                                  const std::vector<dbcapi_bind_param_info>& descriptions, int callbackIndex) {
    int inputs = 0;
    for (const dbcapi_bind_param_info& description : descriptions) {
        if (description.direction == DBCAPI_DD_INPUT || description.direction == DBCAPI_DD_INPUT_OUTPUT) {
            inputs++;
        }
    }
    if (inputs > 0 && !hasParams) {
        throwError(info, JS_ERR_INVALID_ARGUMENTS, "No binding parameter(s)", "HY000", callbackIndex);
        return false;
    }
    return true;
}

bool integerInRange(const Napi::Value& value, double min, double max, int64_t& out) {
    if (!value.IsNumber()) {
        return false;
    }
    double number = value.As<Napi::Number>().DoubleValue();
    if (!(number >= min && number <= max) || trunc(number) != number) {
        return false;
    }
    out = static_cast<int64_t>(number);
    return true;
}

bool convertToBool(const Napi::Value& value, bool& out) {
    if (value.IsBoolean()) {
        out = value.As<Napi::Boolean>().Value();
        return true;
    }
    if (!value.IsString()) {
        return false;
    }
    std::string text = value.As<Napi::String>().Utf8Value();
    if (compareString(text, "true", false) || compareString(text, "on", false) || text == "1") {
        out = true;
        return true;
    }
    if (compareString(text, "false", false) || compareString(text, "off", false) || text == "0") {
        out = false;
        return true;
    }
    return false;
}

void convertToString(const Napi::Value& value, std::string& out) {
    out.clear();
    if (value.IsString()) {
        out = value.As<Napi::String>().Utf8Value();
    } else if (value.IsNumber() || value.IsBoolean()) {
        // JavaScript's own number text: 30015, 1.5, 1e+21.
        Napi::String text = value.ToString();
        if (!text.IsEmpty()) {
            out = text.Utf8Value();
        }
    }
}

namespace {

bool appendText(const Napi::Value& value, std::string& out) {
    if (value.IsString()) {
        out += value.As<Napi::String>().Utf8Value();
        return true;
    }
    if (value.IsBuffer()) {
        Napi::Buffer<char> bytes = value.As<Napi::Buffer<char>>();
        out.append(bytes.Data(), bytes.Length());
        return true;
    }
    return false;
}

}  // namespace

int getString(const Napi::Value& value, std::string& out) {
    std::string single;
    if (appendText(value, single)) {
        out = single;
        return 1;
    }
    if (!value.IsArray()) {
        return 0;
    }
    Napi::Array array = value.As<Napi::Array>();
    std::string joined;
    int count = 0;
    for (uint32_t i = 0; i < array.Length(); i++) {
        std::string element;
        if (!appendText(array.Get(i), element)) {
            continue;
        }
        joined += (count > 0 ? "\n" : "") + element;
        count++;
    }
    out = joined;
    return count;
}

bool checkCallbackOnly(const Napi::CallbackInfo& info, const char* signature, int& callbackIndex) {
    unsigned masks[] = {JS_FUNCTION};
    bool optional[] = {true};
    return checkParameters(info, signature, 1, masks, &callbackIndex, optional, nullptr);
}
