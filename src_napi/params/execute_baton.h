// Per-call state of an execute, shared by the connection's direct execute
// and the statement's execute.
#ifndef ZELK_EXECUTE_BATON_H
#define ZELK_EXECUTE_BATON_H

#include <string>
#include <vector>

#include "binding.h"
#include "fetch.h"

struct ExecuteBaton {
    std::string sql;
    std::vector<dbcapi_bind_data*> inputValues;  // converted on the JavaScript thread
    std::vector<std::string> inputNames;         // for named values: one name per value
    std::vector<dbcapi_bind_data*> bindParams;   // merged with the parameter descriptions
    ResultCollection result;
    bool keep = false;  // a statement keeps it while parameter data is streamed

    ~ExecuteBaton() {
        clearParameters(inputValues);
        clearParameters(bindParams);
    }
};

#endif
