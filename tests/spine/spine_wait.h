#pragma once
// The spine tests' name for the shared wait, with their shorter default deadline.
#include "support/wait.h"

template <class Pred> bool waitFor(Pred&& done, int deadlineMs = 15000) {
    return testsupport::waitUntil(done, deadlineMs);
}
