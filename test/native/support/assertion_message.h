// The text of the assertion an action raises, for the support tests.
#ifndef ZELK_TEST_SUPPORT_ASSERTION_MESSAGE_H
#define ZELK_TEST_SUPPORT_ASSERTION_MESSAGE_H

#include <functional>
#include <string>

#include "Execution/Assertion.h"

inline std::string assertionMessage(const std::function<void()>& action)
{
    try {
        action();
    } catch (const Diagnose::AssertError& error) {
        return error.what();
    }
    return "<no assertion>";
}

#endif
