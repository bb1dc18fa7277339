// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A platform::Result as a test's condition: `ASSERT_TRUE(done(store.open(path)))` fails with
// the error's kind and words, the one evaluation of the call kept.

#include "platform/result.h"

#include <gtest/gtest.h>

template <class T>::testing::AssertionResult done(const platform::Result<T>& result) {
    if (result.ok())
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << platform::kindName(result.kind()) << ": " << result.text();
}
