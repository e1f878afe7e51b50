// One mark for what Wine does unlike Windows, as Wine's own conformance tests
// mark it (todo_wine). The check is written for Windows:
//
//   EXPECT_TRUE(TODO_WINE(equal(TRIMMED, menu)));
//
// Not under Wine, TODO_WINE gives the check's result as it is. Under Wine a
// failed check is the known difference: "todo_wine: FILE:LINE: <what it
// saw>" is printed and the result is a success. A check that holds under
// Wine is a failure: Wine behaves like Windows there now, so the mark goes.
#ifndef FLASH_TESTS_TODO_WINE_H
#define FLASH_TESTS_TODO_WINE_H

#include <gtest/gtest.h>

#define TODO_WINE(check) ::todoWine((check), __FILE__, __LINE__)

testing::AssertionResult todoWine(const testing::AssertionResult &windows, const char *file, int line);

bool underWine();

// `expected == seen`, as a result that shows both when they differ.
template <typename T>
testing::AssertionResult equal(const T &expected, const T &seen)
{
    if (expected == seen)
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << "expected " << testing::PrintToString(expected) << ", saw "
                                       << testing::PrintToString(seen);
}

#endif
