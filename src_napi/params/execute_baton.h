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

    // Empties it for another call; the containers keep their capacity.
    void reset() {
        sql.clear();
        clearParameters(inputValues);
        inputNames.clear();
        clearParameters(bindParams);
        result.reset();
        keep = false;
    }
};

// The baton a connection or statement keeps between its calls, taken and
// given back on the JavaScript thread: a call that finds it allocates no
// baton, containers or text. Calls in flight together make their own.
class SpareBaton {
public:
    SpareBaton() = default;
    ~SpareBaton() { delete spare_; }
    SpareBaton(const SpareBaton&) = delete;
    SpareBaton& operator=(const SpareBaton&) = delete;

    ExecuteBaton* take() {
        ExecuteBaton* baton = spare_ != nullptr ? spare_ : new ExecuteBaton;
        spare_ = nullptr;
        return baton;
    }
    void giveBack(ExecuteBaton* baton) {
        if (spare_ != nullptr) {
            delete baton;
            return;
        }
        baton->reset();
        spare_ = baton;
    }

private:
    ExecuteBaton* spare_ = nullptr;
};

#endif
